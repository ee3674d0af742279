// PES packets as the stripping pass reads them: 00 00 01, a stream id, a
// big-endian length of what follows, two flag bytes, a header data length,
// that many optional header bytes, then the payload. The payload is MPEG
// audio, whose frames begin with a 12-bit sync (0xFFF).
#pragma once

#include <cstdint>

#include "format/big_endian.h"
#include "format/chain.h"

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
inline std::uint8_t streamId(const unsigned char* packet) { return packet[3]; }
// MPEG audio streams are 0xC0 to 0xDF; AC3 comes in private stream 1.
inline bool isMpegAudio(std::uint8_t id) { return id >= 0xC0 && id <= 0xDF; }
constexpr std::uint8_t kPrivateStream1 = 0xBD;
inline std::uint16_t packetLength(const unsigned char* packet) { return bigEndian16(packet + 4); }
inline std::uint8_t headerDataLength(const unsigned char* packet) { return packet[kHeaderDataLengthOffset]; }

constexpr ChainFormat kChain = {"\0\0\1", 3, 4, kFixedSize};

// Where the payload of a packet begins, and how long it is when its body
// holds `got` bytes. A body too short for its own header (byte 8 then is
// stale) has no payload.
inline std::uint32_t payloadOffset(const unsigned char* packet) {
  return kFixedSize + kHeaderBytesAfterLength + headerDataLength(packet);
}
inline std::uint32_t payloadLength(const unsigned char* packet, std::uint32_t got) {
  const std::uint32_t header = kHeaderBytesAfterLength + headerDataLength(packet);
  return got > header ? got - header : 0;
}

// Whether the header holds a presentation time stamp: the top flag bit of
// byte 7, and room for its five bytes.
inline bool hasPresentationTime(const unsigned char* packet) {
  return (packet[7] & 0x80) != 0 && headerDataLength(packet) >= 5;
}
// Its low 32 bits, from the 33 spread over five bytes with marker bits.
inline std::uint32_t presentationTime(const unsigned char* packet) {
  const unsigned char* pts = packet + kHeaderDataLengthOffset + 1;
  const std::uint64_t bits = (std::uint64_t{pts[0]} >> 1 & 0x07) << 30 |
                             std::uint64_t{bigEndian16(pts + 1)} >> 1 << 15 | bigEndian16(pts + 3) >> 1;
  return static_cast<std::uint32_t>(bits);
}

}  // namespace korvat::pes
