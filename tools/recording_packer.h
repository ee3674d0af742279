// Packs an MPEG video elementary stream and an MPEG audio stream into a
// recording laid out as a DVB-S receiver writes it, for tests, the bundled
// sample and the benchmark: packets in the order a broadcast multiplexer
// sends them, each by the time its content is needed, and every time stamp
// true. Deterministic: the same inputs and seed always give the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/packets.h"

namespace korvat::pack {

// The layout of what the packer makes: raised whenever the same streams,
// options and seed give other bytes, so that recordings kept by name (the
// benchmark's) are made again.
constexpr int kLayoutVersion = 3;

using Sink = std::function<void(const char* data, std::size_t n)>;

struct SizeRange {
  std::uint32_t min, max;  // inclusive, in payload bytes
};

// A stretch of the recording lost in reception: `bytes` bytes from `offset`
// on, counted in the recording as it would be without any lost stretch.
struct LostStretch {
  std::uint64_t offset, bytes;
};

// Damage as receivers leave it. Packets are counted from 0 in the order they
// are packed; a count of 0 bytes, or a hole from packet 0, means none.
struct Damage {
  std::size_t cutStart = 0;                        // bytes cut from the start: a recording begun mid-packet
  std::size_t garbageAfter = 0, garbageBytes = 0;  // a stretch of garbage after that packet
  // The first video packet from that one on, and the second part of the
  // first audio PES packet spanning two AV packets from that one on, each
  // lose holeBytes from inside their payloads.
  std::size_t videoHoleFrom = 0, audioHoleFrom = 0, holeBytes = 0;
  std::vector<LostStretch> lost;  // in the order of the recording, apart from one another
};

struct PackOptions {
  std::uint64_t seed = 1;
  SizeRange video{500, 3000};  // per packet, the 4-byte prefix included
  SizeRange audio{400, 2000};  // audio bytes per PES packet
  SizeRange other{50, 400};
  unsigned prefixPercent = 50;  // video packets that carry the 4-byte prefix
  unsigned otherPercent = 5;    // packets of other streams
  unsigned spanPercent = 0;     // audio PES packets split over two AV packets
  bool leadIn = true;           // video from mid-GOP before the first sequence header
  bool pesAtFrames = false;     // audio PES packets hold whole frames, rather than being cut anywhere
  // The 90 kHz time stamps, as a receiver writes them: of the first picture
  // after the first sequence header (every picture at its display time, from
  // its group and temporal reference) and of the first audio frame (every
  // frame after it by the samples before it). A video prefix stamps the first
  // picture that begins in its packet, a PES header the first frame that
  // begins in it; a PES packet in which none begins has no stamp.
  std::uint32_t videoClock = 90000;
  std::uint64_t audioClock = 94320;  // 48 ms after the video's
  bool audioTimeStamps = true;       // whether PES headers carry them
  // Other audio tracks beside the audio, each in PES packets of its own
  // stream id (0xBD for AC3), interleaved with the rest; their first
  // packets come before any other audio when tracksFirst. A track's first
  // frame plays `startTicks` after the audio's: tracks need not begin together.
  struct Track {
    std::uint8_t id;
    Bytes stream;
    std::int64_t startTicks = 0;
  };
  std::vector<Track> tracks;
  bool tracksFirst = false;
  Damage damage;
};

// What a split of the recording with -r writes, and what it skips.
struct Intact {
  Bytes video;  // from the first sequence header on
  Bytes audio;  // the payloads of the audio PES packets that arrived whole
  Bytes pes;    // the audio AV payloads that arrived whole, as -p writes them
  std::uint64_t damagedStretches = 0, damagedBytes = 0;
  // Counted from 0 in the source streams: the pictures whose start code and
  // the audio frames any of whose bytes the damage took, and the frames
  // that a PES packet which arrived whole stamps; all in stream order.
  std::vector<std::size_t> lostPictures, lostFrames, stampedFrames;
  // The stretches of the source video that arrived, in order, and where in
  // `video` each damaged stretch after its start lies.
  std::vector<std::pair<std::size_t, std::size_t>> videoPieces;
  std::vector<std::size_t> videoCuts;
  // For each lost stretch of Damage::lost, the pictures and frames it took.
  struct Taken {
    std::vector<std::size_t> pictures, frames;
  };
  std::vector<Taken> taken;
};

// Writes the recording to `recording` and, when given, the audio PES packets
// exactly as they were packed to `pes`. The video must begin with a
// sequence header and the audio with a frame sync. `intact`, when given,
// receives what survives the damage.
void packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording,
                   const Sink& pes = nullptr, Intact* intact = nullptr);

// Streams of random bytes shaped like the real ones, for recordings of any
// size: the video is a sequence header and `pictures` pictures of 25 fps in
// groups of 12 with B-pictures (none: random bytes after the header), each
// picture's body random; the audio is MPEG-1 Layer II frames of 48 kHz at
// 192 kbit/s (24 ms each), with random bodies.
Bytes syntheticVideo(std::size_t n, std::size_t pictures, std::uint64_t seed);
Bytes syntheticAudio(std::size_t n, std::uint64_t seed);
Bytes randomBytes(std::size_t n, std::uint64_t seed);  // the same for a seed on every platform

}  // namespace korvat::pack
