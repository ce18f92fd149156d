// Black-box tests: each case runs the built showfile in a child process with real files, pipes
// and descriptors, and compares the bytes it leaves behind exactly.

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "showfile_path.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBanner =
    "File has been accessed and the contents are displayed on console:\n\n";
constexpr std::string_view kFailure = "Unable to access file.\n";
constexpr std::uintmax_t kLargeFile = std::uintmax_t{256} << 20;  // a few hundred MiB
constexpr int kByteValues = 256;
constexpr int kCannotStart = 127;  // the child's status when showfile could not be started
constexpr int kHangMillis = 60'000;
constexpr uid_t kNobody = 65534;
constexpr std::size_t kFewBytes = 8;
constexpr int kPauseMillis = 500;
constexpr int kSlowReaderMillis = 20;   // between reads, in which a terminal fills up
constexpr unsigned kAlarmSeconds = 10;  // for a run that should end well before
constexpr int kDefaultPipe = 64 << 10;
constexpr int kWidePipe = 1 << 20;
constexpr long kMostCpuMicros = 250'000;  // half a pause: a run that spins through it spends all
constexpr rlimit kSmallData{512 << 10, 512 << 10};  // too small for a large buffer
constexpr rlimit kSmallStack{16 << 10, 16 << 10};   // too small for a page on the stack
constexpr rlimit kSmallFile{4 << 20, 4 << 20};
constexpr rlimit kFewDescriptors{5, 5};  // the standard three, the input, and no pipe beside them
constexpr std::size_t kCopyBuffer = 256 << 10;  // showfile's
constexpr std::size_t kPageSize = 4096;         // its first read from a file into a device
constexpr std::size_t kStreamRead = 128 << 10;  // its reads of a device
constexpr std::size_t kBeyondAPipe = 100'000;   // past a pipe, within an argument's limit
constexpr const char *kStrace = "/usr/bin/strace";

// What showfile writes for a file it shows, and for one it cannot.
std::string header(const std::string &path) {
  return std::string("Filename: ").append(path) + " \n";
}

std::string shown_report(const std::string &path, const std::string_view contents) {
  return header(path).append(kBanner).append(contents);
}

std::string failure_report(const std::string &path) { return header(path).append(kFailure); }

std::string every_byte_value() {
  std::string bytes;
  for (int value = 0; value < kByteValues; ++value) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

std::string slurp(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void spit(const fs::path &path, const std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A file of `size` bytes that takes no disk space: zeros, then `tail` as its last bytes.
void make_sparse(const fs::path &path, const std::uintmax_t size, const std::string &tail) {
  spit(path, "");
  fs::resize_file(path, size - tail.size());
  std::ofstream(path, std::ios::binary | std::ios::app) << tail;
}

// For Launch::in_child: the calls `first` and `second` fail with `error` on descriptors up to
// `highest` (their first argument), as some sandboxes and file systems make them.
bool refuse(const std::uint32_t first, const std::uint32_t second, const std::uint32_t error,
            const std::uint32_t highest = UINT32_MAX) {
  auto filter = std::to_array<sock_filter>({
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, first},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, second},
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, args)},
      {BPF_JMP | BPF_JGT | BPF_K, 1, 0, highest},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | error},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
  });
  const sock_fprog program{filter.size(), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// For Launch::in_child: "f" is cut to `size`, mid-page, while a late reader pauses.
bool cut_while_waiting(const off_t size) {
  if (fork() == 0) {
    poll(nullptr, 0, kPauseMillis / 2);
    _exit(truncate("f", size));
  }
  return true;
}

// A fresh folder for one test, removed with everything in it.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "showfile-test.XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  TempDir(TempDir &&) = delete;
  TempDir &operator=(TempDir &&) = delete;
};

constexpr int kCapture = -1;  // standard output is a pipe read back into Outcome::out
constexpr int kClosed = -2;   // the child starts with standard output (or input) closed

struct Launch {
  std::vector<std::string> args;  // after the program name
  fs::path cwd = ".";
  int out = kCapture;  // else a descriptor the child gets as standard output; closed here after
  int in = -1;         // likewise for standard input; /dev/null when none is given
  int capture = -1;    // with `out` given, a descriptor to read back instead (a terminal's master)
  std::function<void(std::string_view)> on_out{};  // takes the output instead of Outcome::out
  fs::path program = kShowfilePath;
  bool as_nobody = false;  // when root, run the child as the unprivileged user nobody
  // The captured standard output is a non-blocking pipe, read only after a pause that the run
  // must spend waiting, not spinning.
  bool nonblocking = false;
  std::function<bool()> in_child{};   // run in the child before showfile starts
  std::vector<std::string> at_out{};  // each time Outcome::out reads one of these, `then` runs
  std::function<void()> then{};
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
  rusage usage{};
  int pipe_size = -1;  // the captured pipe's at the end
  [[nodiscard]] bool exited_zero() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// What every run promises whatever happens to its output: nothing on standard error, exit 0.
void expect_clean(const Outcome &outcome) {
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(outcome.exited_zero()) << "wait status " << outcome.status;
}

// Reads the child's standard output (when captured) and standard error until both close; a child
// silent for a minute is killed with its session, so that a hang fails and leaves nothing running.
void drain(const pid_t child, std::array<pollfd, 2> fds, const Launch &launch, Outcome &outcome) {
  constexpr std::size_t kChunk = 1 << 20;
  std::vector<char> buffer(kChunk);
  if (launch.nonblocking) {
    poll(nullptr, 0, kPauseMillis);
  }
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const int ready = poll(fds.data(), fds.size(), kHangMillis);
    if (ready == 0) {
      ADD_FAILURE() << "showfile hung";
      kill(-child, SIGKILL);
    }
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      const ssize_t got = read(fds[i].fd, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {  // the end; a terminal's master reads EIO there
        close(fds[i].fd);
        fds[i].fd = -1;
        continue;
      }
      const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
      if (i == 1) {
        outcome.err += bytes;
      } else if (launch.on_out) {
        launch.on_out(bytes);
      } else if (std::ranges::count(launch.at_out, outcome.out += bytes) > 0) {
        launch.then();
      }
    }
  }
}

