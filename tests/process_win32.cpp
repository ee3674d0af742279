// Running korvat on Windows: a child process with its standard output on a
// pipe. Windows cannot fork, so a piece of the library runs in this process
// with standard output sent to a file for the time.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tests/harness.h"

namespace korvat::test {
namespace {

namespace fs = std::filesystem;

// Quoted for the child's C runtime; no argument of the tests holds a quote
// or ends in a backslash.
std::string quoteArgument(const std::string& arg) { return "\"" + arg + "\""; }

void requireNoLimits(const Limits& limits) {
  if (limits.fileSize != 0 || limits.terminal || limits.unprivileged || limits.closedStdio ||
      limits.ignoredSignal != 0 || !limits.wrapper.empty()) {
    throw std::logic_error("no such limits on Windows");
  }
}

}  // namespace

Outcome runInChild(const TempDir& dir, const std::function<int()>& body, Limits limits) {
  requireNoLimits(limits);
  const fs::path capture = fs::temp_directory_path() / ("korvat-out-" + std::to_string(std::random_device()()));
  std::fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  const int file = _open(capture.string().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  _dup2(file, _fileno(stdout));
  _close(file);
  const fs::path home = fs::current_path();
  fs::current_path(dir.dir());

  Outcome outcome;
  outcome.status = body();

  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  fs::current_path(home);
  std::ostringstream out;
  out << std::ifstream(capture, std::ios::binary).rdbuf();
  fs::remove(capture);
  outcome.out = fromTextMode(out.str());
  return outcome;
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits) {
  requireNoLimits(limits);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = quoteArgument(KORVAT_BINARY);
  for (const std::string& arg : args) commandLine += " " + quoteArgument(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  const std::string workDir = fs::path(dir.dir()).make_preferred().string();
  const bool started = CreateProcessA(KORVAT_BINARY, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      workDir.c_str(), &startup, &child);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    throw std::runtime_error("cannot start " KORVAT_BINARY);
  }
  Outcome outcome;
  char chunk[65536];
  for (DWORD n = 0; ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0;) outcome.out.append(chunk, n);
  CloseHandle(readEnd);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  outcome.status = static_cast<int>(status);
  outcome.out = fromTextMode(outcome.out);
  return outcome;
}

Outcome runKorvatAndSignal(const TempDir&, const std::vector<std::string>&, const std::string&, int, Limits) {
  throw std::logic_error("no signals on Windows");
}

Outcome runKorvatAndAct(const TempDir&, const std::vector<std::string>&, const std::string&,
                        const std::function<void()>&) {
  throw std::logic_error("no way to pause korvat on Windows");
}

void limitFileSize(std::uint64_t) { throw std::logic_error("no file-size limits on Windows"); }

}  // namespace korvat::test
