// korvat-pack: makes a recording from a video and an audio elementary stream,
// or, for benchmarks, from random streams of a given mix and size.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "tools/recording_packer.h"

namespace {

using korvat::pack::Bytes;
using korvat::pack::PackOptions;

// To standard output when asked for (--help), else as an error.
int usage(std::FILE* to = stderr) {
  std::fprintf(to,
               "usage: korvat-pack [OPTION N]... VIDEO.m2v AUDIO.mp2 RECORDING [PES]\n"
               "       korvat-pack [OPTION N]... --mix small|large MIB RECORDING\n"
               "Packs the two streams into RECORDING; PES receives the audio PES packets.\n"
               "Packets go in the order a multiplexer sends them: each by the time its\n"
               "content is needed (video 400 ms before it is decoded, audio 100 ms before\n"
               "it is played), so audio and video of the same moment lie close together.\n"
               "Time stamps are true: the first picture at 1 s (90000 ticks), the first\n"
               "audio frame --audio-offset later, every other by its place in its stream.\n"
               "--mix packs random streams of about MIB mebibytes: small packets (video\n"
               "500-3000 bytes, audio 400-2000) or large ones (video 16-64 KiB, audio\n"
               "2-4.6 KiB); 85%% of the packets are video, all with the 4-byte prefix.\n"
               "Options, each with a number (packets count from 0 as packed):\n"
               "  --seed N          the seed of every random choice (default 1)\n"
               "  --audio-offset MS the audio clock against the video's, from -1000 on\n"
               "                    (default 48: the first audio frame 48 ms after the\n"
               "                    first picture)\n"
               "  --span PERCENT    audio PES packets split over two AV packets\n"
               "  --prefix PERCENT  video packets with the time stamp prefix (default 50)\n"
               "  --cut-start N     cut N bytes from the start, as a recording begun mid-packet\n"
               "  --garbage-after N a stretch of garbage after packet N, of --garbage-bytes\n"
               "  --garbage-bytes N\n"
               "  --video-hole N    the first video packet from packet N on loses --hole-bytes\n"
               "  --audio-hole N    so does the second part of the first spanning audio PES\n"
               "                    packet from packet N on\n"
               "  --hole-bytes N\n"
               "  --lose OFFSET:BYTES  that stretch is lost (offsets as if nothing were);\n"
               "                    repeat it for more, in the order of the recording\n"
               "  --pes-frames      audio PES packets hold whole frames, as receivers write them\n"
               "  --report FILE     which pictures and audio frames each lost stretch takes\n"
               "  --track ID:FILE   another audio track in PES packets of that stream id, such as\n"
               "                    0xBD:film.ac3 or 0xC2:second.mp2; repeat it for more;\n"
               "                    ID:FILE@MS begins it MS after the audio (-1000 to 60000)\n"
               "  --tracks-first    the other tracks' first packets come before any audio's\n"
               "  --version         the layout version: the same inputs, options and seed\n"
               "                    give the same recording as long as it stays the same\n"
               "  --help            this text\n");
  return to == stderr ? 1 : 0;
}

// Sizes the two streams so that 85% of the packets are video.
bool mixOptions(const char* mix, PackOptions& options, double& videoShareOfBytes) {
  if (std::strcmp(mix, "small") == 0) {
    options.video = {500, 3000};
    options.audio = {400, 2000};
  } else if (std::strcmp(mix, "large") == 0) {
    options.video = {16384, 65535};
    options.audio = {2048, 4710};
  } else {
    return false;
  }
  options.prefixPercent = 100;
  options.otherPercent = 0;
  const double video = 0.85 * (options.video.min + options.video.max) / 2.0;
  const double audio = 0.15 * (options.audio.min + options.audio.max) / 2.0;
  videoShareOfBytes = video / (video + audio);
  return true;
}

// Items counted from 0, as runs: "3-7 9".
std::string runs(const std::vector<std::size_t>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size();) {
    std::size_t j = i;
    while (j + 1 < items.size() && items[j + 1] == items[j] + 1) ++j;
    text += (text.empty() ? "" : " ") + std::to_string(items[i]);
    if (j > i) text += "-" + std::to_string(items[j]);
    i = j + 1;
  }
  return text.empty() ? "none" : text;
}

