// showfile: shows one file on standard output behind a header line and a banner.
// Every outcome exits 0; failures are reported on standard output only.
//
// Two rules govern every call. The run never waits inside the kernel while it holds a pipe that
// someone else needs (the output, or a pipe given as input), so that their readers and writers can
// always go on, and be killed; a read into our own buffer holds neither, and may wait. And a page
// of the input never waits in an output, where a later change of the file would reach the reader,
// nor is copied by the kernel at a position others share: the kernel copies only into a device,
// which takes the pages at once and has no position (a terminal, /dev/null). Everything else gets
// the bytes as they were read, through our buffer, written at the output's own position, so that
// whatever stops the run, a signal or a full disk, leaves a clean prefix.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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
constexpr std::size_t kMostPerCall = 0x7ffff000;  // the most one sendfile moves
// Measured: into a file the fastest write, which the processor's cache holds between the read and
// the write; larger writes take large folios, which fresh memory makes slow on a virtual machine.
constexpr std::size_t kBufferSize = 256 << 10;
constexpr std::size_t kStreamRead = 128 << 10;  // a device's read, which may wait until it is full
constexpr std::size_t kPageSize = 4096;
constexpr pollfd kOutputRoom{STDOUT_FILENO, POLLOUT, {}};

// Tries `call` until it answers other than EINTR.
template <typename Call>
auto retried(const Call &call) {
  auto answer = call();
  while (answer == -1 && errno == EINTR) {
    answer = call();
  }
  return answer;
}

// Tries `call` as retried does, and after EAGAIN (from a descriptor that does not block) again
// once poll, which holds nothing, has found `end` ready.
template <typename Call>
auto waited(const Call &call, pollfd end) {
  for (;;) {
    const auto answer = retried(call);
    if (answer != -1 || errno != EAGAIN || (poll(&end, 1, -1) == -1 && errno != EINTR)) {
      return answer;
    }
  }
}

// Writes all of `left` at the output's position, which the kernel moves under its lock, so that
// writers sharing it never overlap; waits on a full non-blocking output where stdio would drop what
// it could not write; what is written or empty is passed over first. False once the output has
// failed, so that what was written stays a prefix.
bool write_parts(std::span<iovec> left) {
  for (std::size_t done = 0;;) {
    for (; !left.empty() && done >= left.front().iov_len; left = left.subspan(1)) {
      done -= left.front().iov_len;
    }
    if (left.empty()) {
      return true;
    }
    iovec &front = left.front();
    front = {static_cast<char *>(front.iov_base) + done, front.iov_len - done};
    const ssize_t written =
        waited([&] { return writev(STDOUT_FILENO, left.data(), static_cast<int>(left.size())); },
               kOutputRoom);
    if (written == -1 && errno == EMSGSIZE && (left.size() > 1 || front.iov_len > 1)) {
      // A message socket takes no more than a message a write: a first part leaves alone (its
      // first piece, or half of the one), halved again until it fits, then the rest.
      iovec part{front.iov_base, left.size() > 1 ? front.iov_len : front.iov_len / 2};
      done = part.iov_len;
      if (!write_parts({&part, 1})) {
        return false;
      }
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done = static_cast<std::size_t>(written);
  }
}

// One report line leaves in one write, which a pipe takes whole up to PIPE_BUF bytes, so that
// runs sharing it do not tear it.
template <typename... Pieces>
bool write_all(const Pieces... pieces) {
  std::array<iovec, sizeof...(pieces)> parts{iovec{
      const_cast<char *>(std::string_view(pieces).data()), std::string_view(pieces).size()}...};
  return write_parts(parts);
}

// The copy buffer, taken before the banner so that a run never announces what it cannot copy; where
// memory is short (a small data limit), a page of static storage does its work in smaller steps.
std::span<char> copy_buffer() {
  void *const mapped =
      mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped != MAP_FAILED) {
    return {static_cast<char *>(mapped), kBufferSize};
  }
  alignas(kPageSize) static std::array<char, kPageSize> page;
  return page;
}

bool write_held(const std::span<char> buffer, const ssize_t size) {
  iovec held{buffer.data(), static_cast<std::size_t>(size)};
  return write_parts({&held, 1});
}

// An output with a file position (a regular file, a block device) keeps the written bytes in a page
// cache, whose large folios a write fills whole where it starts and ends on their boundaries.
bool has_position(const mode_t output) { return S_ISREG(output) || S_ISBLK(output); }

// Storage, a file with bytes in it, takes reads of any size and has pages the kernel can copy.
// Everything else (a pipe, a terminal, a device, a pseudo-file whose size reads 0) is a stream.
bool is_storage(const struct stat &input) { return S_ISREG(input.st_mode) && input.st_size != 0; }

