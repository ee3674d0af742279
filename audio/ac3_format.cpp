// AC3 frames as the audio stages see them.
#include "audio/ac3_format.h"

#include "format/ac3.h"

namespace korvat {

std::size_t Ac3Format::headerSize() const { return kAc3LayoutSize; }

bool Ac3Format::parse(const unsigned char* at, FrameHeader& header) const {
  Ac3Layout layout;
  if (at[0] != 0x0B || !Ac3Layout::parse(at, layout)) return false;
  header.length = layout.length;
  header.samples = kAc3SamplesPerFrame;
  header.sampleRate = layout.sampleRate;
  // The bit rate may change from frame to frame; a new layout of the
  // channels comes with a new programme.
  header.stream = std::uint32_t{layout.sampleRateCode} << 12 | std::uint32_t{layout.bsid} << 4 |
                  std::uint32_t{layout.acmod} << 1 | (layout.lfe ? 1u : 0u);
  return true;
}

FrameHeader Ac3Format::silentFrame(const unsigned char* like, std::vector<unsigned char>& frame) const {
  Ac3Layout layout;
  Ac3Layout::parse(like, layout);
  frame = silentAc3Frame(layout);
  FrameHeader header;
  parse(frame.data(), header);
  return header;
}

bool Ac3Format::provesWhole(const unsigned char* frame, const FrameHeader& header) const {
  return ac3CrcsHold(frame, header.length);
}

}  // namespace korvat
