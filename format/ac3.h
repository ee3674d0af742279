// AC3 sync frames (ATSC A/52), as DVB broadcasts carry them in private
// stream 1: a 16-bit sync word, a CRC, then the sample rate and frame size
// codes, from which the frame's length follows.
#pragma once

#include <cstdint>

namespace korvat {

constexpr std::uint32_t kAc3HeaderSize = 5;

// The frame's length in bytes, or 0 where no frame begins: no sync word, or
// a reserved sample rate or frame size code.
inline std::uint32_t ac3FrameLength(const unsigned char* at) {
  static constexpr std::uint16_t kBitRates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                                  192, 224, 256, 320, 384, 448, 512, 576, 640};
  if (at[0] != 0x0B || at[1] != 0x77) return 0;
  const unsigned rateCode = at[4] >> 6, sizeCode = at[4] & 0x3F;
  if (rateCode == 3 || sizeCode >= 38) return 0;
  const std::uint32_t kbits = kBitRates[sizeCode / 2];
  // Words of 16 bits in a frame of 1536 samples: at 44.1 kHz the odd codes
  // carry one more word, to make up the rate.
  const std::uint32_t words = rateCode == 0   ? 2 * kbits
                              : rateCode == 2 ? 3 * kbits
                                              : kbits * 96000 / 44100 + (sizeCode & 1);
  return 2 * words;
}

}  // namespace korvat
