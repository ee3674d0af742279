// MPEG audio frame headers (MPEG-1 and MPEG-2, Layers I to III): four bytes
// that begin with a 12-bit sync and say how long the frame is and how many
// samples it holds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvat {

constexpr std::uint32_t kAudioHeaderSize = 4;

struct AudioFrameHeader {
  bool mpeg1 = true;
  std::uint8_t layer = 0;  // 1, 2 or 3
  std::uint32_t bitRate = 0, sampleRate = 0;
  bool padded = false;

  // False for a sync that is no frame: reserved fields, or a free-format bit
  // rate, whose frames have no length korvat could compute.
  static bool parse(const unsigned char* at, AudioFrameHeader& header);

  std::uint32_t samples() const { return layer == 1 ? 384 : layer == 3 && !mpeg1 ? 576 : 1152; }
  std::uint32_t length() const;
};

inline bool hasAudioSync(const unsigned char* at) { return at[0] == 0xFF && (at[1] & 0xF0) == 0xF0; }

// Offset of the first frame sync whose two bytes both lie in data[0, n), or n.
inline std::size_t findFrameSync(const unsigned char* data, std::size_t n) {
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (hasAudioSync(data + i)) return i;
  }
  return n;
}

inline bool AudioFrameHeader::parse(const unsigned char* at, AudioFrameHeader& header) {
  static constexpr std::uint16_t kBitRates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 Layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 Layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 Layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 Layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 Layers II, III
  };
  static constexpr std::uint32_t kSampleRates[3] = {44100, 48000, 32000};
  if (!hasAudioSync(at)) return false;
  const unsigned layerBits = at[1] >> 1 & 0x03, rateIndex = at[2] >> 4, sampleIndex = at[2] >> 2 & 0x03;
  if (layerBits == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3) return false;
  header.mpeg1 = (at[1] & 0x08) != 0;
  header.layer = static_cast<std::uint8_t>(4 - layerBits);
  const unsigned table = header.mpeg1 ? header.layer - 1u : header.layer == 1 ? 3u : 4u;
  header.bitRate = kBitRates[table][rateIndex] * 1000u;
  header.sampleRate = kSampleRates[sampleIndex] >> (header.mpeg1 ? 0 : 1);
  header.padded = (at[2] & 0x02) != 0;
  return true;
}

inline std::uint32_t AudioFrameHeader::length() const {
  if (layer == 1) return (12 * bitRate / sampleRate + (padded ? 1 : 0)) * 4;
  const std::uint32_t perSlot = layer == 3 && !mpeg1 ? 72 : 144;
  return perSlot * bitRate / sampleRate + (padded ? 1 : 0);
}

// A frame of silence in the stream of `like`: its header without CRC or
// padding, and a body of zeros, which allocates no bits to any subband (Layers
// I and II) or holds no main data (Layer III).
inline void writeSilentFrameHeader(const unsigned char* like, unsigned char* to) {
  to[0] = like[0];
  to[1] = static_cast<unsigned char>(like[1] | 0x01);
  to[2] = static_cast<unsigned char>(like[2] & ~0x02);
  to[3] = like[3];
}

}  // namespace korvat
