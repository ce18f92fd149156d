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
constexpr int kPauseMillis = 1;

// Tries `call` until it answers other than EINTR or EAGAIN. After EAGAIN it waits in poll, which
// holds no lock, until each of `ends` is ready; with no end, EAGAIN is the answer. Every wait for
// the input or a pipe is here, so the output's reader can always read, and be killed. Ends that
// poll ready while the call says EAGAIN may have raced once; twice in a row, poll cannot wait for
// one of them (a device without a poll, as /dev/hwrng), and a pause keeps the run from spinning.
template <typename Call>
auto retried(const Call &call, const std::span<pollfd> ends) {
  for (bool disagreed = false;;) {
    const auto answer = call();
    if (answer >= 0 || (errno != EINTR && (errno != EAGAIN || ends.empty()))) {
      return answer;
    }
    const bool ready = poll(ends.data(), ends.size(), 0) == std::ssize(ends);
    if (ready && disagreed) {
      poll(nullptr, 0, kPauseMillis);
    }
    disagreed = ready;
    for (pollfd &end : ends) {
      if (poll(&end, 1, -1) == -1 && errno != EINTR) {
        return answer;
      }
    }
  }
}

// One report line leaves in one writev, which a pipe takes whole up to PIPE_BUF bytes, so that
// runs sharing it do not tear it. A full non-blocking output is waited for, where stdio would drop
// what it could not write; what is written or empty is passed over first, so nothing empty is
// written. False once the output has failed, so that what was written stays a clean prefix.
template <typename... Pieces>
bool write_all(const Pieces... pieces) {
  const auto part = [](const std::string_view piece) {
    return iovec{const_cast<char *>(piece.data()), piece.size()};
  };
  std::array<iovec, sizeof...(pieces)> parts{part(pieces)...};
  std::array<pollfd, 1> output{{{STDOUT_FILENO, POLLOUT, {}}}};
  std::span<iovec> left(parts);
  for (std::size_t done = 0;;) {
    for (; !left.empty() && done >= left.front().iov_len; left = left.subspan(1)) {
      done -= left.front().iov_len;
    }
    if (left.empty()) {
      return true;
    }
    left.front().iov_base = static_cast<char *>(left.front().iov_base) + done;
    left.front().iov_len -= done;
    const ssize_t written = retried(
        [&] { return writev(STDOUT_FILENO, left.data(), static_cast<int>(left.size())); }, output);
    if (written <= 0) {
      return false;
    }
    done = static_cast<std::size_t>(written);
  }
}

// The open waits as it must (a FIFO for its writer, a file under a lease). Then this run's own
// open file description turns non-blocking (the open set no other flag F_SETFL could clear), so
// that no read, sendfile or splice waits for the input inside the kernel, holding the output pipe
// locked against its reader; poll waits instead. An input that cannot be made so is not shown.
int open_input(const char *const path) {
  const int input = retried([path] { return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY); }, {});
  if (input >= 0 && fcntl(input, F_SETFL, O_NONBLOCK) != 0) {
    close(input);
    return -1;
  }
  return input;
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

// The byte count, 0 at the end of the input, negative on an error (EAGAIN too, with no `ends`).
ssize_t read_some(const int input, const std::span<char> into, const std::span<pollfd> ends) {
  return retried([&] { return read(input, into.data(), into.size()); }, ends);
}

bool write_held(const std::span<const char> buffer, const ssize_t size) {
  return write_all(std::string_view(buffer.data(), static_cast<std::size_t>(size)));
}

// An output with a file position (a regular file, a block device) may be shared with other
// writers, as in `xargs -P4 showfile > log`. write(2) advances a shared position under a lock;
// sendfile would overwrite what the others write meanwhile, so such an output takes the buffer.
bool has_position(const mode_t output) { return S_ISREG(output) || S_ISBLK(output); }

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
// large folios whole, so the first read is cut to bring the output there once the banner and it
// are written. Only an input that takes reads of any size is cut: pseudo-files (whose size reads
// 0) and character devices may want whole records, and speed must not change what is shown.
// Without a position the kernel moves the data, and the first read is a page.
std::size_t first_read_size(const struct stat &input, const mode_t output,
                            const std::span<const char> buffer) {
  if (!has_position(output)) {
    return kPageSize;
  }
  if (!S_ISFIFO(input.st_mode) && !S_ISBLK(input.st_mode) &&
      !(S_ISREG(input.st_mode) && input.st_size >= std::ssize(buffer))) {
    return buffer.size();
  }
  // The header is written, so even in append mode this is where the banner starts; a failed
  // lseek costs only the alignment.
  const auto past = static_cast<std::size_t>(lseek(STDOUT_FILENO, 0, SEEK_CUR)) + kBanner.size();
  return buffer.size() - past % buffer.size();
}