bool writeReport(const char* name, const PackOptions& options, const korvat::pack::Intact& intact) {
  std::FILE* report = std::fopen(name, "w");
  if (!report) return false;
  for (std::size_t i = 0; i < options.damage.lost.size(); ++i) {
    const auto& stretch = options.damage.lost[i];
    std::fprintf(report, "stretch %zu: %llu bytes from %llu; pictures %s; audio frames %s\n", i + 1,
                 static_cast<unsigned long long>(stretch.bytes), static_cast<unsigned long long>(stretch.offset),
                 runs(intact.taken[i].pictures).c_str(), runs(intact.taken[i].frames).c_str());
  }
  std::fprintf(report, "damaged stretches korvat -r skips: %llu, of %llu bytes\n",
               static_cast<unsigned long long>(intact.damagedStretches),
               static_cast<unsigned long long>(intact.damagedBytes));
  return std::fclose(report) == 0;
}

// A number of decimal digits alone, no larger than `most`.
bool parseNumber(const std::string& text, std::uint64_t most, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return value <= most;
}

// The options with a number, as a pointer to where each number goes. False
// for an unknown option or a value out of its range.
bool takeOption(const char* name, const std::string& value, PackOptions& options) {
  korvat::pack::Damage& damage = options.damage;
  const std::pair<const char*, std::size_t*> sizes[] = {
      {"--cut-start", &damage.cutStart},         {"--garbage-after", &damage.garbageAfter},
      {"--garbage-bytes", &damage.garbageBytes}, {"--video-hole", &damage.videoHoleFrom},
      {"--audio-hole", &damage.audioHoleFrom},   {"--hole-bytes", &damage.holeBytes}};
  std::uint64_t number = 0;
  if (std::strcmp(name, "--audio-offset") == 0) {
    const bool ahead = !value.empty() && value[0] == '-';
    if (!parseNumber(value.substr(ahead ? 1 : 0), ahead ? 1000 : 1000000, number)) return false;
    const auto ms = static_cast<std::int64_t>(number) * (ahead ? -1 : 1);
    options.audioClock = static_cast<std::uint64_t>(options.videoClock + ms * 90);
    return true;
  }
  if (std::strcmp(name, "--lose") == 0) {
    const std::size_t colon = value.find(':');
    std::uint64_t bytes = 0;
    if (colon == std::string::npos || !parseNumber(value.substr(0, colon), UINT64_MAX, number) ||
        !parseNumber(value.substr(colon + 1), UINT64_MAX, bytes)) {
      return false;
    }
    options.damage.lost.push_back({number, bytes});
    return true;
  }
  const bool percent = std::strcmp(name, "--span") == 0 || std::strcmp(name, "--prefix") == 0;
  if (!parseNumber(value, percent ? 100 : SIZE_MAX, number)) return false;
  if (std::strcmp(name, "--seed") == 0) return options.seed = number, true;
  if (std::strcmp(name, "--span") == 0) return options.spanPercent = static_cast<unsigned>(number), true;
  if (std::strcmp(name, "--prefix") == 0) return options.prefixPercent = static_cast<unsigned>(number), true;
  for (const auto& [option, field] : sizes) {
    if (std::strcmp(name, option) == 0) return *field = static_cast<std::size_t>(number), true;
  }
  return false;
}

// Closes a file that may be null; false when a write to it or its closing failed.
bool closeFile(std::FILE* file) {
  if (!file) return true;
  const bool good = !std::ferror(file);
  return std::fclose(file) == 0 && good;
}

