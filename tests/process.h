// The real korvat binary in a child process, for what a run in this process
// cannot give it (POSIX only): signals, a pseudo-terminal, file-size limits,
// another user, closed standard descriptors, faults injected by strace.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace korvat::test {

struct ChildSetup {
  std::uint64_t fileSizeLimit = 0;        // RLIMIT_FSIZE; 0 = none
  bool onTerminal = false;                // standard output on a pseudo-terminal, not a pipe
  bool unprivileged = false;              // as user and group 65534 when run as root
  bool closedStdio = false;               // standard input and output closed (nothing is captured)
  int ignoredSignal = 0;                  // a signal that starts out ignored
  std::vector<std::string> wrapper = {};  // a command that runs korvat, such as injecting()
};

// Called once korvat's output holds the marker; korvat cannot get far past
// that point meanwhile, since nothing reads its output. Returns whether to
// go on reading it (false: the reader is gone).
using AtMarker = std::function<bool(pid_t korvat)>;

Outcome runChild(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup = {},
                 const std::string& marker = "", const AtMarker& atMarker = nullptr);

// strace is at hand.
bool hasStrace();
// A wrapper that injects `fault` (strace's syntax, such as "read:error=EIO")
// into korvat's calls on the file `path`.
std::vector<std::string> injecting(const std::string& path, const std::string& fault);

}  // namespace korvat::test
