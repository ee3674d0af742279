// Running korvat, or a piece of the library, in a child process on POSIX.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/harness.h"

namespace korvat::test {
namespace {

// The two ends of what the child writes to: a pipe, or a raw pseudo-terminal
// (no "\n" to "\r\n"), so that the bytes read are the bytes written.
struct OutputChannel {
  int parentEnd = -1;
  int childEnd = -1;
  std::string terminalName;

  explicit OutputChannel(bool terminal) {
    if (!terminal) {
      int ends[2];
      if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
      parentEnd = ends[0];
      childEnd = ends[1];
      return;
    }
    parentEnd = posix_openpt(O_RDWR | O_NOCTTY);
    if (parentEnd < 0 || grantpt(parentEnd) != 0 || unlockpt(parentEnd) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    terminalName = ptsname(parentEnd);
  }

  // In the child: standard output goes to the channel.
  void attachStdout() {
    if (!terminalName.empty()) {
      childEnd = open(terminalName.c_str(), O_WRONLY | O_NOCTTY);
      termios mode{};
      tcgetattr(childEnd, &mode);
      cfmakeraw(&mode);
      tcsetattr(childEnd, TCSANOW, &mode);
    }
    dup2(childEnd, STDOUT_FILENO);
    close(childEnd);
    close(parentEnd);
  }
};

}  // namespace

Outcome runInChild(const TempDir& dir, const std::function<int()>& body, Limits limits) {
  std::fflush(stdout);
  OutputChannel channel(limits.terminal);
  const pid_t child = fork();
  if (child == 0) {
    channel.attachStdout();
    if (chdir(dir.dir().c_str()) != 0) _exit(126);
    if (limits.fileSize != 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{limits.fileSize, limits.fileSize};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  if (channel.childEnd >= 0) close(channel.childEnd);
  Outcome outcome;
  char chunk[65536];
  // A pseudo-terminal reports EIO once the child has closed it.
  for (ssize_t n; (n = read(channel.parentEnd, chunk, sizeof chunk)) != 0;) {
    if (n > 0) outcome.out.append(chunk, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  close(channel.parentEnd);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits) {
  return runInChild(
      dir,
      [&args] {
        std::vector<char*> argv{const_cast<char*>(KORVAT_BINARY)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KORVAT_BINARY, argv.data());
        return 127;
      },
      limits);
}

}  // namespace korvat::test
