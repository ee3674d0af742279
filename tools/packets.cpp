// Builds AV and PES packets byte by byte, and reads whole files, for the packing tool and the tests.
#include "tools/packets.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvat::pack {
namespace {

void appendBigEndian16(Bytes& out, std::size_t value) {
  out += static_cast<char>((value >> 8) & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

}  // namespace

Bytes avPacket(std::uint8_t streamId, std::uint8_t flags, const Bytes& payload, int lengthField) {
  if (lengthField < 0 && payload.size() > 0xFFFF) throw std::length_error("AV payload too long");
  Bytes packet = {'A', 'V', static_cast<char>(streamId), 0, 0, static_cast<char>(flags)};
  appendBigEndian16(packet, lengthField < 0 ? payload.size() : static_cast<std::size_t>(lengthField));
  return packet + payload;
}

Bytes pesPacket(std::uint8_t streamId, const Bytes& headerData, const Bytes& payload) {
  Bytes packet = {0, 0, 1, static_cast<char>(streamId)};
  appendBigEndian16(packet, 3 + headerData.size() + payload.size());
  // PTS_DTS_flags say a stamp is there only when the header data holds one.
  const char ptsFlags = headerData.size() >= 5 ? '\x80' : '\x00';
  packet += {'\x80', ptsFlags, static_cast<char>(headerData.size())};
  return packet + headerData + payload;
}

Bytes ptsField(std::uint64_t pts) {
  Bytes field(1, static_cast<char>(0x21 | ((pts >> 29) & 0x0E)));
  appendBigEndian16(field, ((pts >> 14) & 0xFFFE) | 1);
  appendBigEndian16(field, ((pts << 1) & 0xFFFE) | 1);
  return field;
}

bool readWholeFile(const std::string& path, Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  bytes = all.str();
  return static_cast<bool>(in);
}

}  // namespace korvat::pack
