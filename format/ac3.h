// AC3 sync frames (ATSC A/52), as DVB broadcasts carry them in private
// stream 1: a 16-bit sync word, a CRC, the sample rate and frame size codes
// (from which the frame's length follows), then the bit stream information,
// which says how the channels are laid out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvat {

constexpr std::uint32_t kAc3HeaderSize = 5;
// The sync information and the bit stream information up to the dialogue
// level: what a frame of silence copies from the frames around it.
constexpr std::uint32_t kAc3LayoutSize = 8;
constexpr std::uint32_t kAc3SamplesPerFrame = 1536;

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

// The fields of a frame's first kAc3LayoutSize bytes.
struct Ac3Layout {
  std::uint32_t length = 0, sampleRate = 0;
  std::uint8_t sampleRateCode = 0, frameSizeCode = 0;
  std::uint8_t bsid = 0, bsmod = 0, acmod = 0;  // version, service, coding mode
  std::uint8_t centreMix = 0, surroundMix = 0, surroundMode = 0;
  bool lfe = false;
  std::uint8_t dialogueLevel = 0;

  // False where no AC3 frame begins, or one of a later syntax (E-AC3).
  static bool parse(const unsigned char* at, Ac3Layout& layout);
  // The full-bandwidth channels the coding mode carries (the LFE aside).
  unsigned channels() const;
};

// The CRC of A/52 (x^16 + x^15 + x^2 + 1, from 0, most significant bit first).
std::uint16_t ac3Crc(const unsigned char* data, std::size_t n);
// Whether both CRCs of a frame of `length` bytes hold: the first over its
// first five eighths, the second over all of it.
bool ac3CrcsHold(const unsigned char* frame, std::uint32_t length);
// Sets both CRCs of a frame of `length` bytes, so that they hold.
void writeAc3Crcs(unsigned char* frame, std::uint32_t length);
// A frame of the same layout and length that decodes to silence: every
// block without mantissas (A/52's zero SNR offsets) and without dither, the
// first block sending every strategy, both CRCs right.
std::vector<unsigned char> silentAc3Frame(const Ac3Layout& like);

}  // namespace korvat
