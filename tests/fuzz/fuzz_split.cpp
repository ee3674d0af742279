// libFuzzer target: any input is a recording. The first byte picks the mode
// (-i, -p or the default with its stripping pass); korvat then runs for real,
// on real files in a private directory, and what must hold for any input is
// checked afterwards. A violation aborts, which libFuzzer reports.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "demux/run.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::string;

const char* const kConsoleFile = "console.txt";

// The private directory; korvat runs in it (its temporary file goes to the
// current directory), libFuzzer outside it (its corpus and crash files).
fs::path home;

struct InHome {
  fs::path before = fs::current_path();
  InHome() { fs::current_path(home); }
  ~InHome() { fs::current_path(before); }
};

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

// The payload bytes the recording holds, walking its packets as korvat does.
std::uint64_t payloadBytes(const Bytes& recording) {
  std::uint64_t total = 0;
  for (std::size_t at = 0; at + 8 <= recording.size() && recording[at] == 'A' && recording[at + 1] == 'V';) {
    const std::size_t length = static_cast<unsigned char>(recording[at + 6]) * 256u +
                               static_cast<unsigned char>(recording[at + 7]);
    total += std::min(length, recording.size() - at - 8);
    at += 8 + length;
  }
  return total;
}

bool startsWith(const Bytes& bytes, const Bytes& prefix) { return bytes.compare(0, prefix.size(), prefix) == 0; }

// Everything but the console capture is removed between runs.
void clearDirectory() {
  for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
    if (entry.path().filename() != kConsoleFile) fs::remove(entry.path());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "korvat-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) violated("no private directory");
  home = pattern;
  std::atexit([] { fs::remove_all(home); });
  // korvat prints to standard output: keep it in a file, appended so that
  // emptying the file between runs is enough.
  const int console = open((home / kConsoleFile).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (console < 0 || dup2(console, STDOUT_FILENO) < 0) violated("no console file");
  close(console);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const InHome inHome;
  clearDirectory();
  std::fflush(stdout);
  if (ftruncate(STDOUT_FILENO, 0) != 0) violated("console file not emptied");

  const int mode = data[0] % 3;  // 0: -i (with -p), 1: -p, 2: the default, stripped
  const Bytes recording(reinterpret_cast<const char*>(data + 1), size - 1);
  std::ofstream("rec", std::ios::binary) << recording;
  std::vector<const char*> argv = {"korvat", "rec"};
  if (mode == 0) argv.push_back("-i");
  if (mode != 2) argv.push_back("-p");
  const int status = korvat::runKorvat(static_cast<int>(argv.size()), argv.data());
  std::fflush(stdout);

  if (status != 0 && status != 2) violated("exit status neither 0 nor 2");
  const Bytes console = readFile(kConsoleFile);
  const Bytes video = readFile("rec.m2v"), audio = readFile("rec.mp2");
  if (video.size() + audio.size() > payloadBytes(recording)) violated("outputs larger than the payloads");
  if (mode != 0 && !video.empty() && !startsWith(video, Bytes("\0\0\1\xB3", 4))) {
    violated("video does not begin with a sequence header");
  }
  if (mode == 2 && !audio.empty() &&
      !(static_cast<unsigned char>(audio[0]) == 0xFF && (static_cast<unsigned char>(audio[1]) & 0xF0) == 0xF0)) {
    violated("stripped audio does not begin with a frame sync");
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("kvt", 0) == 0 && console.find("temporary file './" + name + "' kept") == Bytes::npos) {
      violated("temporary file left without a word");
    }
  }
  return 0;
}
