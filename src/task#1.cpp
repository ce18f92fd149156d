// showfile: shows one file on standard output behind a header line and a banner.
// Every outcome exits 0; failures are reported on standard output only.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

// Files past 2 GiB and inode numbers past 2^32 on 32-bit builds too: the build asks for 64-bit
// offsets, and no build may lose them unseen.
static_assert(sizeof(off_t) == sizeof(std::int64_t), "build with -D_FILE_OFFSET_BITS=64");

namespace {

constexpr std::string_view kFailure = "Unable to access file.\n";
constexpr std::string_view kBanner =
    "File has been accessed and the contents are displayed on console:\n\n";
constexpr int kPipeCapacity = 1 << 20;  // the default pipe-max-size for unprivileged users
constexpr std::size_t kMostPerCall = 0x7ffff000;  // the most one sendfile or splice moves
constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::size_t kPageSize = 4096;

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

// The pieces leave in one writev, so that a report line is never torn by another run writing to
// the same output. A full non-blocking output is waited for, where stdio would drop what it could
// not write. False once the output has failed: nothing more may follow, so that what was written
// stays a clean prefix.
bool write_all(const std::initializer_list<std::string_view> pieces) {
  std::array<iovec, 4> parts{};
  std::size_t count = 0;
  for (const std::string_view piece : pieces) {
    if (!piece.empty()) {
      parts[count++] = {const_cast<char *>(piece.data()), piece.size()};
    }
  }
  for (std::span<iovec> left(parts.data(), count); !left.empty();) {
    const ssize_t written = writev(STDOUT_FILENO, left.data(), static_cast<int>(left.size()));
    if (written <= 0) {
      if (written == 0 || !may_retry({{STDOUT_FILENO, POLLOUT, 0}})) {
        return false;
      }
      continue;
    }
    auto done = static_cast<std::size_t>(written);
    for (; !left.empty() && done >= left.front().iov_len; left = left.subspan(1)) {
      done -= left.front().iov_len;
    }
    if (!left.empty()) {
      left.front().iov_base = static_cast<char *>(left.front().iov_base) + done;
      left.front().iov_len -= done;
    }
  }
  return true;
}

// The copy buffer, taken before the banner is written so that a run never announces what it then
// cannot copy. Where memory is too short for it (a small data limit), a page of static storage
// does the same work in smaller steps. Never on the stack, which may be small.
std::span<char> copy_buffer() {
  void *const mapped =
      mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped != MAP_FAILED) {
    return {static_cast<char *>(mapped), kBufferSize};
  }
  alignas(kPageSize) static std::array<char, kPageSize> page;
  return page;
}

// Reads into `into`: the byte count, 0 at the end of the input, negative on a read error.
ssize_t read_some(const int input, const std::span<char> into) {
  for (;;) {
    const ssize_t got = read(input, into.data(), into.size());
    if (got >= 0 || !may_retry({{input, POLLIN, 0}})) {
      return got;
    }
  }
}

bool write_held(const std::span<const char> buffer, const ssize_t size) {
  return write_all({{buffer.data(), static_cast<std::size_t>(size)}});
}

struct stat status_of(const int descriptor) {
  struct stat status {};
  // Only fails for a descriptor we do not hold; a zeroed status then matches no file or pipe.
  fstat(descriptor, &status);
  return status;
}

// A FIFO waits for its writer, a terminal for a keystroke, a device may wait on its hardware:
// neither their open nor their first read may hold back what the report has to say.
bool may_wait(const mode_t type) { return S_ISFIFO(type) || S_ISCHR(type) || S_ISSOCK(type); }

// An output with a file position (a regular file, a block device) may be shared with other
// writers, as in `xargs -P4 showfile > log`. write(2) advances a shared position under a lock;
// sendfile would overwrite what the others write meanwhile, so such an output takes the buffer.
bool has_position(const struct stat &output) {
  return S_ISREG(output.st_mode) || S_ISBLK(output.st_mode);
}

