// PES packets as the stripping pass reads them: 00 00 01, a stream id, a
// big-endian length of what follows, two flag bytes, a header data length,
// that many optional header bytes, then the payload. The payload is MPEG
// audio, whose frames begin with a 12-bit sync (0xFFF).
#pragma once

#include <cstdint>

#include "format/big_endian.h"

namespace korvat::pes {

constexpr std::uint32_t kFixedSize = 6;  // start code, stream id, packet length
constexpr std::uint32_t kMaxPacketLength = UINT16_MAX;
// The header bytes between the length field and the optional fields: two
// flag bytes and the header data length.
constexpr std::uint32_t kHeaderBytesAfterLength = 3;
constexpr std::uint32_t kHeaderDataLengthOffset = 8;

inline bool hasStartCode(const unsigned char* packet) {
  return packet[0] == 0x00 && packet[1] == 0x00 && packet[2] == 0x01;
}
// Audio stream ids (0xC0...) are even; an odd id marks another kind of stream.
inline bool isNonAudio(const unsigned char* packet) { return (packet[3] & 0x01) != 0; }
inline std::uint16_t packetLength(const unsigned char* packet) { return bigEndian16(packet + 4); }
inline std::uint8_t headerDataLength(const unsigned char* packet) { return packet[kHeaderDataLengthOffset]; }

}  // namespace korvat::pes
