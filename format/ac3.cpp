// AC3 frames: their layout, their CRCs, and a frame of silence.
#include "format/ac3.h"

#include <array>

namespace korvat {
namespace {

constexpr std::uint32_t kCrcPolynomial = 0x18005;  // with its x^16 term

constexpr std::array<std::uint16_t, 256> crcTable() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t crc = byte << 8;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x8000 ? (crc << 1) ^ kCrcPolynomial : crc << 1;
    table[byte] = static_cast<std::uint16_t>(crc);
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = crcTable();

// Bytes into the frame where the first CRC's span ends.
std::uint32_t fiveEighths(std::uint32_t length) {
  const std::uint32_t words = length / 2;
  return 2 * ((words >> 1) + (words >> 3));
}

class BitReader {
 public:
  explicit BitReader(const unsigned char* bytes) : bytes(bytes) {}
  std::uint8_t get(unsigned bits) {
    unsigned value = 0;
    for (unsigned i = 0; i < bits; ++i, ++at) value = value << 1 | (bytes[at / 8] >> (7 - at % 8) & 1);
    return static_cast<std::uint8_t>(value);
  }

 private:
  const unsigned char* bytes;
  std::size_t at = 0;
};

class BitWriter {
 public:
  explicit BitWriter(std::vector<unsigned char>& bytes) : bytes(bytes) {}
  // At most 32 bits at a time.
  void put(std::uint32_t value, unsigned bits) {
    for (unsigned i = bits; i-- > 0; ++at) {
      if (value >> i & 1) bytes[at / 8] = static_cast<unsigned char>(bytes[at / 8] | 0x80 >> at % 8);
    }
  }
  void flag(bool on) { put(on ? 1 : 0, 1); }

 private:
  std::vector<unsigned char>& bytes;
  std::size_t at = 0;
};

// Exponent strategy D45: one exponent for every four mantissas.
constexpr unsigned kD45 = 3;
// A bandwidth code of 0 ends the mantissas at 73: six groups of exponents at D45.
constexpr unsigned kExponentGroups = 6;
// Three differential exponents of 0 (each sent as 0 + 2, in base 5).
constexpr unsigned kUnchangedExponents = 2 * 25 + 2 * 5 + 2;
constexpr unsigned kAbsoluteExponent = 12;

// The bit stream information, as much as a silent frame needs of it.
void writeStreamInfo(BitWriter& bits, const Ac3Layout& like) {
  bits.put(like.bsid, 5);
  bits.put(like.bsmod, 3);
  bits.put(like.acmod, 3);
  if ((like.acmod & 1) != 0 && like.acmod != 1) bits.put(like.centreMix, 2);
  if ((like.acmod & 4) != 0) bits.put(like.surroundMix, 2);
  if (like.acmod == 2) bits.put(like.surroundMode, 2);
  bits.flag(like.lfe);
  bits.put(like.dialogueLevel, 5);
  bits.put(0, 3);  // no compression, language or production information
  if (like.acmod == 0) {
    bits.put(like.dialogueLevel, 5);  // of the second mono channel
    bits.put(0, 3);
  }
  bits.put(0, 5);  // no copyright or original flag, time codes or extra information
}

// One audio block. The first sends every strategy afresh; the others reuse it.
void writeSilentBlock(BitWriter& bits, const Ac3Layout& like, bool first) {
  const unsigned channels = like.channels();
  bits.put(0, channels);  // long transforms
  bits.put(0, channels);  // no dither: a mantissa without bits is then zero, not noise
  bits.flag(false);       // no dynamic range word
  if (like.acmod == 0) bits.flag(false);
  bits.flag(first);  // coupling strategy: none
  if (first) bits.flag(false);
  if (like.acmod == 2) {
    bits.flag(first);  // rematrixing: off in all four bands
    if (first) bits.put(0, 4);
  }
  for (unsigned ch = 0; ch < channels; ++ch) bits.put(first ? kD45 : 0, 2);
  if (like.lfe) bits.flag(first);
  if (!first) {
    bits.put(0, 4);  // no bit allocation, SNR offsets, delta allocation or skipped bytes
    return;
  }
  for (unsigned ch = 0; ch < channels; ++ch) bits.put(0, 6);  // bandwidth code
  for (unsigned ch = 0; ch < channels; ++ch) {
    bits.put(kAbsoluteExponent, 4);
    for (unsigned group = 0; group < kExponentGroups; ++group) bits.put(kUnchangedExponents, 7);
    bits.put(0, 2);  // gain range
  }
  if (like.lfe) {
    bits.put(kAbsoluteExponent, 4);
    bits.put(kUnchangedExponents, 7);
    bits.put(kUnchangedExponents, 7);
  }
  bits.flag(true);  // bit allocation parameters, as encoders commonly send them
  bits.put(2, 2);
  bits.put(1, 2);
  bits.put(1, 2);
  bits.put(2, 2);
  bits.put(4, 3);
  bits.flag(true);  // SNR offsets, all 0: no mantissa gets a bit
  bits.put(0, 6);
  for (unsigned ch = 0; ch < channels + (like.lfe ? 1 : 0); ++ch) bits.put(0, 7);  // no fine offset or gain
  bits.put(0, 2);  // no delta bit allocation, nothing skipped
}

}  // namespace

bool Ac3Layout::parse(const unsigned char* at, Ac3Layout& layout) {
  static constexpr std::uint32_t kSampleRates[3] = {48000, 44100, 32000};
  layout.length = ac3FrameLength(at);
  if (layout.length == 0) return false;
  BitReader bits(at + 4);
  layout.sampleRateCode = bits.get(2);
  layout.frameSizeCode = bits.get(6);
  layout.sampleRate = kSampleRates[layout.sampleRateCode];
  layout.bsid = bits.get(5);
  if (layout.bsid > 8) return false;
  layout.bsmod = bits.get(3);
  layout.acmod = bits.get(3);
  layout.centreMix = (layout.acmod & 1) != 0 && layout.acmod != 1 ? bits.get(2) : 0;
  layout.surroundMix = (layout.acmod & 4) != 0 ? bits.get(2) : 0;
  layout.surroundMode = layout.acmod == 2 ? bits.get(2) : 0;
  layout.lfe = bits.get(1) != 0;
  layout.dialogueLevel = bits.get(5);
  return true;
}

unsigned Ac3Layout::channels() const {
  static constexpr unsigned kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  return kChannels[acmod & 7];
}

std::uint16_t ac3Crc(const unsigned char* data, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) crc = static_cast<std::uint16_t>(crc << 8 ^ kCrcTable[(crc >> 8) ^ data[i]]);
  return crc;
}