Outcome run(const Launch &launch) {
  std::array<int, 2> out_pipe{-1, -1};
  std::array<int, 2> err_pipe{-1, -1};
  const int out_flags = O_CLOEXEC | (launch.nonblocking ? O_NONBLOCK : 0);
  if ((launch.out == kCapture && pipe2(out_pipe.data(), out_flags) != 0) ||
      pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  std::vector<std::string> args{launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char *> argv(args.size() + 1, nullptr);
  std::transform(args.begin(), args.end(), argv.begin(),
                 [](std::string &arg) { return arg.data(); });

  const pid_t child = fork();
  if (child == 0) {
    const int input = launch.in >= 0 ? launch.in : open("/dev/null", O_RDONLY);
    const int output = launch.out == kCapture ? out_pipe[1] : launch.out;
    if (setsid() < 0 ||  // a session of its own, as a terminal's login shell has
        (launch.in == kClosed ? close(STDIN_FILENO) : dup2(input, STDIN_FILENO)) < 0 ||
        dup2(err_pipe[1], STDERR_FILENO) < 0 ||
        (output == kClosed ? close(STDOUT_FILENO) : dup2(output, STDOUT_FILENO)) < 0 ||
        close_range(STDERR_FILENO + 1, ~0U, 0) != 0 || chdir(launch.cwd.c_str()) != 0 ||
        (launch.as_nobody && geteuid() == 0 &&
         (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))) {
      _exit(kCannotStart);
    }
    std::signal(SIGPIPE, SIG_DFL);  // as a shell would start it, whatever this process ignores
    if (!launch.in_child || launch.in_child()) {
      execv(argv[0], argv.data());
    }
    _exit(kCannotStart);
  }
  for (const int descriptor : {launch.in, launch.out, out_pipe[1], err_pipe[1]}) {
    if (descriptor >= 0) {
      close(descriptor);
    }
  }
  Outcome outcome;
  const int capture = launch.out == kCapture ? out_pipe[0] : launch.capture;
  const int kept = fcntl(capture, F_DUPFD_CLOEXEC, 0);  // drain closes what it reads
  drain(child, {pollfd{capture, POLLIN, 0}, pollfd{err_pipe[0], POLLIN, 0}}, launch, outcome);
  outcome.pipe_size = fcntl(kept, F_GETPIPE_SZ);
  close(kept);
  wait4(child, &outcome.status, 0, &outcome.usage);
  if (launch.nonblocking) {
    timeval cpu{};
    timeradd(&outcome.usage.ru_utime, &outcome.usage.ru_stime, &cpu);
    EXPECT_LT(cpu.tv_sec * 1'000'000 + cpu.tv_usec, kMostCpuMicros);
  }
  return outcome;
}

int open_or_fail(const fs::path &path, const int flags) {
  const int descriptor = open(path.c_str(), flags | O_CLOEXEC);
  EXPECT_GE(descriptor, 0) << path;
  return descriptor;
}

TEST(Showfile, ShowsTheFileExactly) {
  const std::string bytes = std::string{'\0', '\xff'} + every_byte_value() + std::string{'\xff'};
  // Under the sanitizers, whose shadow memory no small data limit admits, the row runs unlimited.
  const auto short_of_memory = [] {
    return kSanitized ||
           (setrlimit(RLIMIT_DATA, &kSmallData) == 0 && setrlimit(RLIMIT_STACK, &kSmallStack) == 0);
  };
  const auto forbidden = [] { return refuse(SYS_sendfile, SYS_splice, EPERM); };
  const auto few_descriptors = [] { return setrlimit(RLIMIT_NOFILE, &kFewDescriptors) == 0; };
  struct Row {
    const char *name;
    std::string file;
    std::string contents;
    std::vector<std::string> extra_args;
    bool nonblocking = false;
    std::function<bool()> in_child{};
  };
  const std::vector<Row> rows{
      {"three bytes", "f", "ab\n", {}},
      {"one byte", "f", "1", {}},
      {"a default pipe's worth for a late reader, cut short as it waits: what was read is shown",
       "f",
       std::string(std::size_t{kDefaultPipe}, 'p'),
       {},
       true,
       [] { return cut_while_waiting(kPageSize * 3 / 2); }},
      {"empty", "f", "", {}},
      {"no final line feed", "f", "a\nb", {}},
      {"every byte value, 0x00 and 0xff first, amid and last", "f", bytes, {}},
      {"named -", "-", "dash\n", {}},
      {"starts with -", "--help", "not an option\n", {}},
      {"conversions in the name", "%s%n%d", "percent\n", {}},
      {"line feed and non-UTF-8 in the name", "a\nb\xff\xfe", "odd\n", {}},
      {"extra arguments ignored", "f", "first\n", {"g", "--version", ""}},
      {"into a non-blocking pipe", "f", std::string(std::size_t{32} << 20, 'n'), {}, true},
      {"sendfile and splice forbidden", "f", std::string(kBeyondAPipe, 's'), {}, false, forbidden},
      {"short of memory", "f", std::string(kBeyondAPipe, 'm'), {}, false, short_of_memory},
      {"short of descriptors", "f", std::string(kBeyondAPipe, 'd'), {}, false, few_descriptors},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    spit(dir.path / row.file, row.contents);
    std::vector<std::string> args{row.file};
    args.insert(args.end(), row.extra_args.begin(), row.extra_args.end());
    const Outcome outcome = run(
        {.args = args, .cwd = dir.path, .nonblocking = row.nonblocking, .in_child = row.in_child});
    EXPECT_EQ(outcome.out, shown_report(row.file, row.contents));
    expect_clean(outcome);
    // Only a file that would not fit is worth a wider pipe.
    EXPECT_EQ(outcome.pipe_size,
              row.contents.size() > std::size_t{kDefaultPipe} ? kWidePipe : kDefaultPipe);
  }
}

TEST(Showfile, ReportsWhatCannotBeShown) {
  std::string too_long;  // names ./file, were it not longer than PATH_MAX
  while (too_long.size() <= PATH_MAX) {
    too_long += "./";
  }
  too_long += "file";
  struct Row {
    const char *name;
    std::vector<std::string> args;
    bool nonblocking = false;
  };
  const std::vector<Row> rows{
      {"missing file", {"missing"}},
      {"empty path", {""}},
      {"no argument", {}},
      {"directory", {"."}},
      {"root directory", {"/"}},
      {"regular file used as a directory", {"file/x"}},
      {"symbolic link loop", {"loop"}},
      {"path longer than PATH_MAX", {too_long}},
      {"standard output itself, a pipe", {"/dev/stdout"}},
      {"its own memory, which reads EIO at its start", {"/proc/self/mem"}},
      {"a device that refuses its first read, where there is one", {"/dev/net/tun"}},
      {"name longer than a non-blocking pipe", {std::string(kBeyondAPipe, 'n')}, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    spit(dir.path / "file", "contents\n");
    fs::create_symlink("loop", dir.path / "loop");
    const Outcome outcome =
        run({.args = row.args, .cwd = dir.path, .nonblocking = row.nonblocking});
    EXPECT_EQ(outcome.out, failure_report(row.args.empty() ? "" : row.args[0]));
    expect_clean(outcome);
  }
}

TEST(Showfile, ReportsAFileItMayNotRead) {
  // Root reads anything, so as root the child runs as nobody, from a folder nobody can enter.
  const TempDir dir;
  fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::copy_file(kShowfilePath, dir.path / "showfile");
  spit(dir.path / "secret", "secret\n");
  fs::permissions(dir.path / "secret", fs::perms::none);
  const Outcome outcome = run(
      {.args = {"secret"}, .cwd = dir.path, .program = dir.path / "showfile", .as_nobody = true});
  EXPECT_EQ(outcome.out, failure_report("secret"));
  expect_clean(outcome);
}

TEST(Showfile, WritesOnlyWhereStandardOutputGoes) {
  enum class Sink {
    kAfterOther,
    kAppendToOther,
    kOutputClosed,
    kReaderGone,
    kDeviceFull,
    kFullEndless,
    kAppendToItself,
    kItselfUnseen,
    kStdinPipe,
    kSizeLimit,
    kPastLimit
  };
  const std::vector<std::pair<const char *, Sink>> rows{
      {"another file, after what it held", Sink::kAfterOther},
      {"appended to another file", Sink::kAppendToOther},
      {"standard output closed", Sink::kOutputClosed},
      {"a pipe whose reader has gone before the run, as the header is written", Sink::kReaderGone},
      {"standard output full", Sink::kDeviceFull},
      {"standard output full, input endless", Sink::kFullEndless},
      {"appended to the shown file", Sink::kAppendToItself},
      {"appended to the shown file, whose status as output is refused", Sink::kItselfUnseen},
      {"standard input left unread", Sink::kStdinPipe},
      {"another file past a file-size limit, the file past it too", Sink::kSizeLimit},
      {"appended to a file past the limit already, as the header is written", Sink::kPastLimit},
  };
  const std::string contents(2 * kCopyBuffer + 1, 'x');  // past the buffer: its first read is cut
  std::signal(SIGPIPE, SIG_IGN);  // for our own write after a run, into a pipe with no reader
  for (const auto &[name, sink] : rows) {
    SCOPED_TRACE(name);
    const TempDir dir;
    const fs::path shown = dir.path / "shown";
    const fs::path other = dir.path / "other";
    // A buffer's worth less the report (aligned, the first read whole), or past the limit too.
    const std::size_t past =
        static_cast<std::size_t>(sink == Sink::kPastLimit) * kSmallFile.rlim_cur;
    const std::string before(past + kCopyBuffer - shown_report(shown, "").size(), 'k');
    const bool itself = sink == Sink::kAppendToItself || sink == Sink::kItselfUnseen;
    spit(shown, contents);
    spit(other, before);
    std::array<int, 2> stdin_pipe{-1, -1};
    ASSERT_EQ(pipe2(stdin_pipe.data(), O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(write(stdin_pipe[1], "unread", 6), 6);

    const fs::path zeros = dir.path / "zeros";  // a file past the size limit below
    make_sparse(zeros, kLargeFile, "");
    const fs::path input = sink == Sink::kSizeLimit ? zeros : shown;
    Launch launch{.args = {sink == Sink::kFullEndless ? "/dev/zero" : input},
                  .in = dup(stdin_pipe[0])};
    if (sink == Sink::kAfterOther || sink == Sink::kSizeLimit) {
      launch.out = open_or_fail(other, O_WRONLY);
      lseek(launch.out, 0, SEEK_END);
    } else if (sink == Sink::kAppendToOther || sink == Sink::kPastLimit || itself) {
      launch.out = open_or_fail(itself ? shown : other, O_WRONLY | O_APPEND);
    } else if (sink == Sink::kOutputClosed) {
      launch.out = kClosed;
    } else if (sink == Sink::kReaderGone) {
      std::array<int, 2> gone{-1, -1};
      ASSERT_EQ(pipe2(gone.data(), O_CLOEXEC), 0);
      close(gone[0]);
      launch.out = gone[1];
    } else if (sink == Sink::kDeviceFull || sink == Sink::kFullEndless) {
      launch.out = open_or_fail("/dev/full", O_WRONLY);
    }
    launch.in_child = [unseen = sink == Sink::kItselfUnseen] {
      return setrlimit(RLIMIT_FSIZE, &kSmallFile) == 0 &&  // which bounds a self-copy too
             (!unseen || refuse(SYS_newfstatat, SYS_fstat, EAGAIN, STDOUT_FILENO));
    };
    const int shared = dup(launch.out);  // for a shell's next write, into the same open file
    const Outcome outcome = run(launch);
    expect_clean(outcome);
    std::ignore = write(shared, "!", 1);  // where the run left off, when the output is a file
    close(shared);

    EXPECT_EQ(slurp(shown), itself ? contents + failure_report(shown).append("!") : contents);
    const bool to_other = sink == Sink::kAfterOther || sink == Sink::kAppendToOther;
    if (sink == Sink::kSizeLimit) {
      const std::string limited = before + shown_report(zeros, std::string(kSmallFile.rlim_cur, 0));
      EXPECT_EQ(slurp(other), limited.substr(0, kSmallFile.rlim_cur).append("!"));
    } else {
      EXPECT_EQ(slurp(other), to_other ? before + shown_report(shown, contents).append("!")
                                       : before + (sink == Sink::kPastLimit ? "!" : ""));
    }
    EXPECT_EQ(outcome.out, sink == Sink::kStdinPipe ? shown_report(shown, contents) : "");
    std::array<char, kFewBytes> left{};
    EXPECT_EQ(read(stdin_pipe[0], left.data(), left.size()), 6);
    close(stdin_pipe[0]);
    close(stdin_pipe[1]);
  }
}

TEST(Showfile, KeepsEveryByteOfRunsSharingAFile) {
  const TempDir dir;
  constexpr std::size_t kSize = 32 << 20;
  const std::string names = "abcd";  // showing bytes 1 to 4
  for (std::size_t i = 0; i < names.size(); ++i) {
    spit(dir.path / names.substr(i, 1), std::string(kSize, static_cast<char>(i + 1)));
  }
  spit(dir.path / "out", "");
  const Outcome outcome =
      run({.args = {"-c", R"(for f in a b c d; do "$0" $f & done; wait)", kShowfilePath},
           .cwd = dir.path,
           .out = open_or_fail(dir.path / "out", O_WRONLY),
           .program = "/bin/sh"});
  expect_clean(outcome);
  const std::string out = slurp(dir.path / "out");
  EXPECT_EQ(out.size(), names.size() * (shown_report("a", "").size() + kSize));
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(std::count(out.begin(), out.end(), static_cast<char>(i + 1)), kSize);
  }
  // A run stopped by ^C as it reads its third buffer leaves what it wrote, and the shell's next
  // write follows it with no gap.
  const std::string stop = R"("$1" -o /dev/null -P a -e inject=read:signal=INT:when=3 "$0" a)";
  if (!kSanitized && access(kStrace, X_OK) == 0) {
    run({.args = {"-c", stop + "; printf !", kShowfilePath, kStrace},
         .cwd = dir.path,
         .out = open_or_fail(dir.path / "out", O_WRONLY | O_TRUNC),
         .program = "/bin/sh"});
    const std::string two_buffers(2 * kCopyBuffer - shown_report("a", "").size(), '\1');
    EXPECT_EQ(slurp(dir.path / "out"), shown_report("a", two_buffers) + "!");
  }

  // Fifty runs into one pipe: the header line of each leaves whole.
  const Outcome many =
      run({.args = {"-c", R"(for i in $(seq 50); do "$0" s & done | grep -cx 'Filename: s ')",
                    kShowfilePath},
           .cwd = dir.path,
           .program = "/bin/sh"});
  EXPECT_EQ(many.out, "50\n");
}

// As root in a mount namespace of its own: two new tmpfs number their first files alike, a loop
// device is given itself as output through a second node, and a console screen with its numbers
// (where there is one) as input, and one given a file takes no sendfile (strace: no leak check).
TEST(Showfile, RefusesOnlyItsOwnOutput) {
  constexpr int kCannotSetUp = 77;
  const TempDir dir;
  const std::string image(512, 'i');
  spit(dir.path / "image", image);
  spit(dir.path / "other", std::string(image.size(), 'o'));
  const Outcome outcome = run(
      {.args = {"--mount", "sh", "-c", R"sh(mkdir a b && mount -t tmpfs t a && mount -t tmpfs t b &&
          d=$(losetup -f --show image) && mknod dev b $(stat -c '0x%t 0x%T' "$d") &&
          e=$(losetup -f --show other) && mknod vc c $(stat -c '0x%t 0x%T' "$e") || exit 77
          : >b/f && printf x >a/f && "$0" a/f >b/f; "$0" dev 1<>"$d"
          ASAN_OPTIONS=detect_leaks=0 strace -qq -o s -e trace=sendfile "$0" a/f 1<>"$e"
          head -c1 vc >/dev/null 2>&1 && "$0" vc 1<>"$e" && sed -n 2p "$e" | grep -x 'Unable.*'
          "$0" dev 1<>"$e"; losetup -d "$d" "$e"; cat b/f image other s)sh",
                kShowfilePath},
       .cwd = dir.path,
       .program = "/usr/bin/unshare"});
  // A run killed before it detached its loop devices (a hang) leaves them attached, but not here.
  run({.args = {"-c",
                "for f in image other; do losetup -nO NAME -j $f; done | xargs -r losetup -d"},
       .cwd = dir.path,
       .program = "/bin/sh"});
  if (geteuid() != 0 || access(kStrace, X_OK) != 0 || WEXITSTATUS(outcome.status) == kCannotSetUp ||
      outcome.err.starts_with("unshare: ")) {  // a chroot's / is no mount point to make private
    GTEST_SKIP() << "needs root, strace, tmpfs and a loop device: " << outcome.err;
  }
  const std::string refused = failure_report("dev") + image.substr(failure_report("dev").size());
  EXPECT_EQ(
      outcome.out,  // another loop device takes what it can of the first
      shown_report("a/f", "x") + refused + shown_report("dev", refused).substr(0, image.size()));
  expect_clean(outcome);
}

TEST(Showfile, ShowsInputsTheKernelWillNotCopy) {
  // Into a message socket, the child's own command line, made longer than a message.
  const std::string extra = std::string(kBeyondAPipe, 'c') + '\0';
  const std::string cmdline = std::string(kShowfilePath) + '\0' + "/proc/self/cmdline" + '\0';
  // Into a stream socket, a stored file cut while the reader pauses: its pages never wait there.
  const TempDir dir;
  const std::string stored(kStreamRead + kPageSize, 'k');
  spit(dir.path / "f", stored);
  for (const auto &[args, contents, type] :
       {std::tuple{std::vector<std::string>{"f"}, stored, SOCK_STREAM},
        std::tuple{std::vector<std::string>{"/proc/version"}, slurp("/proc/version"),
                   SOCK_SEQPACKET},
        std::tuple{std::vector<std::string>{"/proc/self/cmdline", extra, extra, extra},
                   std::string(cmdline).append(extra).append(extra).append(extra),
                   SOCK_SEQPACKET}}) {
    std::array<int, 2> socket{-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, socket.data()), 0);
    // A few KiB a message, so that every read is split; a stream takes the whole file at once.
    const int small = type == SOCK_STREAM ? kWidePipe : static_cast<int>(kPageSize);
    ASSERT_EQ(setsockopt(socket[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const Outcome outcome =
        run({.args = args,
             .cwd = dir.path,
             .out = socket[1],
             .capture = socket[0],
             .nonblocking = true,
             .in_child = [] { return cut_while_waiting(kStreamRead + kPageSize / 2); }});
    EXPECT_EQ(outcome.out, shown_report(args[0], contents));
    expect_clean(outcome);
  }

  const fs::path fifo = dir.path / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), S_IRUSR | S_IWUSR), 0);
  const std::string fed(300'000, 'f');
  std::array<int, 2> told{-1, -1};  // that the header is out while the open waits, the banner, "f"
  ASSERT_EQ(pipe2(told.data(), O_CLOEXEC), 0);
  const pid_t feeder = fork();
  if (feeder == 0) {  // a slow writer of packets, which showfile must wait for
    close(told[1]);
    std::array<char, 1> news{};
    const int descriptor = read(told[0], news.data(), 1) == 1 ? open(fifo.c_str(), O_WRONLY) : -1;
    const bool fed_all =
        fcntl(descriptor, F_SETFL, O_DIRECT) == 0 && read(told[0], news.data(), 1) == 1 &&
        write(descriptor, "f", 1) == 1 &&
        poll(std::array{pollfd{told[0], POLLIN, 0}}.data(), 1, kHangMillis / 6) == 1 &&
        write(descriptor, fed.data(), fed.size() - 1) == std::ssize(fed) - 1;
    _exit(fed_all && fcntl(descriptor, F_GETPIPE_SZ) == kWidePipe ? 0 : 1);  // widened by showfile
  }
  // Read on in small pieces, each of which would lose the rest of a packet; where strace can, with
  // the F_SETFL that makes reads wait refused, so that poll waits for the bytes.
  const std::string refused = !kSanitized && access(kStrace, X_OK) == 0
                                  ? R"("$2" -qq -o /dev/null -e inject=fcntl:error=EPERM:when=2 )"
                                  : "";
  const Outcome outcome =
      run({.args = {"-c", refused + R"("$0" "$1" | dd bs=512 status=none)", kShowfilePath, fifo,
                    kStrace},
           .program = "/bin/sh",
           .at_out = {header(fifo), shown_report(fifo, ""), shown_report(fifo, "f")},
           .then = [&] { EXPECT_EQ(write(told[1], "!", 1), 1); }});
  close(told[1]);
  int feeder_status = -1;
  waitpid(feeder, &feeder_status, 0);
  EXPECT_EQ(feeder_status, 0);
  EXPECT_EQ(outcome.out, shown_report(fifo, fed));
  expect_clean(outcome);
}

TEST(Showfile, ShowsEveryByteOnARawTerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {  // a chroot or build sandbox without devpts mounted
    GTEST_SKIP() << "no pseudo-terminals here: posix_openpt: " << std::strerror(errno);
  }
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string name = ptsname(master);
  const int terminal = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  // Its path shown into a pipe, opened as descriptor 0 by a session leader, whose terminal it must
  // not become (a ^C typed then would kill it): an end of file typed already ends the run at once;
  // with nobody typing, the pipe is free to read at once, and an end of file typed then ends it.
  const std::string report = shown_report(name, "");
  for (const bool typed_already : {true, false}) {
    EXPECT_EQ(typed_already ? write(master, "\x04", 1) : 1, 1);
    const Outcome idle = run({.args = {name},
                              .in = kClosed,
                              .nonblocking = true,
                              .in_child = [] { return alarm(kAlarmSeconds) == 0; },
                              .at_out = {typed_already ? "" : report},
                              .then = [&] { EXPECT_EQ(write(master, "\x03\x04", 2), 2); }});
    EXPECT_EQ(idle.out, report);
    expect_clean(idle);
  }
  ASSERT_EQ(tcflush(master, TCIFLUSH), 0);  // the ^C the terminal echoed

  termios mode{};
  ASSERT_EQ(tcgetattr(terminal, &mode), 0);
  cfmakeraw(&mode);  // no carriage returns added, no bytes taken as signals
  // Read as a serial line often is: a read ends a tenth of a second after the last byte.
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 1;
  ASSERT_EQ(tcsetattr(terminal, TCSANOW, &mode), 0);
  ASSERT_EQ(write(master, "abc", 3), 3);
  const Outcome timed = run({.args = {name}, .in_child = [] { return alarm(kAlarmSeconds) == 0; }});
  EXPECT_EQ(timed.out, shown_report(name, "abc"));
  EXPECT_EQ(timed.pipe_size, kWidePipe);  // a device's size is unknown: it may not fit
  expect_clean(timed);
  // Shown on itself, a terminal is no output that would be read back.
  const Outcome itself = run({.args = {name}, .out = terminal, .capture = dup(master)});
  EXPECT_EQ(itself.out, shown_report(name, ""));
  expect_clean(itself);

  const TempDir dir;
  std::string contents;
  while (contents.size() < 2 * kStreamRead) {  // past the first read, for the kernel to send
    contents += every_byte_value();
  }
  spit(dir.path / "f", contents);
  // Non-blocking, and read slowly, so that it is full whenever the kernel sends: a run waits.
  std::string shown;
  const Outcome outcome = run({.args = {"f"},
                               .cwd = dir.path,
                               .out = open_or_fail(name, O_RDWR | O_NONBLOCK),
                               .capture = master,
                               .on_out =
                                   [&](const std::string_view bytes) {
                                     shown += bytes;
                                     poll(nullptr, 0, kSlowReaderMillis);
                                   },
                               .nonblocking = true});
  EXPECT_EQ(shown, shown_report("f", contents));
  expect_clean(outcome);
}

TEST(Showfile, ShowsAPrefixOfAGrowingFile) {
  const TempDir dir;
  const fs::path growing = dir.path / "growing";
  constexpr std::size_t kStartSize = 1 << 20;
  std::string start;
  for (int line = 0; start.size() < kStartSize; ++line) {
    start.append(std::to_string(line)).append("\n");
  }
  spit(growing, start);
  const pid_t appender = fork();
  if (appender == 0) {  // appends for a bounded time while the file is shown
    constexpr int kAppends = 2000;
    constexpr useconds_t kPause = 100;
    const int descriptor = open(growing.c_str(), O_WRONLY | O_APPEND);
    for (int line = 0; line < kAppends; ++line) {
      const std::string more = "more " + std::to_string(line) + '\n';
      if (write(descriptor, more.data(), more.size()) < 0) {
        _exit(1);
      }
      usleep(kPause);
    }
    _exit(0);
  }
  const Outcome outcome = run({.args = {growing}});
  waitpid(appender, nullptr, 0);
  const std::string banner = shown_report(growing, "");
  ASSERT_EQ(outcome.out.substr(0, banner.size()), banner);
  const std::string shown = outcome.out.substr(banner.size());
  EXPECT_GE(shown.size(), start.size());
  EXPECT_EQ(slurp(growing).substr(0, shown.size()), shown);
  expect_clean(outcome);
}

TEST(Showfile, ShowsAFileLargerThan4GiBThroughAPipe) {
  const TempDir dir;
  const fs::path big = dir.path / "big";
  const std::uintmax_t size = (std::uintmax_t{1} << 32) + kByteValues;
  const std::string tail = "past 4 GiB" + every_byte_value() + "the end.";
  make_sparse(big, size, tail);

  std::uintmax_t shown = 0;
  std::string last;
  const Outcome outcome = run({.args = {big}, .on_out = [&](const std::string_view bytes) {
                                 shown += bytes.size();
                                 last.append(bytes);
                                 if (last.size() > 2 * tail.size()) {
                                   last.erase(0, last.size() - tail.size());
                                 }
                               }});
  EXPECT_EQ(shown, shown_report(big, "").size() + size);
  EXPECT_EQ(last.substr(last.size() - tail.size()), tail);
  expect_clean(outcome);
}

TEST(Showfile, EndsWhenThePipeReaderGoesAway) {
  const TempDir dir;
  make_sparse(dir.path / "big", kLargeFile, "");
  std::array<int, 2> fds{-1, -1};
  ASSERT_EQ(pipe2(fds.data(), O_CLOEXEC), 0);
  const pid_t reader = fork();
  if (reader == 0) {  // reads a few bytes and goes away
    std::array<char, kFewBytes> few{};
    _exit(read(fds[0], few.data(), few.size()) > 0 ? 0 : 1);
  }
  close(fds[0]);
  const Outcome outcome = run({.args = {"big"}, .cwd = dir.path, .out = fds[1]});
  waitpid(reader, nullptr, 0);
  expect_clean(outcome);
}

TEST(Showfile, LeavesALargerPipeAsItIs) {
  std::array<int, 2> fds{-1, -1};
  ASSERT_EQ(pipe2(fds.data(), O_CLOEXEC), 0);
  const int larger = 2 << 20;
  // Past pipe-max-size only with CAP_SYS_RESOURCE, or as root with the limit raised for a moment.
  const fs::path limit = "/proc/sys/fs/pipe-max-size";
  const std::string was = slurp(limit);
  spit(limit, std::to_string(larger));
  const bool widened = fcntl(fds[1], F_SETPIPE_SZ, larger) >= larger;
  spit(limit, was);
  if (!widened) {
    close(fds[0]);
    close(fds[1]);
    GTEST_SKIP() << "a pipe above pipe-max-size needs root or CAP_SYS_RESOURCE";
  }
  const TempDir dir;
  const std::string contents(3 * std::size_t{kWidePipe}, 'p');  // more than the pipe holds
  spit(dir.path / "f", contents);
  const Outcome outcome = run({.args = {"f"}, .cwd = dir.path, .out = fds[1], .capture = fds[0]});
  expect_clean(outcome);
  EXPECT_EQ(outcome.out, shown_report("f", contents));
  EXPECT_EQ(outcome.pipe_size, larger);
}

// The calls in a strace log to the functions that `like` names, without their results, every
// string, or buffer shown by its address, as _.
std::vector<std::string> calls_in(const std::string &log, const std::vector<std::string> &like) {
  const auto name = [](const std::string &call) { return call.substr(0, call.find('(')); };
  const std::regex string(R"("([^"\\]|\\.)*"(\.\.\.)?|0x[0-9a-f]+)");
  const std::regex result(R"( += .*)");
  std::vector<std::string> calls;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (std::ranges::any_of(like,
                            [&](const std::string &call) { return name(call) == name(line); })) {
      calls.push_back(std::regex_replace(std::regex_replace(line, string, "_"), result, ""));
    }
  }
  return calls;
}

// Through strace: the answers the kernel gives rarely, and the calls the copy is built to make.
TEST(Showfile, AnswersWhatTheKernelRarelySays) {
  if (kSanitized || access(kStrace, X_OK) != 0) {  // the sanitizers make calls of their own
    GTEST_SKIP() << "needs strace, and a build without sanitizers";
  }
  const TempDir dir;
  const std::string small(kPageSize + 1, 's');  // past a page
  spit(dir.path / "s", small);                  // a name of one byte, as a header piece
  const std::string large(2 * kCopyBuffer + small.size(), 'l');  // more than two buffers
  spit(dir.path / "large", large);
  const std::string never_spliced = "inject=sendfile,splice:signal=SIGKILL";
  const std::string send = "sendfile(1, 3, NULL, 2147479552)";
  const std::string shown = shown_report("s", small);
  const std::string wait = "poll([{fd=1, events=POLLOUT}], 1, -1)";
  const auto read = [](const std::size_t size) {
    return "read(3, _, " + std::to_string(size) + ")";
  };
  const std::string again = "inject=writev:error=EAGAIN:when=1";
  struct Row {
    const char *name;
    std::vector<std::string> expressions;  // for strace -e
    std::string out;
    std::vector<std::string> calls{};  // of the functions named; reads of the file alone
    std::string file = "s";
    const char *sink = nullptr;  // standard output, a file or /dev/null, else a captured pipe
  };
  const std::vector<Row> rows{
      {"an output that says EAGAIN, waited for in poll each time",
       {"trace=poll,writev", again + "..3"},
       shown,
       {wait, wait, wait}},
      {"an interrupted wait", {again, "inject=poll:error=EINTR:when=1"}, shown},
      {"an interrupted write", {"inject=writev:error=EINTR:when=2"}, shown},
      {"a failed wait", {again, "inject=poll:error=ENOMEM:when=1"}, ""},
      {"a write that takes nothing", {"inject=writev:retval=0:when=1"}, ""},
      {"a banner that cannot be written, after which nothing is",
       {"inject=writev:error=EIO:when=2"},
       header("s")},
      {"two short writes", {"inject=writev:retval=1:when=1..2"}, shown.substr(2)},
      {"a line refused twice as too long", {"inject=writev:error=EMSGSIZE:when=1..3+2"}, shown},
      {"a message socket that refuses every size down to a byte, which ends the run",
       {"inject=writev:error=EMSGSIZE:when=1..5"},  // the header whole, then 10, 5, 2 and 1 bytes
       ""},
      {"an interrupted open", {"inject=openat:error=EINTR:when=3"}, shown},
      {"an input that cannot be made non-blocking",
       {"inject=fcntl:error=EPERM:when=1"},
       failure_report("s")},
      {"into a pipe, a file read and written through the buffer, its pages never left there, its "
       "first read as short as a device's, so that a slow file's banner leaves soon, and tried "
       "again when interrupted",
       {"trace=read", "inject=read:error=EINTR:when=1", never_spliced},
       shown_report("large", large),
       {read(kStreamRead), read(kStreamRead), read(kCopyBuffer), read(kCopyBuffer),
        read(kCopyBuffer)},
       "large"},
      {"into a device, a file sent to what the kernel takes for its end, which a read confirms, "
       "the kernel's copy waited for where the device says EAGAIN",
       {"trace=read,sendfile", "inject=sendfile:error=EAGAIN:when=1"},
       "",
       {read(kStreamRead), send, send, send, read(kCopyBuffer)},
       "large",
       "/dev/null"},
      {"into a file, read in order, a first read that aligns it, then whole buffers read and "
       "written, never the kernel's copy at a position others share",
       {"trace=read,fadvise64", never_spliced},
       shown_report("large", large),
       {"fadvise64(3, 0, 0, POSIX_FADV_SEQUENTIAL)",
        read(kCopyBuffer - shown_report("large", "").size()), read(kCopyBuffer), read(kCopyBuffer),
        read(kCopyBuffer)},
       "large",
       "out"},
      {"into a file, a pseudo-file's reads are 128 KiB long, never cut to align, and an "
       "interrupted "
       "one tried again",
       {"trace=read", "inject=read:error=EINTR:when=2"},
       shown_report("/proc/version", slurp("/proc/version")),
       {read(kStreamRead), read(kStreamRead), read(kStreamRead)},
       "/proc/version",
       "out"},
      {"a device given as input, read 128 KiB at a time, which it may fill before it returns",
       {"trace=read", "inject=read:retval=0:when=2", never_spliced},
       "",
       {read(kStreamRead), read(kStreamRead)},  // the second made the end
       "/dev/zero",
       "/dev/null"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const bool reads = row.expressions[0].starts_with("trace=read");
    std::vector<std::string> args{"-qq", "-o", dir.path / "log"};
    for (const std::string &expression : row.expressions) {
      args.insert(args.end(), {"-e", expression});
    }
    if (reads) {  // of the shown file alone, not of the libraries' start
      args.insert(args.end(), {"-P", dir.path / row.file});
    }
    args.insert(args.end(), {kShowfilePath, row.file});
    // Longer than the header, so that where the banner starts is not the file's end.
    spit(dir.path / "out", std::string(header(row.file).size() + 1, 'o'));
    const fs::path sink = dir.path / (row.sink == nullptr ? "" : row.sink);
    const Outcome outcome =
        run({.args = args,
             .cwd = dir.path,
             .out = row.sink != nullptr ? open_or_fail(sink, O_WRONLY) : kCapture,
             .program = kStrace});
    expect_clean(outcome);
    EXPECT_EQ(row.sink != nullptr ? slurp(sink) : outcome.out, row.out);
    EXPECT_EQ(calls_in(slurp(dir.path / "log"), row.calls), row.calls);
  }
}

TEST(Showfile, KeepsMemoryFlat) {
  enum class Sink { kFile, kAppend, kPipe };
  const TempDir dir;
  make_sparse(dir.path / "big", kLargeFile, "");
  spit(dir.path / "small", std::string(4 * std::size_t{kWidePipe}, 's'));  // fills any buffer
  const auto peak_kib = [&](const char *input, const Sink sink) {
    Launch launch{.args = {input}, .cwd = dir.path, .on_out = [](std::string_view) {}};
    if (sink != Sink::kPipe) {
      const fs::path out = dir.path / "out";
      spit(out, "");
      launch.out = open_or_fail(out, O_WRONLY | (sink == Sink::kAppend ? O_APPEND : 0));
    }
    const Outcome outcome = run(launch);
    expect_clean(outcome);
    return outcome.usage.ru_maxrss;
  };
  constexpr long kSlackKib = 1024;
  for (const auto &[name, sink] :
       {std::pair{"file", Sink::kFile}, std::pair{"append-mode file", Sink::kAppend},
        std::pair{"pipe", Sink::kPipe}}) {
    SCOPED_TRACE(name);
    EXPECT_LE(peak_kib("big", sink), peak_kib("small", sink) + kSlackKib);
  }
}

}  // namespace
