// The bar on a real pseudo-terminal: a child process runs it with standard
// error (and in some cases standard output) on a pty, and every byte that
// reaches the terminal is compared.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frame_text.hpp"

namespace rowmerge::progress {
namespace {

using namespace testing;

// An owned descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Pty {
  Fd master;
  Fd slave;
};

Pty open_pty(std::optional<winsize> size = std::nullopt) {
  Pty p;
  p.master = Fd(::posix_openpt(O_RDWR | O_NOCTTY));
  if (p.master.get() < 0 || ::grantpt(p.master.get()) != 0 || ::unlockpt(p.master.get()) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return p;
  }
  p.slave = Fd(::open(::ptsname(p.master.get()), O_RDWR | O_NOCTTY));
  // Bytes go through unchanged.
  termios t{};
  ::tcgetattr(p.slave.get(), &t);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  ::tcsetattr(p.slave.get(), TCSANOW, &t);
  if (size) ::ioctl(p.master.get(), TIOCSWINSZ, &*size);
  return p;
}

// Reads until the other side is gone (EIO on a pty master, EOF on a pipe).
std::string drain(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return out;
    }
  }
}

struct Child {
  std::vector<std::string> args;                 // after the program
  std::vector<std::string> env{"TERM=xterm"};    // the whole environment
  int stdout_fd = -1;                            // -1: /dev/null
  int stderr_fd = -1;
};

// Runs progress_child with the given descriptors and returns its exit code.
int run_child(const Child& c) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(c.stdout_fd >= 0 ? c.stdout_fd : null, 1);
    ::dup2(c.stderr_fd >= 0 ? c.stderr_fd : null, 2);
    // Under an emulator (cross-built tests) the child is started through it.
    const char* launcher = PROGRESS_CHILD_LAUNCHER;
    std::vector<char*> argv;
    if (launcher[0] != '\0') argv.push_back(const_cast<char*>(launcher));
    argv.push_back(const_cast<char*>(PROGRESS_CHILD));
    for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : c.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the child with standard error on a fresh pty and returns what the
// terminal received.  The pty holds far more than these few frames, so the
// child never blocks before the parent reads.
std::string on_pty(Child c, std::optional<winsize> size = std::nullopt, int expected_exit = 0) {
  Pty err = open_pty(size);
  c.stderr_fd = err.slave.get();
  EXPECT_EQ(run_child(c), expected_exit);
  err.slave.reset();
  return drain(err.master.get());
}

const std::string kPad16(16, ' ');

TEST(RealTerminal, OneRowThenTheFinalFrame) {
  const std::string got = on_pty(Child{.args = {"1"}});
  EXPECT_EQ(got, plain_line("\u2801", "00:00:00", 40, "1/1", "0s") + kPad16 + kErase +
                     plain_line(" ", "00:00:00", 40, "1/1", "0s") + kPad16);
}

TEST(RealTerminal, NoRowsWritesOnlyTheFinalFrame) {
  EXPECT_EQ(on_pty(Child{.args = {"0"}}), plain_line(" ", "00:00:00", 40, "0/0", "0s") + kPad16);
}

TEST(RealTerminal, TheTerminalSizeComesFromTheTerminal) {
  const winsize narrow{.ws_row = 10, .ws_col = 50, .ws_xpixel = 0, .ws_ypixel = 0};
  const std::string line = plain_line(" ", "00:00:00", 40, "100/100", "0s");  // 68 columns
  EXPECT_TRUE(on_pty(Child{.args = {"100"}}, narrow).ends_with("\x1b[1A\r\x1b[2K\x1b[1B\r\x1b[2K\x1b[1A" + line +
                                                                 std::string(32, ' ')));
}

TEST(RealTerminal, ColourFollowsStandardOutput) {
  const std::string full = "\x1b[36m" + repeat("\u2588", 40) + "\x1b[34m\x1b[0m\x1b[0m";
  const std::string coloured = "\x1b[32m \x1b[0m [00:00:00] [" + full + "] 0/0 (0s)" + kPad16;
  {
    Pty out = open_pty();
    EXPECT_EQ(on_pty(Child{.args = {"0"}, .stdout_fd = out.slave.get()}), coloured);
  }
  {
    Pty out = open_pty();
    EXPECT_EQ(on_pty(Child{.args = {"0"}, .env = {"TERM=xterm", "CLICOLOR=0"}, .stdout_fd = out.slave.get()}),
              plain_line(" ", "00:00:00", 40, "0/0", "0s") + kPad16);
  }
  EXPECT_EQ(on_pty(Child{.args = {"0"}, .env = {"TERM=xterm", "CLICOLOR_FORCE=1"}}), coloured);
}

TEST(RealTerminal, AFailureUnwindingPastTheBarLeavesItsLastFrame) {
  const std::string got = on_pty(Child{.args = {"2", "unwind"}}, std::nullopt, 3);
  EXPECT_EQ(got, plain_line("\u2801", "00:00:00", 20, "1/2", "0s") + kPad16 + kErase +
                     plain_line("\u2809", "00:00:00", 40, "2/2", "0s") + kPad16);
}

TEST(RealTerminal, NothingIsWrittenWhenTheBarMustStayHidden) {
  // A terminal that the environment rules out.
  for (const std::vector<std::string>& env : std::vector<std::vector<std::string>>{
           {"TERM=xterm", "NO_COLOR="}, {"TERM=xterm", "NO_COLOR=1"}, {}, {"TERM=dumb"}}) {
    EXPECT_EQ(on_pty(Child{.args = {"3"}, .env = env}), "") << (env.empty() ? "TERM unset" : env.back());
  }
  // Standard error a pipe, or a file; standard output a terminal changes
  // nothing about that.
  {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Fd read_end(p[0]), write_end(p[1]);
    Pty out = open_pty();
    EXPECT_EQ(run_child(Child{.args = {"3"}, .stdout_fd = out.slave.get(), .stderr_fd = write_end.get()}), 0);
    write_end.reset();
    EXPECT_EQ(drain(read_end.get()), "");
  }
  {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(run_child(Child{.args = {"3"}, .stderr_fd = ::fileno(file)}), 0);
    EXPECT_EQ(std::ftell(file), 0);
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(std::ftell(file), 0) << "the file stays empty";
    std::fclose(file);
  }
}

}  // namespace
}  // namespace rowmerge::progress
