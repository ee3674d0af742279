// Runs korvat in a child process (POSIX).
#include "tests/harness.h"

#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace korvat::test {
namespace {

// Our end of a pipe or, raw (no "\n" to "\r\n"), a pseudo-terminal.
void openOutput(bool terminal, int& ours, int& theirs) {
  termios raw{};
  cfmakeraw(&raw);
  int ends[2];
  const bool made = terminal ? openpty(&ours, &theirs, nullptr, &raw, nullptr) == 0 : pipe(ends) == 0;
  if (!made) throw std::runtime_error("no pipe or pseudo-terminal");
  if (!terminal) ours = ends[0], theirs = ends[1];
}

bool lowerLimit(int resource, rlim_t most) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) return false;
  limit.rlim_cur = std::min(most, limit.rlim_max);
  return setrlimit(resource, &limit) == 0;
}

[[noreturn]] void execKorvat(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup) {
  if (chdir(dir.dir().c_str()) != 0) _exit(126);
  // SIGXFSZ keeps its default, which ends the process: korvat must ignore it itself.
  std::signal(SIGXFSZ, SIG_DFL);
  // The time limit holds even for a korvat whose wrapper, or this process, is gone.
  if (!lowerLimit(RLIMIT_FSIZE, setup.fileSizeLimit != 0 ? setup.fileSizeLimit : kFileLimit) ||
      !lowerLimit(RLIMIT_CPU, kRunSeconds)) {
    _exit(124);
  }
  if (setup.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(125);
  }
  // A test run from a background job or nohup has some ignored or blocked: korvat starts as a console's would.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXCPU}) std::signal(signal, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (setup.ignoredSignal != 0) std::signal(setup.ignoredSignal, SIG_IGN);
  // LeakSanitizer cannot watch a process that strace traces.
  if (!setup.wrapper.empty()) setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  std::vector<char*> argv;
  for (const std::string& arg : setup.wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(KORVAT_BINARY));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // korvat ends with the test, even one that is killed
  execvp(argv[0], argv.data());
  _exit(127);
}

}  // namespace

Outcome runChild(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup,
                 const std::string& marker, const AtMarker& atMarker) {
  int ours = -1, theirs = -1, errors[2];
  openOutput(setup.onTerminal, ours, theirs);
  if (pipe(errors) != 0) throw std::runtime_error("no pipe for standard error");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);  // a group of its own, so that a wrapper and korvat are stopped together
    dup2(errors[1], STDERR_FILENO);
    dup2(theirs, STDOUT_FILENO);
    for (const int fd : {theirs, ours, errors[0], errors[1]}) close(fd);
    execKorvat(dir, args, setup);
  }
  close(theirs);
  close(errors[1]);
  if (setup.started) setup.started(child);
  // Read both to their ends (a pseudo-terminal says EIO there), watching the
  // output for the marker, until korvat has printed or taken too much.
  Outcome outcome;
  bool watching = atMarker != nullptr;
  std::string overrun;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunSeconds);
  pollfd streams[2] = {{ours, POLLIN, 0}, {errors[0], POLLIN, 0}};
  std::string* texts[2] = {&outcome.out, &outcome.err};
  while ((streams[0].fd >= 0 || streams[1].fd >= 0) && overrun.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = left.count() > 0 ? poll(streams, 2, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) overrun = "korvat ran for more than " + std::to_string(kRunSeconds) + " s";
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t n = read(streams[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      bool goOn = n > 0;
      if (goOn) texts[i]->append(chunk, static_cast<std::size_t>(n));
      if (goOn && i == 0 && watching && outcome.out.find(marker) != std::string::npos) {
        watching = false;
        goOn = atMarker(child);
      }
      if (!goOn) close(streams[i].fd), streams[i].fd = -1;
      if (texts[i]->size() > kConsoleLimit) {
        overrun = "korvat printed more than " + std::to_string(kConsoleLimit >> 20) + " MiB";
      }
    }
  }
  for (const pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  // korvat may close its output and go on; it is stopped at the deadline too.
  int status = 0;
  while (overrun.empty()) {
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended == -1 && errno != EINTR) throw std::runtime_error("korvat's end was lost");
    if (std::chrono::steady_clock::now() > deadline)
      overrun = "korvat ran for more than " + std::to_string(kRunSeconds) + " s";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!overrun.empty()) {
    kill(-child, SIGKILL);  // korvat and any wrapper
    waitpid(child, &status, 0);
    abandonTest(overrun);
  }
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

bool hasStrace() {
  static const bool found = std::system("strace -V >/dev/null 2>&1") == 0;
  return found;
}

std::vector<std::string> injecting(const std::string& path, const std::string& fault) {
  const std::string call = fault.substr(0, fault.find(':'));
  // -f: korvat reads files on a second thread too.
  std::vector<std::string> wrapper = {"strace", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=" + fault, "-f"};
  if (!path.empty()) wrapper.insert(wrapper.begin() + 3, {"-P", path});
  wrapper.insert(wrapper.end(), {"setpriv", "--pdeathsig", "KILL"});  // a tracee outlives strace
  return wrapper;
}

std::vector<std::string> withStdioClosed(const std::string& trace) {
  std::vector<std::string> wrapper = {"sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"};
  if (hasStrace()) {
    wrapper.insert(wrapper.begin(),
                   {"strace", "-f", "-o", trace, "-e", "trace=openat", "setpriv", "--pdeathsig", "KILL"});
  }
  return wrapper;
}

}  // namespace korvat::test