// A file, pipe or block device that is also our standard output would be read back as it is
// written, without end.
bool same_as_output(const struct stat &input, const struct stat &output) {
  if (S_ISBLK(input.st_mode) && S_ISBLK(output.st_mode)) {
    return input.st_rdev == output.st_rdev;
  }
  const bool readable_back = S_ISREG(output.st_mode) || S_ISFIFO(output.st_mode);
  return readable_back && output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

// Writes into a file that start and end on multiples of the buffer size fill the page cache's
// large folios whole, so the first read is cut to bring the output there once the report and it
// are written. Without a position the kernel moves the data, and the first read is a page.
std::size_t first_read_size(const struct stat &output, const std::size_t report_size,
                            const std::span<const char> buffer) {
  if (!has_position(output)) {
    return kPageSize;
  }
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  const off_t start =
      flags >= 0 && (flags & O_APPEND) != 0 ? output.st_size : lseek(STDOUT_FILENO, 0, SEEK_CUR);
  const auto past = static_cast<std::size_t>(start < 0 ? 0 : start) + report_size;
  return buffer.size() - past % buffer.size();
}

// A larger pipe, on either side, lets the kernel move more per wake-up of the other end. It is
// only a hint, taken when the input would not fit anyway (a pipe's size is unknown, so it may
// not); a pipe that is already larger is left alone, and a descriptor that is no pipe ignored.
void widen_pipe(const int descriptor, const struct stat &input) {
  const int capacity = fcntl(descriptor, F_GETPIPE_SZ);
  const bool may_not_fit = S_ISFIFO(input.st_mode) || input.st_size > capacity;
  if (capacity >= 0 && capacity < kPipeCapacity && may_not_fit) {
    fcntl(descriptor, F_SETPIPE_SZ, kPipeCapacity);
  }
}

// The kernel moves the bytes without a trip through our memory: splice from a pipe, sendfile
// from anything else. False when it fails for any reason but a wait (a device it cannot copy, a
// terminal's size limit, a sandbox that forbids the call, a read or write error); the input's
// position is then where the kernel stopped. With a non-blocking output, splice also answers
// EAGAIN for an empty input, so both ends are waited for.
bool copied_by_kernel(const int input, const bool from_pipe) {
  for (;;) {
    const ssize_t moved = from_pipe
                              ? splice(input, nullptr, STDOUT_FILENO, nullptr, kMostPerCall, 0)
                              : sendfile(STDOUT_FILENO, input, nullptr, kMostPerCall);
    if (moved == 0) {
      return true;
    }
    if (moved < 0 && !may_retry({{input, POLLIN, 0}, {STDOUT_FILENO, POLLOUT, 0}})) {
      return false;
    }
  }
}

// Through the buffer with read and write, the first read `first` bytes long. A read error ends
// the copy as the end of the file does; a failed write ends it at once.
void copy_through_buffer(const int input, const std::span<char> buffer, std::size_t first) {
  for (ssize_t got = 0; (got = read_some(input, buffer.first(first))) > 0; first = buffer.size()) {
    if (!write_held(buffer, got)) {
      return;
    }
  }
}

// Whatever the kernel will not copy goes on through the buffer from where it stopped; the write
// there decides whether the output has failed.
void copy(const int input, const mode_t input_type, const struct stat &output,
          const std::span<char> buffer, const std::size_t first) {
  if (has_position(output)) {
    copy_through_buffer(input, buffer, first);
  } else if (!copied_by_kernel(input, S_ISFIFO(input_type))) {
    copy_through_buffer(input, buffer, buffer.size());
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // Past a file-size limit a write then fails with EFBIG and the run ends as on a full disk,
  // where the signal would kill it.
  std::signal(SIGXFSZ, SIG_IGN);
  // Without an argument the header names an empty path, which no open accepts.
  const char *const path = argc > 1 ? argv[1] : "";
  // The header leaves in one write with the line after it. Only where the open may wait (a FIFO
  // for its writer) does it go first, alone. A failed write ends the run here, as everywhere.
  std::array<std::string_view, 3> header{"Filename: ", path, " \n"};
  struct stat named {};
  if (stat(path, &named) == 0 && may_wait(named.st_mode)) {
    if (!write_all({header[0], header[1], header[2]})) {
      return 0;
    }
    header = {};
  }
  const auto report = [&header](const std::string_view line) {
    return write_all({header[0], header[1], header[2], line});
  };

  const int input = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (input < 0) {
    report(kFailure);
    return 0;
  }
  const struct stat input_status = status_of(input);
  const struct stat output_status = status_of(STDOUT_FILENO);
  const std::span<char> buffer = copy_buffer();
  const std::size_t first = first_read_size(
      output_status, header[0].size() + header[1].size() + header[2].size() + kBanner.size(),
      buffer);
  // The first read comes before the banner, so that a file that cannot be read (a directory, a
  // damaged disk, /proc/self/mem) is reported, not announced and shown empty. Its bytes are kept
  // and written after the banner.
  const bool probed = !may_wait(input_status.st_mode);
  const bool refused = same_as_output(input_status, output_status);
  const ssize_t got = refused || !probed ? 0 : read_some(input, buffer.first(first));
  if (refused || got < 0) {
    close(input);
    report(kFailure);
    return 0;
  }

  widen_pipe(STDOUT_FILENO, input_status);
  widen_pipe(input, input_status);
  if (report(kBanner) && (!probed || (got > 0 && write_held(buffer, got)))) {
    copy(input, input_status.st_mode, output_status, buffer, probed ? buffer.size() : first);
  }
  close(input);
  return 0;
}
