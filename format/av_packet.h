// The recording's packet format: an 8-byte header ('A' 'V', stream id, two
// bytes korvat ignores, flags, big-endian payload length), then the payload.
#pragma once

#include <cstdint>

#include "format/big_endian.h"
#include "format/chain.h"

namespace korvat {

struct AVheader {
  static constexpr std::uint32_t kSize = 8;
  static constexpr std::uint8_t kVideoStream = 1;
  static constexpr std::uint8_t kAudioStream = 2;
  // On a video packet: the payload begins with a prefix that is not video,
  // the time stamp of the first picture that begins in the packet.
  static constexpr std::uint8_t kVideoPrefixFlag = 0x10;
  static constexpr std::uint16_t kVideoPrefixSize = 4;

  unsigned char bytes[kSize];

  bool hasSync() const { return bytes[0] == 'A' && bytes[1] == 'V'; }
  std::uint8_t streamId() const { return bytes[2]; }
  bool hasVideoPrefix() const { return (bytes[5] & kVideoPrefixFlag) != 0; }
  std::uint16_t payloadLength() const { return bigEndian16(bytes + 6); }
};

// The prefix holds the low 32 bits of the 90 kHz clock.
inline std::uint32_t videoPrefixStamp(const unsigned char* prefix) { return bigEndian32(prefix); }

constexpr ChainFormat kAvChain = {"AV", 2, 6, AVheader::kSize};

}  // namespace korvat