// A larger pipe, on either side, lets the kernel move more per wake-up of the other end. It is
// only a hint, taken when the input would not fit anyway (only a regular file's size is known);
// a pipe that is already larger is left alone, and a descriptor that is no pipe refuses both.
void widen_pipe(const int descriptor, const struct stat &input) {
  const int capacity = fcntl(descriptor, F_GETPIPE_SZ);
  const bool may_not_fit = !S_ISREG(input.st_mode) || input.st_size > capacity;
  if (capacity < kPipeCapacity && may_not_fit) {
    fcntl(descriptor, F_SETPIPE_SZ, kPipeCapacity);
  }
}

// The kernel moves the bytes without a trip through our memory: splice into a pipe (told not to
// block, it never waits inside the kernel), sendfile elsewhere, which refuses a pipe as input: a
// splice from it would hold it, and its writer, locked while the output waits. False when either
// fails for any reason but a wait (a device it cannot copy, a terminal's size limit, a sandbox, a
// read or write error), with the input's position where the kernel stopped.
bool copied_by_kernel(const int input, const bool by_splice) {
  std::array<pollfd, 2> ends{{{input, POLLIN, {}}, {STDOUT_FILENO, POLLOUT, {}}}};
  const auto move = [&] {
    return by_splice
               ? splice(input, nullptr, STDOUT_FILENO, nullptr, kMostPerCall, SPLICE_F_NONBLOCK)
               : sendfile(STDOUT_FILENO, input, nullptr, kMostPerCall);
  };
  for (;;) {
    const ssize_t moved = retried(move, ends);
    if (moved <= 0) {
      return moved == 0;
    }
  }
}

// Through the buffer with read and write, the first read `first` bytes long. A read error ends
// the copy as the end of the file does; a failed write ends it at once.
void copy_through_buffer(const int input, const std::span<char> buffer, std::size_t first) {
  std::array<pollfd, 1> ready{{{input, POLLIN, {}}}};
  for (;; first = buffer.size()) {
    const ssize_t got = read_some(input, buffer.first(first), ready);
    if (got <= 0 || !write_held(buffer, got)) {
      return;
    }
  }
}

// Whatever the kernel will not copy goes on through the buffer from where it stopped; the write
// there decides whether the output has failed.
void copy(const int input, const struct stat &input_status, const mode_t output,
          const std::span<char> buffer, const std::size_t first) {
  widen_pipe(STDOUT_FILENO, input_status);
  widen_pipe(input, input_status);
  if (has_position(output)) {
    copy_through_buffer(input, buffer, first);
  } else if (!copied_by_kernel(input, S_ISFIFO(output))) {
    copy_through_buffer(input, buffer, buffer.size());
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // A reader that has gone (EPIPE) or a file-size limit (EFBIG) then fails the write, and the run
  // ends as on a full disk, where the signal would kill it.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Without an argument the header names an empty path, which no open accepts. The header goes
  // before the open, which may wait; a failed write ends the run here, as everywhere.
  const char *const path = argc > 1 ? argv[1] : "";
  if (!write_all("Filename: ", path, " \n")) {
    return 0;
  }
  const int input = open_input(path);
  if (input < 0) {
    write_all(kFailure);
    return 0;
  }
  // Without both statuses the run cannot rule out reading back its own output.
  struct stat input_status {};
  struct stat output_status {};
  const bool refused = fstat(input, &input_status) != 0 ||
                       fstat(STDOUT_FILENO, &output_status) != 0 ||
                       same_as_output(input_status, output_status);
  // The first read comes before the banner and does not wait, so that an input that cannot be
  // read (a directory, /proc/self/mem, a device that refuses) is reported, not shown empty. Its
  // bytes are kept for after the banner; an input with nothing yet is announced, then waited for.
  const std::span<char> buffer = copy_buffer();
  const std::size_t first = first_read_size(input_status, output_status.st_mode, buffer);
  const ssize_t got = refused ? -1 : read_some(input, buffer.first(first), {});
  if (got < 0 && (refused || errno != EAGAIN)) {
    write_all(kFailure);
  } else if (write_all(kBanner) && (got < 0 || (got > 0 && write_held(buffer, got)))) {
    copy(input, input_status, output_status.st_mode, buffer, got < 0 ? first : buffer.size());
  }
  close(input);
  return 0;
}