// A pipe's read returns at once what it holds: a whole buffer. A device or a FUSE stream may fill a
// read before it returns it: 128 KiB, a page or more, as large as any record or packet it delivers.
std::size_t read_size(const struct stat &input, const std::span<const char> buffer) {
  const bool whole = is_storage(input) || S_ISFIFO(input.st_mode);
  return whole ? buffer.size() : std::min(buffer.size(), kStreamRead);
}

// A file, pipe or block device that is also our standard output would be read back as it is
// written, without end.
bool same_as_output(const struct stat &input, const struct stat &output) {
  if (S_ISBLK(output.st_mode)) {  // through any node of the device
    return S_ISBLK(input.st_mode) && input.st_rdev == output.st_rdev;
  }
  const bool readable_back = S_ISREG(output.st_mode) || S_ISFIFO(output.st_mode);
  return readable_back && output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

// The first read comes before the banner, so it is no longer than a device's: a slow file shows
// its banner and first bytes after 128 KiB, as with cat. Storage into a file is read only as far as
// brings the output to a multiple of the buffer size once the banner and that are written, so that
// every later write fills the page cache's large folios whole; lseek, past the header, says where
// the banner starts, in append mode too, and failing costs only the alignment.
std::size_t first_read_size(const struct stat &input, const mode_t output,
                            const std::span<const char> buffer) {
  const off_t header_end =
      is_storage(input) && has_position(output) ? lseek(STDOUT_FILENO, 0, SEEK_CUR) : -1;
  if (header_end < 0) {
    return std::min(read_size(input, buffer), kStreamRead);
  }
  const auto past = static_cast<std::size_t>(header_end) + kBanner.size();
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

// Past the first read, reads may wait, so that an input's own timing holds (a terminal's MIN and
// TIME, a trace buffer's pages). A device (a terminal, /dev/null) takes storage's pages at once
// and has no position to share: the kernel copies into it without a trip through our memory, and
// where it stops (at what it takes for the end, or refused) the buffer goes on. A read error ends
// the copy as the end does.
void copy(const int input, const struct stat &input_status, const mode_t output,
          const std::span<char> buffer) {
  fcntl(input, F_SETFL, O_RDONLY);  // the flags of the open; should this fail, poll waits instead
  widen_pipe(STDOUT_FILENO, input_status);
  widen_pipe(input, input_status);
  if (is_storage(input_status) && S_ISCHR(output)) {
    while (waited([&] { return sendfile(STDOUT_FILENO, input, nullptr, kMostPerCall); },
                  kOutputRoom) > 0) {
    }
  }
  const std::size_t size = read_size(input_status, buffer);
  for (;;) {
    const ssize_t got =
        waited([&] { return read(input, buffer.data(), size); }, {input, POLLIN, {}});
    if (got <= 0 || !write_held(buffer, got)) {
      return;
    }
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
  // The open waits as it must (a FIFO for its writer, a file under a lease).
  const int input = retried([path] { return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY); });
  if (input < 0) {
    write_all(kFailure);
    return 0;
  }
  // Not shown: an input whose first read cannot be kept from waiting (the open set no flag F_SETFL
  // would clear), or that may be our own output, read back without end (without both statuses too).
  struct stat input_status {};
  struct stat output_status {};
  const bool refused = fcntl(input, F_SETFL, O_NONBLOCK) != 0 || fstat(input, &input_status) != 0 ||
                       fstat(STDOUT_FILENO, &output_status) != 0 ||
                       same_as_output(input_status, output_status);
  // The first read comes before the banner and does not wait, so that an input that cannot be
  // read (a directory, /proc/self/mem, a device that refuses) is reported, not shown empty. Its
  // bytes are kept for after the banner; an input with nothing yet is announced, then waited for.
  const std::span<char> buffer = copy_buffer();
  // Read in order, it is read ahead twice as far: a slow disk or network keeps more in flight.
  posix_fadvise(input, 0, 0, POSIX_FADV_SEQUENTIAL);
  const std::size_t first = first_read_size(input_status, output_status.st_mode, buffer);
  const ssize_t got = refused ? -1 : retried([&] { return read(input, buffer.data(), first); });
  if (got < 0 && (refused || errno != EAGAIN)) {
    write_all(kFailure);
  } else if (write_all(kBanner) && (got < 0 || (got > 0 && write_held(buffer, got)))) {
    copy(input, input_status, output_status.st_mode, buffer);
  }
  close(input);
  return 0;
}
