// Shared by the tests: recordings built byte by byte, a private working
// directory, and korvat run in it in this process, its console captured.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/packets.h"
#include "tools/recording_packer.h"

namespace korvat::test {

using pack::avPacket;
using pack::Bytes;
using pack::pesPacket;

#ifdef _WIN32
constexpr const char* kCurrentDirPrefix = ".\\";  // how the OS names the temporary file
#else
constexpr const char* kCurrentDirPrefix = "./";
#endif

// A recording packed in memory; its audio PES packets and what survives its damage when asked.
Bytes packRecording(const Bytes& video, const Bytes& audio, const pack::PackOptions& options, Bytes* pes = nullptr,
                    pack::Intact* intact = nullptr);
Bytes syntheticAc3(std::size_t n, std::uint64_t seed);  // AC3 5.1 frames of 48 kHz at 64 kbit/s

struct PacketView {
  std::size_t offset;  // of its header in the recording
  std::uint8_t streamId, flags;
  std::uint16_t length;  // as its header says
};
// Calls `visit` for each packet of the chain, as long as whole headers begin with "AV".
void forEachPacket(const Bytes& recording, const std::function<void(const PacketView&)>& visit);

// A video packet with the 4-byte prefix, a 90 kHz time stamp, flagged and prepended.
Bytes prefixedVideo(const Bytes& video, std::uint32_t stamp = 0x7f7f7f7f);
Bytes sequenceStart(const Bytes& rest = "");   // a sequence header start code, then `rest`
Bytes filler(std::size_t n, char seed = 'a');  // bytes without start codes or syncs
bool isPrefix(const Bytes& part, const Bytes& whole);
const Bytes& readSample(const std::string& name);  // a file of samples/, read once
// The real streams of samples/: MPEG-2 video (also in smaller pictures, in
// groups with B-pictures) and MPEG-1 Layer II audio.
inline const Bytes& sourceVideo() { return readSample("testsrc.m2v"); }
inline const Bytes& sourceVideoWithB() { return readSample("testsrc-b.m2v"); }
inline const Bytes& sourceAudio() { return readSample("sine.mp2"); }

// Progress lines as korvat prints them: of the loop, each {audio packets, kb,
// video packets, kb, skipped items, kb}; of the stripping pass, each {audio
// packets, kb, skipped packets, kb}.
std::string demuxLines(std::initializer_list<std::array<std::uint64_t, 6>> lines);
std::string stripLines(std::initializer_list<std::array<std::uint64_t, 4>> lines);
std::string tempKept(const std::string& name);
// What -r says of the damage it skipped.
std::string summary(std::uint64_t stretches, std::uint64_t bytes);
extern const std::string kEndOfInput, kReadWriteError, kStripHeading;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return root + "/" + name; }
  void write(const std::string& name, const Bytes& bytes) const;
  Bytes read(const std::string& name) const;
  std::vector<std::string> names() const;  // sorted
  std::string tempFile() const;            // the kvt* file left behind, or ""
  const std::string& dir() const { return root; }

 private:
  std::string root;
};

// Bounds on a run of korvat, so that one without end fails its test, not the
// machine. A real run prints 4 MB at most (65537 progress lines), takes
// seconds, and writes no file larger than a recording of 4 GiB.
constexpr std::size_t kConsoleLimit = 16 << 20;
constexpr int kRunSeconds = 120;
constexpr std::uint64_t kFileLimit = std::uint64_t{8} << 30;

// Ends this test process at once, saying why, with its test directories
// removed: for a run that cannot be stopped any other way.
[[noreturn]] void abandonTest(const std::string& why);

struct Outcome {
  int status = -1;
  std::string out, err;  // on Windows with text mode's "\r\n" turned back into "\n"
};

// Runs korvat with `args` in `dir`, in this process.
Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args);
// The same with `input` on standard input through a pipe, written in pieces
// of uneven size as another program's output comes; a writer that stalls
// keeps the pipe open after them until the run has ended.
Outcome runKorvatOnPipe(const TempDir& dir, const std::vector<std::string>& args, const Bytes& input,
                        bool writerStalls = false);

#ifndef _WIN32
// The real korvat binary in a child process: for signals, a pseudo-terminal,
// file-size limits, another user, closed standard descriptors, strace.
struct ChildSetup {
  std::uint64_t fileSizeLimit = 0;                 // RLIMIT_FSIZE; 0 = none
  bool onTerminal = false;                         // standard output on a pseudo-terminal, not a pipe
  bool unprivileged = false;                       // as user and group 65534 when run as root
  int ignoredSignal = 0;                           // a signal that starts out ignored
  std::vector<std::string> wrapper = {};           // a command that runs korvat, such as injecting()
  std::function<void(int pid)> started = nullptr;  // told korvat's pid (its wrapper's) once it runs
};

// Called once korvat's output holds the marker (korvat, unread, cannot get
// far past it meanwhile); returns whether to go on reading its output.
using AtMarker = std::function<bool(int pid)>;

Outcome runChild(const TempDir& dir, const std::vector<std::string>& args, const ChildSetup& setup = {},
                 const std::string& marker = "", const AtMarker& atMarker = nullptr);

bool hasStrace();
// A wrapper that injects `fault` (strace's syntax, such as "read:error=EIO")
// into korvat's calls on the file `path` (on any file when it is empty).
std::vector<std::string> injecting(const std::string& path, const std::string& fault);
// A wrapper that runs korvat with its standard descriptors closed (nothing is
// captured), its opens traced into the file `trace` when strace is there.
std::vector<std::string> withStdioClosed(const std::string& trace);
#endif

}  // namespace korvat::test
