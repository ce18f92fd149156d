// showfile: shows one file on standard output behind a header line and a banner.
// Every outcome exits 0; failures are reported on standard output only.

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace {

constexpr int kPipeCapacity = 1 << 20;  // the default pipe-max-size for unprivileged users
constexpr std::size_t kMostPerCall = 0x7ffff000;  // the most one sendfile moves

struct stat status_of(const int descriptor) {
  struct stat status {};
  // Only fails for a descriptor we do not hold; a zeroed status then matches no file or pipe.
  fstat(descriptor, &status);
  return status;
}

// A directory opens but holds nothing to show, and a regular file that is also our standard
// output would be read back as it grows: both are refused as though the open had failed.
bool refused(const struct stat &input, const struct stat &output) {
  return S_ISDIR(input.st_mode) || (S_ISREG(output.st_mode) && output.st_dev == input.st_dev &&
                                    output.st_ino == input.st_ino);
}

// A larger pipe lets the kernel move more per wake-up of the reader. It is only a hint, taken
// when the file would not fit anyway; a pipe that is already larger is left alone.
void widen_pipe(const off_t file_size) {
  const int capacity = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
  if (capacity >= 0 && capacity < kPipeCapacity && file_size > capacity) {
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeCapacity);
  }
}

// The kernel moves the file without a trip through our memory. What it refuses (an append-mode
// output, some devices and pseudo-files, an error part-way) goes on from the same position byte by
// byte through stdio.
void copy(std::FILE *const input) {
  std::fflush(stdout);  // the header and banner go ahead of what the kernel writes
  for (;;) {
    const ssize_t sent = sendfile(STDOUT_FILENO, fileno(input), nullptr, kMostPerCall);
    if (sent == 0) {
      return;
    }
    if (sent < 0 && errno != EINTR) {
      break;
    }
  }
  // One thread, so the per-call locking of fgetc and putchar buys nothing. A read error ends the
  // copy as the end of the file does.
  for (int byte = getc_unlocked(input); byte != EOF; byte = getc_unlocked(input)) {
    putchar_unlocked(byte);
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // Without an argument the header names an empty path, which no open accepts.
  const char *const path = argc > 1 ? argv[1] : "";
  std::printf("Filename: %s \n", path);

  std::FILE *const input = std::fopen(path, "r");
  if (input == nullptr) {
    std::puts("Unable to access file.");
    return 0;
  }
  const struct stat input_status = status_of(fileno(input));
  const struct stat output_status = status_of(STDOUT_FILENO);
  if (refused(input_status, output_status)) {
    std::fclose(input);
    std::puts("Unable to access file.");
    return 0;
  }

  std::puts("File has been accessed and the contents are displayed on console:\n");
  if (S_ISFIFO(output_status.st_mode)) {
    widen_pipe(input_status.st_size);
  }
  copy(input);
  std::fclose(input);
  return 0;
}
