#include "tests/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace korvat::test {

namespace fs = std::filesystem;

const char* const kEndOfInput = "\nend of input file reached\n";
const char* const kReadWriteError = "\nerror reading/writing file\n";
const char* const kStripHeading = "\nremoving pes-data from audio-file\n";

#ifdef _WIN32
const bool kHasStrace = false;
#else
const bool kHasStrace = std::system("strace -V >/dev/null 2>&1") == 0;
#endif

std::vector<std::string> injecting(const std::string& path, const std::string& fault) {
  const std::string call = fault.substr(0, fault.find(':'));
  return {"strace", "-o", "/dev/null", "-P", path, "-e", "trace=" + call, "-e", "inject=" + fault};
}

Bytes avPacket(std::uint8_t streamId, std::uint8_t flags, const Bytes& payload, int lengthField) {
  const auto length = static_cast<unsigned>(lengthField < 0 ? payload.size() : lengthField);
  Bytes packet = {'A', 'V', static_cast<char>(streamId), 0, 0, static_cast<char>(flags),
                  static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
  return packet + payload;
}

Bytes prefixedVideo(const Bytes& video) { return avPacket(1, 0x10, Bytes("\x7f\x7f\x7f\x7f") + video); }

Bytes pesPacket(std::uint8_t streamId, const Bytes& headerData, const Bytes& payload) {
  const std::size_t length = 3 + headerData.size() + payload.size();
  Bytes packet = {0, 0, 1, static_cast<char>(streamId), static_cast<char>(length >> 8),
                  static_cast<char>(length & 0xFF), static_cast<char>(0x80), static_cast<char>(0x80),
                  static_cast<char>(headerData.size())};
  return packet + headerData + payload;
}

Bytes sequenceStart(const Bytes& rest) { return Bytes("\0\0\1\xB3", 4) + rest; }

Bytes filler(std::size_t n, char seed) {
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + (seed + i) % 26);
  return bytes;
}

bool isPrefix(const Bytes& part, const Bytes& whole) { return whole.compare(0, part.size(), part) == 0; }

static Bytes readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Bytes readSample(const std::string& name) { return readWhole(KORVAT_SAMPLES_DIR "/" + name); }

std::string demuxProgress(int audio, int audioKb, int video, int videoKb, int skipped, int skippedKb) {
  char line[160];
  std::snprintf(line, sizeof line, "%d (%d kb) audio, %d (%d kb) video, %d (%d kb) skipped\r", audio,
                audioKb, video, videoKb, skipped, skippedKb);
  return line;
}

std::string stripProgress(int audio, int audioKb, int skipped, int skippedKb) {
  char line[120];
  std::snprintf(line, sizeof line, "%d (%d kb) audio-packets, %d (%d kb) skipped packets\r", audio,
                audioKb, skipped, skippedKb);
  return line;
}

TempDir::TempDir() {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("korvat-test-" + std::to_string(entropy()));
    if (fs::create_directory(candidate)) root = candidate.generic_string();
  }
  if (root.empty()) throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

void TempDir::write(const std::string& name, const Bytes& bytes) const {
  std::ofstream(path(name), std::ios::binary) << bytes;
}

void TempDir::makeDir(const std::string& name) const { fs::create_directory(path(name)); }

Bytes TempDir::read(const std::string& name) const { return readWhole(path(name)); }

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
    found.push_back(entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string fromTextMode(std::string out) {
#ifdef _WIN32
  std::string bytes;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) bytes += out[i];
  }
  return bytes;
#else
  return out;
#endif
}

}  // namespace korvat::test
