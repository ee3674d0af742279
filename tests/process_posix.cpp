// Running korvat, or a piece of the library, in a child process on POSIX.
#include <grp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <stdexcept>

#include "tests/harness.h"

namespace korvat::test {
namespace {

int execKorvat(const std::vector<std::string>& args, const Limits& limits) {
  std::vector<char*> argv;
  for (const std::string& arg : limits.wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(KORVAT_BINARY));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (limits.ignoredSignal != 0) std::signal(limits.ignoredSignal, SIG_IGN);
  if (limits.closedStdio) close(STDIN_FILENO), close(STDOUT_FILENO);
  execvp(argv[0], argv.data());
  return 127;
}

// Starts `body` in a child whose standard output is a pipe or, raw (no "\n"
// to "\r\n"), a pseudo-terminal. Returns our end of it.
int startChild(const TempDir& dir, const std::function<int()>& body, Limits limits, pid_t& child) {
  int ours = -1, theirs = -1;
  termios raw{};
  cfmakeraw(&raw);
  const bool made = limits.terminal ? openpty(&ours, &theirs, nullptr, &raw, nullptr) == 0 : [&] {
    int ends[2];
    if (pipe(ends) != 0) return false;
    ours = ends[0], theirs = ends[1];
    return true;
  }();
  if (!made) throw std::runtime_error("no pipe or pseudo-terminal");
  std::fflush(stdout);
  child = fork();
  if (child != 0) {
    close(theirs);
    return ours;
  }
  dup2(theirs, STDOUT_FILENO);
  close(theirs);
  close(ours);
  if (chdir(dir.dir().c_str()) != 0) _exit(126);
  if (limits.fileSize != 0) limitFileSize(limits.fileSize);
  if (limits.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(125);
  }
  const int status = body();
  std::fflush(stdout);
  _exit(status);
}

}  // namespace

void limitFileSize(std::uint64_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

namespace {

enum class Watch { On, Off, StopReading };

// Reads the child's output to its end (a pseudo-terminal says EIO there) and
// waits for it. `onOutput` sees the output after every read until it says Off.
Outcome collect(pid_t child, int from, const std::function<Watch(const std::string&)>& onOutput) {
  Outcome outcome;
  Watch watch = onOutput ? Watch::On : Watch::Off;
  char chunk[65536];
  for (ssize_t n; watch != Watch::StopReading && (n = read(from, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    outcome.out.append(chunk, static_cast<std::size_t>(n));
    if (watch == Watch::On) watch = onOutput(outcome.out);
  }
  close(from);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

}  // namespace

Outcome runInChild(const TempDir& dir, const std::function<int()>& body, Limits limits) {
  pid_t child;
  const int from = startChild(dir, body, limits, child);
  return collect(child, from, nullptr);
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits) {
  return runInChild(dir, [&] { return execKorvat(args, limits); }, limits);
}

namespace {
Outcome runKorvatAndWatch(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                          const std::function<Watch(pid_t)>& atMarker, const Limits& limits) {
  pid_t child;
  const int from = startChild(dir, [&] { return execKorvat(args, limits); }, limits, child);
  return collect(child, from, [&](const std::string& out) {
    return out.find(marker) == std::string::npos ? Watch::On : atMarker(child);
  });
}
}  // namespace

Outcome runKorvatAndSignal(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                           int signal, Limits limits) {
  return runKorvatAndWatch(
      dir, args, marker,
      [signal](pid_t child) {
        if (signal == 0) return Watch::StopReading;
        kill(child, signal);
        return Watch::Off;
      },
      limits);
}

Outcome runKorvatAndAct(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                        const std::function<void()>& act) {
  return runKorvatAndWatch(
      dir, args, marker,
      [&act](pid_t) {
        act();
        return Watch::Off;
      },
      {});
}

}  // namespace korvat::test
