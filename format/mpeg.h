// The MPEG start codes korvat looks for, and the 90 kHz time stamps it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/clock.h"

namespace korvat {

// The fourth byte of a start code 00 00 01 xx.
constexpr unsigned char kPictureStart = 0x00;
constexpr unsigned char kSequenceHeader = 0xB3;
constexpr unsigned char kGroupStart = 0xB8;
constexpr unsigned char kExtensionStart = 0xB5;
constexpr unsigned char kSequenceEnd = 0xB7;
constexpr std::size_t kStartCodeSize = 4;
// The bytes from a start code on that hold every field korvat reads of the
// sequence, group and picture headers.
constexpr std::size_t kVideoHeaderBytes = 8;
constexpr std::size_t kPictureHeaderBytes = 6;
constexpr std::size_t kPictureExtensionBytes = 8;

// The picture header: a 10-bit display position within its group, and the
// coding type (1 I, 2 P, 3 B).
inline std::uint16_t temporalReference(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[4] << 2 | at[5] >> 6);
}
inline void setTemporalReference(unsigned char* at, std::uint16_t reference) {
  at[4] = static_cast<unsigned char>(reference >> 2);
  at[5] = static_cast<unsigned char>((at[5] & 0x3F) | (reference & 0x03) << 6);
}
inline std::uint8_t pictureCodingType(const unsigned char* at) { return at[5] >> 3 & 0x07; }
constexpr std::uint8_t kIntraPicture = 1, kBidirectionalPicture = 3;

// The picture coding extension (extension id 8): whether the picture is a
// frame or one field of it.
inline bool isPictureCodingExtension(const unsigned char* at) { return at[4] >> 4 == 8; }
inline std::uint8_t pictureStructure(const unsigned char* at) { return at[6] & 0x03; }
constexpr std::uint8_t kFramePicture = 3;
// How many fields a frame picture is shown for, by its coding extension's
// top_field_first and repeat_first_field: film carried at a higher rate
// repeats its first field (3:2 pulldown), and a progressive sequence repeats
// whole frames. The flags are kept apart, since the sequence they count in
// may be known only later.
inline std::uint8_t repeatFlags(const unsigned char* pictureExtension) { return pictureExtension[7] & 0x82; }
inline unsigned fieldsShown(std::uint8_t repeatFlags, bool progressiveSequence) {
  const bool repeat = (repeatFlags & 0x02) != 0, topFirst = (repeatFlags & 0x80) != 0;
  if (!repeat) return 2;
  return progressiveSequence ? (topFirst ? 6 : 4) : 3;
}
// The sequence extension (extension id 1): whether every frame is progressive.
inline bool isSequenceExtension(const unsigned char* at) { return at[4] >> 4 == 1; }
inline bool isProgressiveSequence(const unsigned char* at) { return (at[5] & 0x08) != 0; }

// The group header: whether its pictures need none before it, and whether
// the ones that do had theirs cut away.
inline bool groupIsClosed(const unsigned char* at) { return (at[7] & 0x40) != 0; }
inline bool groupLinkIsBroken(const unsigned char* at) { return (at[7] & 0x20) != 0; }

// One picture's time in 90 kHz ticks, as ticks/parts (parts > 1 for the
// rates of 1000/1001 that do not divide the clock); 0 ticks when the
// sequence header's frame rate code is reserved.
struct FramePeriod {
  std::uint32_t ticks = 0, parts = 1;
  bool known() const { return ticks != 0; }
  bool operator==(const FramePeriod& o) const { return ticks == o.ticks && parts == o.parts; }
  std::int64_t of(std::int64_t pictures) const { return pictures * ticks / parts; }
  std::int64_t ofFields(std::int64_t fields) const { return fields * ticks / (2 * parts); }
};
inline FramePeriod framePeriod(const unsigned char* sequenceHeader) {
  static constexpr FramePeriod kPeriods[16] = {{0, 1},    {15015, 4}, {3750, 1}, {3600, 1}, {3003, 1}, {3000, 1},
                                               {1800, 1}, {3003, 2},  {1500, 1}, {0, 1},    {0, 1},    {0, 1},
                                               {0, 1},    {0, 1},     {0, 1},    {0, 1}};
  return kPeriods[sequenceHeader[7] & 0x0F];
}

// Offset of the first start code 00 00 01 `code` lying wholly inside
// data[0, n), or n when there is none.
inline std::size_t findStartCode(const unsigned char* data, std::size_t n, unsigned char code) {
  for (std::size_t d = 0; d + kStartCodeSize <= n; ++d) {
    if (data[d + 3] == code && data[d + 2] == 0x01 && data[d + 1] == 0x00 && data[d] == 0x00) return d;
  }
  return n;
}

// Offset of the first start code prefix 00 00 01 whose three bytes lie in
// data[0, n), or n. Every byte of the video passes through here when korvat
// follows the pictures, so where it can it looks at many positions at once.
std::size_t findStartCodePrefix(const unsigned char* data, std::size_t n);
// The ways it can look, the widest first; each gives the same answer. Tests
// hold every way this processor has against the others.
enum class PrefixSearch { Avx512, Avx2, Sse2, ByteByByte };
bool processorHas(PrefixSearch way);
std::size_t findStartCodePrefix(PrefixSearch way, const unsigned char* data, std::size_t n);
// Where every start code prefix whose three bytes lie in data[0, n) begins,
// ascending, into `at` after what it holds.
void findStartCodePrefixes(const unsigned char* data, std::uint32_t n, std::vector<std::uint32_t>& at);

}  // namespace korvat
