// MPEG audio frames (Layers I to III) as the audio stages see them.
#pragma once

#include "audio/frame_format.h"

namespace korvat {

class MpegAudioFormat final : public AudioFrameFormat {
 public:
  std::size_t headerSize() const override;
  bool parse(const unsigned char* at, FrameHeader& header) const override;
  FrameHeader silentFrame(const unsigned char* like, std::vector<unsigned char>& frame) const override;
  // Its CRC, where there is one, covers the side information only.
  bool provesWhole(const unsigned char*, const FrameHeader&) const override { return false; }
};

}  // namespace korvat
