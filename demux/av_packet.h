// The recording's packet format: an 8-byte header ('A' 'V', stream id, two
// bytes korvat ignores, flags, big-endian payload length), then the payload.
// Video payloads carry MPEG-2 video, whose start korvat finds by its sequence
// header start code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file/big_endian.h"

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

// Offset of the first MPEG-2 sequence header start code (00 00 01 B3) lying
// wholly inside data[0, n), or n when there is none.
inline std::size_t findSequenceHeader(const unsigned char* data, std::size_t n) {
  for (std::size_t d = 0; d + 4 <= n; ++d) {
    if (data[d + 3] == 0xB3 && data[d + 2] == 0x01 && data[d + 1] == 0x00 && data[d] == 0x00) return d;
  }
  return n;
}

}  // namespace korvat
