// Every multi-byte field of the formats korvat reads is big-endian.
#pragma once

#include <cstdint>

namespace korvat {

inline std::uint16_t bigEndian16(const unsigned char* at) { return static_cast<std::uint16_t>((at[0] << 8) | at[1]); }

inline std::uint32_t bigEndian32(const unsigned char* at) {
  return std::uint32_t{bigEndian16(at)} << 16 | bigEndian16(at + 2);
}

}  // namespace korvat
