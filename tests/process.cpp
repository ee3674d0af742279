// Runs korvat in a child process (POSIX).
#include "tests/harness.h"

#include <grp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

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

[[noreturn]] void execKorvat(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup) {
  if (chdir(dir.dir().c_str()) != 0) _exit(126);
  if (setup.fileSizeLimit != 0) {
    // SIGXFSZ keeps its default, which ends the process: korvat must ignore it itself.
    std::signal(SIGXFSZ, SIG_DFL);
    const rlimit limit{setup.fileSizeLimit, setup.fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (setup.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(125);
  }
  if (setup.ignoredSignal != 0) std::signal(setup.ignoredSignal, SIG_IGN);
  if (setup.closedStdio) close(STDIN_FILENO), close(STDOUT_FILENO);
  // LeakSanitizer cannot watch a process that strace traces.
  if (!setup.wrapper.empty()) setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  std::vector<char*> argv;
  for (const std::string& arg : setup.wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(KORVAT_BINARY));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

}  // namespace

Outcome runChild(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup,
                 const std::string& marker, const AtMarker& atMarker) {
  int ours = -1, theirs = -1;
  openOutput(setup.onTerminal, ours, theirs);
  std::FILE* errors = std::tmpfile();  // standard error, read once the child is gone
  if (!errors) throw std::runtime_error("no file for standard error");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(fileno(errors), STDERR_FILENO);
    dup2(theirs, STDOUT_FILENO);
    close(theirs);
    close(ours);
    execKorvat(dir, args, setup);
  }
  close(theirs);
  // Read to the end (a pseudo-terminal says EIO there), watching for the marker.
  Outcome outcome;
  bool watching = atMarker != nullptr;
  char chunk[65536];
  for (ssize_t n; (n = read(ours, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    outcome.out.append(chunk, static_cast<std::size_t>(n));
    if (watching && outcome.out.find(marker) != std::string::npos) {
      watching = false;
      if (!atMarker(child)) break;
    }
  }
  close(ours);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::rewind(errors);
  for (int c; (c = std::fgetc(errors)) != EOF;) outcome.err += static_cast<char>(c);
  std::fclose(errors);
  return outcome;
}

bool hasStrace() {
  static const bool found = std::system("strace -V >/dev/null 2>&1") == 0;
  return found;
}

std::vector<std::string> injecting(const std::string& path, const std::string& fault) {
  const std::string call = fault.substr(0, fault.find(':'));
  std::vector<std::string> wrapper = {"strace", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=" + fault};
  if (!path.empty()) wrapper.insert(wrapper.begin() + 3, {"-P", path});
  return wrapper;
}

}  // namespace korvat::test
