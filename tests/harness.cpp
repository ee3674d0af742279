#include "tests/harness.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define open _open
#else
#include <unistd.h>
#endif

#include "app/run.h"

namespace korvat::test {

namespace fs = std::filesystem;

const std::string kEndOfInput = "\nend of input file reached\n";
const std::string kReadWriteError = "\nerror reading/writing file\n";
const std::string kStripHeading = "\nremoving pes-data from audio-file\n";

Bytes prefixedVideo(const Bytes& video, std::uint32_t stamp) {
  const Bytes prefix = {static_cast<char>(stamp >> 24), static_cast<char>(stamp >> 16), static_cast<char>(stamp >> 8),
                        static_cast<char>(stamp)};
  return avPacket(1, 0x10, prefix + video);
}

Bytes sequenceStart(const Bytes& rest) { return Bytes("\0\0\1\xB3", 4) + rest; }

Bytes filler(std::size_t n, char seed) {
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + (seed + i) % 26);
  return bytes;
}

bool isPrefix(const Bytes& part, const Bytes& whole) { return whole.compare(0, part.size(), part) == 0; }

Bytes readSample(const std::string& name) {
  Bytes bytes;
  pack::readWholeFile(KORVAT_SAMPLES_DIR "/" + name, bytes);
  return bytes;
}

const Bytes& sourceVideo() {
  static const Bytes bytes = readSample("testsrc.m2v");
  return bytes;
}

const Bytes& sourceVideoWithB() {
  static const Bytes bytes = readSample("testsrc-b.m2v");
  return bytes;
}

const Bytes& sourceAudio() {
  static const Bytes bytes = readSample("sine.mp2");
  return bytes;
}

std::string demuxLines(std::initializer_list<std::array<std::uint64_t, 6>> lines) {
  std::string out;
  for (const auto& n : lines) {
    out += std::to_string(n[0]) + " (" + std::to_string(n[1]) + " kb) audio, " + std::to_string(n[2]) + " (" +
           std::to_string(n[3]) + " kb) video, " + std::to_string(n[4]) + " (" + std::to_string(n[5]) +
           " kb) skipped\r";
  }
  return out;
}

std::string stripLines(std::initializer_list<std::array<std::uint64_t, 4>> lines) {
  std::string out;
  for (const auto& n : lines) {
    out += std::to_string(n[0]) + " (" + std::to_string(n[1]) + " kb) audio-packets, " + std::to_string(n[2]) + " (" +
           std::to_string(n[3]) + " kb) skipped packets\r";
  }
  return out;
}

std::string tempKept(const std::string& name) {
  return "\ntemporary file '" + std::string(kCurrentDirPrefix) + name + "' kept\n";
}

std::string summary(std::uint64_t stretches, std::uint64_t bytes) {
  return "skipped " + std::to_string(stretches) + " damaged stretches of " + std::to_string(bytes) + " bytes in all\n";
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
  fs::permissions(root, fs::perms::owner_all, ignored);
  fs::remove_all(root, ignored);
}

void TempDir::write(const std::string& name, const Bytes& bytes) const {
  std::FILE* file = std::fopen(path(name).c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + name);
  }
}

Bytes TempDir::read(const std::string& name) const {
  Bytes bytes;
  pack::readWholeFile(path(name), bytes);
  return bytes;
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
    found.push_back(entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string TempDir::tempFile() const {
  for (const std::string& name : names()) {
    if (name.rfind("kvt", 0) == 0) return name;
  }
  return "";
}

namespace {

// Sends one of this process's standard descriptors to a file for a while.
class Capture {
 public:
  Capture(int fd, const fs::path& file) : fd(fd), file(file), saved(dup(fd)) {
    std::fflush(nullptr);
    const int to = open(file.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(to, fd);
    close(to);
  }
  ~Capture() { fs::remove(file); }

  Bytes end() {
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    Bytes text;
    pack::readWholeFile(file.string(), text);
#ifdef _WIN32
    Bytes plain;  // text mode's "\r\n" back to "\n"; a progress line's bare "\r" stays
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    }
    return plain;
#else
    return text;
#endif
  }

 private:
  int fd;
  fs::path file;
  int saved;
};

}  // namespace

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"korvat"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const fs::path consoleDir = fs::temp_directory_path();
  const std::string tag = std::to_string(std::random_device()());
  Capture out(1, consoleDir / ("korvat-out-" + tag)), err(2, consoleDir / ("korvat-err-" + tag));
  const fs::path home = fs::current_path();
  fs::current_path(dir.dir());
  Outcome outcome;
  outcome.status = korvat::runKorvat(static_cast<int>(argv.size()), argv.data());
  fs::current_path(home);
  outcome.out = out.end();
  outcome.err = err.end();
  return outcome;
}

}  // namespace korvat::test