int packFromArguments(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return usage(stdout);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("korvat-pack layout %d\n", korvat::pack::kLayoutVersion);
    return 0;
  }
  PackOptions options;
  const char* reportName = nullptr;
  int first = 1;
  while (argc - first > 2 && std::strcmp(argv[first], "--mix") != 0 && argv[first][0] == '-') {
    if (std::strcmp(argv[first], "--pes-frames") == 0 || std::strcmp(argv[first], "--tracks-first") == 0) {
      (argv[first][2] == 'p' ? options.pesAtFrames : options.tracksFirst) = true;
      first += 1;
      continue;
    }
    if (std::strcmp(argv[first], "--track") == 0) {
      char* rest = nullptr;
      const unsigned long id = std::strtoul(argv[first + 1], &rest, 0);
      if (*rest != ':' || id > 0xFF) return usage();
      // FILE@MS: the track begins MS after the audio (or before it, below 0).
      std::string name = rest + 1;
      long startMs = 0;
      const std::size_t at = name.rfind('@');
      if (at != std::string::npos) {
        char* end = nullptr;
        startMs = std::strtol(name.c_str() + at + 1, &end, 10);
        if (*end != '\0' || at + 1 == name.size() || startMs < -1000 || startMs > 60000) return usage();
        name.erase(at);
      }
      korvat::pack::Bytes stream;
      if (!korvat::pack::readWholeFile(name.c_str(), stream)) return usage();
      options.tracks.push_back({static_cast<std::uint8_t>(id), stream, std::int64_t{startMs} * 90});
      first += 2;
      continue;
    }
    if (std::strcmp(argv[first], "--report") == 0) {
      reportName = argv[first + 1];
    } else if (!takeOption(argv[first], argv[first + 1], options)) {
      return usage();
    }
    first += 2;
  }
  Bytes video, audio;
  const char* recordingName;
  const char* pesName = nullptr;
  if (argc - first == 4 && std::strcmp(argv[first], "--mix") == 0) {
    double videoShare = 0;
    if (!mixOptions(argv[first + 1], options, videoShare)) return usage();
    char* end = nullptr;
    const double mebibytes = std::strtod(argv[first + 2], &end);
    if (*end != '\0' || !(mebibytes > 0 && mebibytes <= 4096)) return usage();
    const double total = mebibytes * 1024 * 1024;
    // As many pictures of 25 fps as the audio's 24 ms frames of 576 bytes last.
    const auto audioBytes = static_cast<std::size_t>(total * (1 - videoShare));
    video = korvat::pack::syntheticVideo(static_cast<std::size_t>(total * videoShare), audioBytes / 960, options.seed);
    audio = korvat::pack::syntheticAudio(audioBytes, options.seed);
    recordingName = argv[first + 3];
  } else if (argc - first == 3 || argc - first == 4) {
    if (!korvat::pack::readWholeFile(argv[first], video) || !korvat::pack::readWholeFile(argv[first + 1], audio)) {
      std::fprintf(stderr, "korvat-pack: cannot read %s or %s\n", argv[first], argv[first + 1]);
      return 1;
    }
    recordingName = argv[first + 2];
    if (argc - first == 4) pesName = argv[first + 3];
  } else {
    return usage();
  }

  std::FILE* recording = std::fopen(recordingName, "wb");
  std::FILE* pes = pesName ? std::fopen(pesName, "wb") : nullptr;
  std::string failure;
  korvat::pack::Intact intact;
  if (!recording || (pesName && !pes)) {
    failure = "cannot create the output";
  } else {
    const auto sinkTo = [](std::FILE* file) -> korvat::pack::Sink {
      if (!file) return nullptr;
      return [file](const char* data, std::size_t n) { std::fwrite(data, 1, n, file); };
    };
    try {
      korvat::pack::packRecording(video, audio, options, sinkTo(recording), sinkTo(pes), &intact);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  const bool closed = closeFile(recording) & closeFile(pes);  // both, whatever the first did
  if (failure.empty() && !closed) failure = "writing failed";
  if (failure.empty() && reportName && !writeReport(reportName, options, intact)) failure = "writing the report failed";
  if (failure.empty()) return 0;
  // No half-made recording is left to be taken for a whole one.
  std::fprintf(stderr, "korvat-pack: %s\n", failure.c_str());
  if (recording) std::remove(recordingName);
  if (pes) std::remove(pesName);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return packFromArguments(argc, argv);
  } catch (const std::exception& e) {  // out of memory for the streams, say
    std::fprintf(stderr, "korvat-pack: %s\n", e.what());
    return 1;
  }
}
