// Packs an MPEG video elementary stream and an MPEG audio stream into a
// recording laid out as a DVB-S receiver writes it, for tests, the bundled
// sample and the benchmark. Deterministic: the same inputs and seed always
// give the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tools/packets.h"

namespace korvat::pack {

using Sink = std::function<void(const char* data, std::size_t n)>;

struct SizeRange {
  std::uint32_t min, max;  // inclusive, in payload bytes
};

struct PackOptions {
  std::uint64_t seed = 1;
  SizeRange video{500, 3000};  // per packet, the 4-byte prefix included
  SizeRange audio{400, 2000};  // audio bytes per PES packet
  SizeRange other{50, 400};
  unsigned prefixPercent = 50;  // video packets that carry the 4-byte prefix
  unsigned otherPercent = 5;    // packets of other streams
  bool leadIn = true;           // video from mid-GOP before the first sequence header
};

// Writes the recording to `recording` and, when given, the audio PES packets
// exactly as they appear in it to `pes`. The video must begin with a
// sequence header and the audio with a frame sync.
void packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording,
                   const Sink& pes = nullptr);

// Streams of random bytes shaped like the real ones, for recordings of any
// size: the video begins with a sequence header, the audio with a frame sync.
Bytes syntheticVideo(std::size_t n, std::uint64_t seed);
Bytes syntheticAudio(std::size_t n, std::uint64_t seed);

// The same, collected in memory.
Bytes packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, Bytes* pes = nullptr);

}  // namespace korvat::pack