bool ac3CrcsHold(const unsigned char* frame, std::uint32_t length) {
  return ac3Crc(frame + 2, fiveEighths(length) - 2) == 0 && ac3Crc(frame + 2, length - 2) == 0;
}

std::vector<unsigned char> silentAc3Frame(const Ac3Layout& like) {
  std::vector<unsigned char> frame(like.length, 0);
  BitWriter bits(frame);
  bits.put(0x0B77, 16);
  bits.put(0, 16);  // the first CRC, set below
  bits.put(like.sampleRateCode, 2);
  bits.put(like.frameSizeCode, 6);
  writeStreamInfo(bits, like);
  for (int block = 0; block < 6; ++block) writeSilentBlock(bits, like, block == 0);
  // The rest is auxiliary data of zeros, with no length sent: its last bit
  // before the second CRC says so, and is 0 already.
  writeAc3Crcs(frame.data(), like.length);
  return frame;
}

void writeAc3Crcs(unsigned char* frame, std::uint32_t length) {
  const std::uint32_t split = fiveEighths(length);
  // The first CRC stands before the bytes it covers: it is the value the
  // CRC of those bytes takes when run back through them (a division by x
  // for each bit, and the 16 of the CRC itself), to where it stands.
  std::uint32_t crc = ac3Crc(frame + 4, split - 4);
  for (std::uint32_t bit = 0; bit < 8 * (split - 4) + 16; ++bit) crc = crc & 1 ? (crc ^ kCrcPolynomial) >> 1 : crc >> 1;
  frame[2] = static_cast<unsigned char>(crc >> 8);
  frame[3] = static_cast<unsigned char>(crc);
  // The second stands after all it covers; from the five eighths on, since
  // the CRC of what comes before is 0 by then.
  const std::uint16_t last = ac3Crc(frame + split, length - split - 2);
  frame[length - 2] = static_cast<unsigned char>(last >> 8);
  frame[length - 1] = static_cast<unsigned char>(last);
}

}  // namespace korvat
