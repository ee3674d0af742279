// AC3 frames as the audio stages see them.
#pragma once

#include "audio/frame_format.h"

namespace korvat {

class Ac3Format final : public AudioFrameFormat {
 public:
  std::size_t headerSize() const override;
  bool parse(const unsigned char* at, FrameHeader& header) const override;
  FrameHeader silentFrame(const unsigned char* like, std::vector<unsigned char>& frame) const override;
  // Both CRCs hold.
  bool provesWhole(const unsigned char* frame, const FrameHeader& header) const override;
};

}  // namespace korvat
