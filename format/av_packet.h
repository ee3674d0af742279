// The recording's packet format: an 8-byte header ('A' 'V', stream id, two
// bytes korvat ignores, flags, big-endian payload length), then the payload.
#pragma once

#include <cstdint>

#include "format/big_endian.h"

namespace korvat {

struct AVheader {
  static constexpr std::uint32_t kSize = 8;
  static constexpr std::uint8_t kVideoStream = 1;
  static constexpr std::uint8_t kAudioStream = 2;
  // On a video packet: the payload begins with a prefix that is not video.
  static constexpr std::uint8_t kVideoPrefixFlag = 0x10;
  static constexpr std::uint16_t kVideoPrefixSize = 4;

  unsigned char bytes[kSize];

  bool hasSync() const { return bytes[0] == 'A' && bytes[1] == 'V'; }
  std::uint8_t streamId() const { return bytes[2]; }
  bool hasVideoPrefix() const { return (bytes[5] & kVideoPrefixFlag) != 0; }
  std::uint16_t payloadLength() const { return bigEndian16(bytes + 6); }
};

}  // namespace korvat
