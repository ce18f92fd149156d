// Black-box tests: each case runs the built showfile in a child process with real files, pipes
// and descriptors, and compares the bytes it leaves behind exactly.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "showfile_path.h"

namespace {

namespace fs = std::filesystem;

const std::string kBanner = "File has been accessed and the contents are displayed on console:\n\n";
const std::string kFailure = "Unable to access file.\n";

std::string header(const std::string &path) { return "Filename: " + path + " \n"; }

std::string slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
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
};

constexpr int kCapture = -1;  // standard output is a pipe read back into Outcome::out
constexpr int kClosed = -2;   // the child starts with standard output closed

struct Launch {
  std::vector<std::string> args;  // after the program name
  fs::path cwd = ".";
  int out = kCapture;  // else a descriptor the child gets as standard output; closed here after
  int in = -1;         // likewise for standard input; /dev/null when none is given
  std::function<void(std::string_view)>
      on_out{};  // takes the captured output instead of Outcome::out
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
  rusage usage{};
  bool exited_zero() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Reads the child's standard output (when captured) and standard error until both close; a child
// silent for a minute is killed, so that a hang fails instead of stalling the suite.
void drain(const pid_t child, std::array<pollfd, 2> fds, const Launch &launch, Outcome &outcome) {
  std::vector<char> buffer(1 << 16);
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const int ready = poll(fds.data(), fds.size(), 60'000);
    if (ready == 0) {
      ADD_FAILURE() << "showfile hung";
      kill(child, SIGKILL);
    }
    if (ready <= 0) {
      continue;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      const ssize_t got = read(fds[i].fd, buffer.data(), buffer.size());
      if (got > 0) {
        const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
        if (i == 1) {
          outcome.err += bytes;
        } else if (launch.on_out) {
          launch.on_out(bytes);
        } else {
          outcome.out += bytes;
        }
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
}

Outcome run(const Launch &launch) {
  std::array<int, 2> out_pipe{-1, -1};
  std::array<int, 2> err_pipe{-1, -1};
  if ((launch.out == kCapture && pipe2(out_pipe.data(), O_CLOEXEC) != 0) ||
      pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  std::vector<std::string> args{kShowfilePath};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int in = launch.in >= 0 ? launch.in : open("/dev/null", O_RDONLY);
    const int out = launch.out == kCapture ? out_pipe[1] : launch.out;
    if (dup2(in, STDIN_FILENO) < 0 || dup2(err_pipe[1], STDERR_FILENO) < 0 ||
        (out == kClosed ? close(STDOUT_FILENO) : dup2(out, STDOUT_FILENO)) < 0 ||
        close_range(3, ~0U, 0) != 0 || chdir(launch.cwd.c_str()) != 0) {
      _exit(127);
    }
    std::signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (const int fd : {launch.in, launch.out, out_pipe[1], err_pipe[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  Outcome outcome;
  drain(child, {pollfd{out_pipe[0], POLLIN, 0}, pollfd{err_pipe[0], POLLIN, 0}}, launch, outcome);
  wait4(child, &outcome.status, 0, &outcome.usage);
  return outcome;
}

// A file of `size` bytes that takes no disk space: zeros, then `tail` as its last bytes.
void make_sparse(const fs::path &path, const std::uintmax_t size, const std::string &tail) {
  spit(path, "");
  fs::resize_file(path, size - tail.size());
  std::ofstream(path, std::ios::binary | std::ios::app) << tail;
}

int open_or_fail(const fs::path &path, const int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0) << path;
  return fd;
}

TEST(Showfile, ShowsTheFileExactly) {
  std::string every_byte{'\0', '\xff'};
  for (int value = 0; value < 256; ++value) {
    every_byte += static_cast<char>(value);
  }
  every_byte += std::string{'\xff', '\0'};

  struct Row {
    const char *name;
    std::string file;
    std::string contents;
    std::vector<std::string> extra_args;
  };
  const std::vector<Row> rows{
      {"three bytes", "f", "ab\n", {}},
      {"empty", "f", "", {}},
      {"no final line feed", "f", "a\nb", {}},
      {"every byte value", "f", every_byte, {}},
      {"named -", "-", "dash\n", {}},
      {"starts with -", "--help", "not an option\n", {}},
      {"conversions in the name", "%s%n%d", "percent\n", {}},
      {"line feed and non-UTF-8 in the name", "a\nb\xff\xfe", "odd\n", {}},
      {"extra arguments ignored", "f", "first\n", {"g", "--version", ""}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    spit(dir.path / row.file, row.contents);
    std::vector<std::string> args{row.file};
    args.insert(args.end(), row.extra_args.begin(), row.extra_args.end());
    const Outcome outcome = run({.args = args, .cwd = dir.path});
    EXPECT_EQ(outcome.out, header(row.file) + kBanner + row.contents);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(outcome.exited_zero());
  }
}

TEST(Showfile, ReportsWhatCannotBeShown) {
  struct Row {
    const char *name;
    std::vector<std::string> args;
  };
  const std::vector<Row> rows{
      {"missing file", {"missing"}}, {"empty path", {""}},
      {"no argument", {}},           {"directory", {"."}},
      {"root directory", {"/"}},     {"regular file used as a directory", {"file/x"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    spit(dir.path / "file", "contents\n");
    const Outcome outcome = run({.args = row.args, .cwd = dir.path});
    EXPECT_EQ(outcome.out, header(row.args.empty() ? "" : row.args[0]) + kFailure);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(outcome.exited_zero());
  }
}

TEST(Showfile, WritesOnlyWhereStandardOutputGoes) {
  enum class Sink { kAppendToOther, kOutputClosed, kAppendToItself, kCaptureWithStdinPipe };
  struct Row {
    const char *name;
    Sink sink;
  };
  const std::vector<Row> rows{
      {"appended to another file", Sink::kAppendToOther},
      {"standard output closed", Sink::kOutputClosed},
      {"appended to the shown file", Sink::kAppendToItself},
      {"standard input left unread", Sink::kCaptureWithStdinPipe},
  };
  const std::string contents(200'000, 'x');  // larger than any stdio buffer
  const std::string before = "kept\n";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    const fs::path shown = dir.path / "shown";
    const fs::path other = dir.path / "other";
    spit(shown, contents);
    spit(other, before);
    Launch launch{.args = {shown}};
    std::array<int, 2> stdin_pipe{-1, -1};
    switch (row.sink) {
      case Sink::kAppendToOther:
        launch.out = open_or_fail(other, O_WRONLY | O_APPEND);
        break;
      case Sink::kOutputClosed:
        launch.out = kClosed;
        break;
      case Sink::kAppendToItself:
        launch.out = open_or_fail(shown, O_WRONLY | O_APPEND);
        break;
      case Sink::kCaptureWithStdinPipe:
        ASSERT_EQ(pipe2(stdin_pipe.data(), O_CLOEXEC | O_NONBLOCK), 0);
        ASSERT_EQ(write(stdin_pipe[1], "unread", 6), 6);
        launch.in = dup(stdin_pipe[0]);
        break;
    }
    const Outcome outcome = run(launch);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(outcome.exited_zero());

    const std::string shown_report = header(shown) + kBanner + contents;
    switch (row.sink) {
      case Sink::kAppendToOther:
        EXPECT_EQ(slurp(other), before + shown_report);
        EXPECT_EQ(slurp(shown), contents);
        break;
      case Sink::kOutputClosed:
        EXPECT_EQ(slurp(shown), contents);
        break;
      case Sink::kAppendToItself:
        EXPECT_EQ(slurp(shown), contents + header(shown) + kFailure);
        break;
      case Sink::kCaptureWithStdinPipe: {
        EXPECT_EQ(outcome.out, shown_report);
        std::array<char, 16> left{};
        EXPECT_EQ(read(stdin_pipe[0], left.data(), left.size()), 6);
        EXPECT_EQ(std::string_view(left.data(), 6), "unread");
        close(stdin_pipe[0]);
        close(stdin_pipe[1]);
        break;
      }
    }
  }
}

TEST(Showfile, ShowsInputsTheKernelWillNotCopy) {
  const std::string proc = slurp("/proc/version");
  const Outcome from_proc = run({.args = {"/proc/version"}});
  EXPECT_EQ(from_proc.out, header("/proc/version") + kBanner + proc);

  const TempDir dir;
  const fs::path fifo = dir.path / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string fed(300'000, 'f');
  const pid_t feeder = fork();
  if (feeder == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    _exit(fd >= 0 && write(fd, fed.data(), fed.size()) == static_cast<ssize_t>(fed.size()) ? 0 : 1);
  }
  const Outcome from_fifo = run({.args = {fifo}});
  int feeder_status = -1;
  waitpid(feeder, &feeder_status, 0);
  EXPECT_EQ(feeder_status, 0);
  EXPECT_EQ(from_fifo.out, header(fifo) + kBanner + fed);
}

TEST(Showfile, ShowsAFileLargerThan4GiBThroughAPipe) {
  const TempDir dir;
  const fs::path big = dir.path / "big";
  const std::uintmax_t size = (std::uintmax_t{1} << 32) + 4096;
  const std::string tail = std::string("past 4 GiB") + std::string(4000, '\0') + "the end.";
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
  EXPECT_EQ(shown, header(big).size() + kBanner.size() + size);
  EXPECT_EQ(last.substr(last.size() - tail.size()), tail);
  EXPECT_TRUE(outcome.exited_zero());
}

TEST(Showfile, LeavesALargerPipeAsItIs) {
  std::array<int, 2> fds{-1, -1};
  ASSERT_EQ(pipe2(fds.data(), O_CLOEXEC), 0);
  const int larger = 2 << 20;
  if (fcntl(fds[1], F_SETPIPE_SZ, larger) < larger) {
    close(fds[0]);
    close(fds[1]);
    GTEST_SKIP() << "this user cannot raise a pipe above 1 MiB";
  }
  const TempDir dir;
  const std::string contents(3 << 19, 'p');  // above 1 MiB, so the pipe would be widened
  spit(dir.path / "f", contents);
  const Outcome outcome = run({.args = {"f"}, .cwd = dir.path, .out = fds[1]});
  EXPECT_TRUE(outcome.exited_zero());
  EXPECT_EQ(fcntl(fds[0], F_GETPIPE_SZ), larger);
  std::string out(header("f").size() + kBanner.size() + contents.size() + 1, '\0');
  EXPECT_EQ(read(fds[0], out.data(), out.size()), static_cast<ssize_t>(out.size() - 1));
  close(fds[0]);
}

TEST(Showfile, KeepsMemoryFlat) {
  enum class Sink { kFile, kAppend, kPipe };
  const TempDir dir;
  make_sparse(dir.path / "big", std::uintmax_t{256} << 20, "");
  spit(dir.path / "small", "s");
  const auto peak_kib = [&](const char *input, const Sink sink) {
    const fs::path out = dir.path / "out";
    spit(out, "");
    Launch launch{.args = {input}, .cwd = dir.path, .on_out = [](std::string_view) {}};
    if (sink != Sink::kPipe) {
      launch.out = open_or_fail(out, O_WRONLY | (sink == Sink::kAppend ? O_APPEND : 0));
    }
    const Outcome outcome = run(launch);
    EXPECT_TRUE(outcome.exited_zero());
    return outcome.usage.ru_maxrss;
  };
  for (const auto &[name, sink] :
       {std::pair{"file", Sink::kFile}, std::pair{"append-mode file", Sink::kAppend},
        std::pair{"pipe", Sink::kPipe}}) {
    SCOPED_TRACE(name);
    EXPECT_LE(peak_kib("big", sink), peak_kib("small", sink) + 1024);
  }
}

}  // namespace
