// The MPEG start codes korvat looks for, and the 90 kHz time stamps it reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvat {

// The fourth byte of a start code 00 00 01 xx.
constexpr unsigned char kPictureStart = 0x00;
constexpr unsigned char kSequenceHeader = 0xB3;
constexpr std::size_t kStartCodeSize = 4;

// Offset of the first start code 00 00 01 `code` lying wholly inside
// data[0, n), or n when there is none.
inline std::size_t findStartCode(const unsigned char* data, std::size_t n, unsigned char code) {
  for (std::size_t d = 0; d + kStartCodeSize <= n; ++d) {
    if (data[d + 3] == code && data[d + 2] == 0x01 && data[d + 1] == 0x00 && data[d] == 0x00) return d;
  }
  return n;
}

// A time stamp of the 90 kHz clock (its low 32 bits), or why there is none.
struct TimeStamp {
  bool known = false;
  std::uint32_t ticks = 0;
  const char* missing = "not known";  // the reason, in a few words, when not known

  static TimeStamp of(std::uint32_t ticks) { return {true, ticks, nullptr}; }
  static TimeStamp unknown(const char* reason) { return {false, 0, reason}; }
};

// later - earlier in milliseconds, rounded to the nearest. The clock wraps
// at 2^32 ticks: of the differences modulo 2^32, the one nearest zero counts.
inline std::int64_t millisecondsBetween(std::uint32_t earlier, std::uint32_t later) {
  const auto ticks = static_cast<std::int64_t>(static_cast<std::int32_t>(later - earlier));
  return (ticks >= 0 ? ticks + 45 : ticks - 45) / 90;
}

}  // namespace korvat
