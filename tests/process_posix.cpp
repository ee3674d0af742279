// Running korvat, or a piece of the library, in a child process on POSIX.
#include <fcntl.h>
#include <grp.h>
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

int execKorvat(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(KORVAT_BINARY)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(KORVAT_BINARY, argv.data());
  return 127;
}

// Reads the child's output to its end and waits for it. `onOutput`, while
// set, sees the output so far after every read and is dropped once it
// returns true.
Outcome collect(pid_t child, int from, const std::function<bool(const std::string&)>* onOutput) {
  Outcome outcome;
  char chunk[65536];
  // A pseudo-terminal reports EIO once the child has closed it.
  for (ssize_t n; (n = read(from, chunk, sizeof chunk)) != 0;) {
    if (n > 0) {
      outcome.out.append(chunk, static_cast<std::size_t>(n));
      if (onOutput && (*onOutput)(outcome.out)) onOutput = nullptr;
    } else if (errno != EINTR) {
      break;
    }
  }
  close(from);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

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
    if (limits.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(125);
    }
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  if (channel.childEnd >= 0) close(channel.childEnd);
  return collect(child, channel.parentEnd, nullptr);
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits) {
  return runInChild(dir, [&args] { return execKorvat(args); }, limits);
}

Outcome runKorvatAndSignal(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                           int signal) {
  std::fflush(stdout);
  OutputChannel channel(false);
  const pid_t child = fork();
  if (child == 0) {
    channel.attachStdout();
    if (chdir(dir.dir().c_str()) != 0) _exit(126);
    _exit(execKorvat(args));
  }
  close(channel.childEnd);
  const std::function<bool(const std::string&)> signalOnMarker = [&](const std::string& out) {
    if (out.find(marker) == std::string::npos) return false;
    kill(child, signal);
    return true;
  };
  return collect(child, channel.parentEnd, &signalOnMarker);
}

}  // namespace korvat::test
