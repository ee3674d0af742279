// MPEG audio frames (Layers I to III) as the audio stages see them.
#include "audio/mpeg_audio_format.h"

#include "format/mpeg_audio.h"

namespace korvat {
namespace {

// No frame of any layer, rate and padding is longer.
constexpr std::size_t kMaxFrameLength = 2048;

}  // namespace

std::size_t MpegAudioFormat::headerSize() const { return kAudioHeaderSize; }

bool MpegAudioFormat::parse(const unsigned char* at, FrameHeader& header) const {
  // Most bytes of a search begin no frame: they are told by their first byte.
  AudioFrameHeader mpeg;
  if (at[0] != 0xFF || !AudioFrameHeader::parse(at, mpeg)) return false;
  header.length = mpeg.length();
  header.samples = mpeg.samples();
  header.sampleRate = mpeg.sampleRate;
  // A broadcast may change its bit rate from frame to frame, not its version, layer or rate.
  header.stream = mpeg.sampleRate << 3 | std::uint32_t{mpeg.layer} << 1 | (mpeg.mpeg1 ? 1u : 0u);
  return true;
}

FrameHeader MpegAudioFormat::silentFrame(const unsigned char* like, std::vector<unsigned char>& frame) const {
  frame.assign(kMaxFrameLength, 0);
  writeSilentFrameHeader(like, frame.data());
  FrameHeader header;
  parse(frame.data(), header);
  frame.resize(header.length);
  return header;
}

}  // namespace korvat
