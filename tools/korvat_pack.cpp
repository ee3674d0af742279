// korvat-pack: makes a recording from a video and an audio elementary stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "tools/recording_packer.h"

namespace {

bool readWhole(const char* name, std::string& bytes) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  bytes = all.str();
  return static_cast<bool>(in);
}

int usage() {
  std::fprintf(stderr,
               "usage: korvat-pack [--seed N] VIDEO.m2v AUDIO.mp2 RECORDING [PES]\n"
               "Packs the two streams into RECORDING; PES receives the audio PES packets.\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  korvat::pack::PackOptions options;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--seed") == 0) {
    options.seed = std::strtoull(argv[2], nullptr, 10);
    first = 3;
  }
  const int names = argc - first;
  if (names != 3 && names != 4) return usage();
  std::string video, audio;
  if (!readWhole(argv[first], video) || !readWhole(argv[first + 1], audio)) {
    std::fprintf(stderr, "korvat-pack: cannot read %s or %s\n", argv[first], argv[first + 1]);
    return 1;
  }
  std::FILE* recording = std::fopen(argv[first + 2], "wb");
  std::FILE* pes = names == 4 ? std::fopen(argv[first + 3], "wb") : nullptr;
  if (!recording || (names == 4 && !pes)) {
    std::fprintf(stderr, "korvat-pack: cannot create the output\n");
    return 1;
  }
  const auto sinkTo = [](std::FILE* file) -> korvat::pack::Sink {
    if (!file) return nullptr;
    return [file](const char* data, std::size_t n) { std::fwrite(data, 1, n, file); };
  };
  try {
    korvat::pack::packRecording(video, audio, options, sinkTo(recording), sinkTo(pes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvat-pack: %s\n", e.what());
    return 1;
  }
  const bool written = std::fclose(recording) == 0 && (!pes || std::fclose(pes) == 0);
  if (!written) std::fprintf(stderr, "korvat-pack: writing failed\n");
  return written ? 0 : 1;
}
