// showfile: shows one file on standard output behind a header line and a banner.
// Every outcome exits 0; failures are reported on standard output only.

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace {

constexpr std::string_view kFailure = "Unable to access file.\n";
constexpr std::string_view kBanner =
    "File has been accessed and the contents are displayed on console:\n\n";
constexpr int kPipeCapacity = 1 << 20;  // the default pipe-max-size for unprivileged users
constexpr std::size_t kMostPerCall = 0x7ffff000;  // the most one sendfile or splice moves
constexpr std::size_t kBufferSize = 128 << 10;

// Whether a call that failed may be tried again: at once after a signal, and after EAGAIN (a
// non-blocking descriptor was not ready) once each of `ready` is. Any other failure is final.
bool may_retry(const std::initializer_list<pollfd> ready) {
  if (errno != EAGAIN) {
    return errno == EINTR;
  }
  for (pollfd wait : ready) {
    int polled = 0;
    do {
      polled = poll(&wait, 1, -1);
    } while (polled < 0 && errno == EINTR);
    if (polled < 0) {
      return false;
    }
  }
  return true;
}

// A full non-blocking output is waited for, where stdio would drop what it could not write.
// False once the output has failed: nothing more may follow, so that what was written stays a
// clean prefix.
bool write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0 || !may_retry({{STDOUT_FILENO, POLLOUT, 0}})) {
      return false;
    }
  }
  return true;
}

struct stat status_of(const int descriptor) {
  struct stat status {};
  // Only fails for a descriptor we do not hold; a zeroed status then matches no file or pipe.
  fstat(descriptor, &status);
  return status;
}

// A directory opens but holds nothing to show, and a file or pipe that is also our standard
// output would be read back as it is written, without end: all are refused as though the open
// had failed.
bool refused(const struct stat &input, const struct stat &output) {
  const bool readable_back = S_ISREG(output.st_mode) || S_ISFIFO(output.st_mode);
  return S_ISDIR(input.st_mode) ||
         (readable_back && output.st_dev == input.st_dev && output.st_ino == input.st_ino);
}

// A larger pipe lets the kernel move more per wake-up of the reader. It is only a hint, taken
// when the file would not fit anyway; a pipe that is already larger is left alone.
void widen_pipe(const off_t file_size) {
  const int capacity = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
  if (capacity >= 0 && capacity < kPipeCapacity && file_size > capacity) {
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeCapacity);
  }
}

// The kernel moves the bytes without a trip through our memory: splice from a pipe, sendfile
// from anything else. False when it refuses this pair (EINVAL, ENOSYS); the input's position is
// then where the kernel stopped. With a non-blocking output, splice also answers EAGAIN for an
// empty input, so both ends are waited for.
bool copied_by_kernel(const int input, const bool from_pipe) {
  for (;;) {
    const ssize_t moved = from_pipe
                              ? splice(input, nullptr, STDOUT_FILENO, nullptr, kMostPerCall, 0)
                              : sendfile(STDOUT_FILENO, input, nullptr, kMostPerCall);
    if (moved == 0) {
      return true;
    }
    if (moved > 0 || may_retry({{input, POLLIN, 0}, {STDOUT_FILENO, POLLOUT, 0}})) {
      continue;
    }
    return errno != EINVAL && errno != ENOSYS;
  }
}

// Through one buffer of our own with read and write. A read error ends the copy as the end of
// the file does.
void copy_through_buffer(const int input) {
  const std::unique_ptr<char, decltype(&std::free)> buffer(
      static_cast<char *>(std::malloc(kBufferSize)), &std::free);
  if (buffer == nullptr) {
    return;
  }
  for (;;) {
    const ssize_t got = read(input, buffer.get(), kBufferSize);
    if (got > 0) {
      if (!write_all(std::string_view(buffer.get(), static_cast<std::size_t>(got)))) {
        return;
      }
    } else if (got == 0 || !may_retry({{input, POLLIN, 0}})) {
      return;
    }
  }
}

// An output with a file position (a regular file, a block device) may be shared with other
// writers, as in `xargs -P4 showfile > log`. write(2) advances a shared position under a lock;
// sendfile would overwrite what the others write meanwhile, so such an output takes the buffer.
void copy(const int input, const mode_t input_type, const struct stat &output) {
  if (S_ISREG(output.st_mode) || S_ISBLK(output.st_mode) ||
      !copied_by_kernel(input, S_ISFIFO(input_type))) {
    copy_through_buffer(input);
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // Without an argument the header names an empty path, which no open accepts.
  const char *const path = argc > 1 ? argv[1] : "";
  // The header goes out before the open, which may wait (a FIFO for its writer). A failed write
  // ends the run here, as everywhere.
  if (!write_all("Filename: ") || !write_all(path) || !write_all(" \n")) {
    return 0;
  }

  std::FILE *const input = std::fopen(path, "r");
  if (input == nullptr) {
    write_all(kFailure);
    return 0;
  }
  const struct stat input_status = status_of(fileno(input));
  const struct stat output_status = status_of(STDOUT_FILENO);
  if (refused(input_status, output_status)) {
    std::fclose(input);
    write_all(kFailure);
    return 0;
  }

  if (write_all(kBanner)) {
    if (S_ISFIFO(output_status.st_mode)) {
      widen_pipe(input_status.st_size);
    }
    copy(fileno(input), input_status.st_mode, output_status);
  }
  std::fclose(input);
  return 0;
}
