// Every multi-byte field of the formats korvat reads is big-endian.
#pragma once

#include <cstdint>

namespace korvat {

inline std::uint16_t bigEndian16(const unsigned char* at) { return static_cast<std::uint16_t>((at[0] << 8) | at[1]); }

}  // namespace korvat
