// Helpers for end-to-end tests: recordings built byte by byte, a private
// working directory, and the real korvat binary run in it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvat::test {

using Bytes = std::string;

// What the platform under test offers. Tests that need what it lacks skip
// themselves with the reason.
#ifdef _WIN32
constexpr bool kIsPosix = false;
constexpr const char* kCurrentDirPrefix = ".\\";  // how the OS names the temporary file
#else
constexpr bool kIsPosix = true;
constexpr const char* kCurrentDirPrefix = "./";
#endif
// File-size limits, pseudo-terminals, signals and an unprivileged user to
// run as (tests run as root, which ignores permissions).
constexpr bool kHasFileSizeLimits = kIsPosix;
constexpr bool kHasPseudoTerminals = kIsPosix;
constexpr bool kHasSignals = kIsPosix;
constexpr bool kHasUnprivilegedUser = kIsPosix;

// strace, which injects faults into korvat's system calls, is at hand.
extern const bool kHasStrace;
// A wrapper (Limits::wrapper) that injects `fault` (strace's syntax, such as
// "read:error=EIO") into the calls on the file `path`.
std::vector<std::string> injecting(const std::string& path, const std::string& fault);

// One AV packet. The length field is the payload's size unless given.
Bytes avPacket(std::uint8_t streamId, std::uint8_t flags, const Bytes& payload, int lengthField = -1);
// A video packet with the 4-byte prefix flag set; the prefix is prepended.
Bytes prefixedVideo(const Bytes& video);
// One PES packet: 00 00 01 id, length, two flag bytes, header data, payload.
Bytes pesPacket(std::uint8_t streamId, const Bytes& headerData, const Bytes& payload);
// A sequence header start code followed by `rest`.
Bytes sequenceStart(const Bytes& rest = "");
Bytes filler(std::size_t n, char seed = 'a');  // bytes without start codes or syncs

bool isPrefix(const Bytes& part, const Bytes& whole);

// A file of samples/.
Bytes readSample(const std::string& name);

// Console lines as korvat prints them.
std::string demuxProgress(int audio, int audioKb, int video, int videoKb, int skipped, int skippedKb);
std::string stripProgress(int audio, int audioKb, int skipped, int skippedKb);
extern const char* const kEndOfInput;
extern const char* const kReadWriteError;
extern const char* const kStripHeading;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return root + "/" + name; }
  void write(const std::string& name, const Bytes& bytes) const;
  void makeDir(const std::string& name) const;
  Bytes read(const std::string& name) const;
  std::vector<std::string> names() const;  // sorted
  const std::string& dir() const { return root; }

 private:
  std::string root;
};

struct Outcome {
  int status = -1;
  std::string out;  // on Windows with text mode's "\r\n" turned back into "\n"
};

struct Limits {
  std::uint64_t fileSize = 0;  // RLIMIT_FSIZE for the child; 0 = none
  bool terminal = false;       // standard output on a pseudo-terminal, not a pipe
  bool unprivileged = false;   // as user and group 65534 when run as root
  bool closedStdio = false;    // standard input and output closed (nothing is captured)
  int ignoredSignal = 0;       // a signal the child starts with ignored
  std::vector<std::string> wrapper = {};  // a command that runs korvat (strace ...)
};

// Runs `body` with `dir` as its working directory, capturing its standard
// output; its return value is the exit status. A child process where the OS
// can fork, else in this process (without limits).
Outcome runInChild(const TempDir& dir, const std::function<int()>& body, Limits limits = {});

// Sets RLIMIT_FSIZE for this process (POSIX only).
void limitFileSize(std::uint64_t bytes);

// Runs korvat with `args` in `dir`.
Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits = {});

// Runs korvat and, once its output holds `marker`, sends it `signal`; korvat
// cannot get far past that point meanwhile, since nothing reads its output.
// Signal 0 closes korvat's standard output there instead (its reader is gone).
Outcome runKorvatAndSignal(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                           int signal, Limits limits = {});
// The same, with `act` run at the marker instead of a signal.
Outcome runKorvatAndAct(const TempDir& dir, const std::vector<std::string>& args, const std::string& marker,
                        const std::function<void()>& act);

// Undoes the "\n" to "\r\n" of Windows text mode; elsewhere returns `out`.
std::string fromTextMode(std::string out);

}  // namespace korvat::test
