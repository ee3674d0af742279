// Shared by the tests: recordings built byte by byte, a private working
// directory, and korvat run in it in this process, its console captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/packets.h"

namespace korvat::test {

using pack::avPacket;
using pack::Bytes;
using pack::pesPacket;

#ifdef _WIN32
constexpr const char* kCurrentDirPrefix = ".\\";  // how the OS names the temporary file
#else
constexpr const char* kCurrentDirPrefix = "./";
#endif

// A video packet with the 4-byte prefix flag set; the prefix is prepended.
Bytes prefixedVideo(const Bytes& video);
// A sequence header start code followed by `rest`.
Bytes sequenceStart(const Bytes& rest = "");
Bytes filler(std::size_t n, char seed = 'a');  // bytes without start codes or syncs
bool isPrefix(const Bytes& part, const Bytes& whole);
Bytes readSample(const std::string& name);  // a file of samples/

// Console text as korvat prints it.
std::string demuxProgress(int audio, int audioKb, int video, int videoKb, int skipped, int skippedKb);
std::string stripProgress(int audio, int audioKb, int skipped, int skippedKb);
std::string tempKept(const std::string& name);
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

struct Outcome {
  int status = -1;
  std::string out, err;  // on Windows with text mode's "\r\n" turned back into "\n"
};

// Runs korvat with `args` in `dir`, in this process.
Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args);

}  // namespace korvat::test
