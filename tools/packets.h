// Recordings byte by byte, for the packing tool, the tests and the fuzz
// target: the one place outside korvat that builds AV and PES packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvat::pack {

using Bytes = std::string;

// One AV packet. The length field is the payload's size unless given (a
// length that lies, for damaged recordings).
Bytes avPacket(std::uint8_t streamId, std::uint8_t flags, const Bytes& payload, int lengthField = -1);
// One PES packet: 00 00 01 id, length, two flag bytes, header data, payload;
// its flags say it has a PTS when the header data holds one (ptsField).
Bytes pesPacket(std::uint8_t streamId, const Bytes& headerData, const Bytes& payload);
// The 5-byte PTS field of a PES header, for a 33-bit time stamp.
Bytes ptsField(std::uint64_t pts);

// False when the file cannot be read.
bool readWholeFile(const std::string& path, Bytes& bytes);

}  // namespace korvat::pack
