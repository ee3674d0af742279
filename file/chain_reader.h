// Reading a chain of packets that may be damaged: whether the header at the
// current position counts, and how far it is to the next one that does.
// Both look ahead without moving the position.
#pragma once

#include <cstdint>

#include "file/disk_file.h"
#include "format/chain.h"

namespace korvat {

// False on a read error.
bool checkLinkHere(DiskFile& input, const ChainFormat& format, LinkCheck& verdict);

// The distance from the current position to the next position after it
// where a header counts, or to the end of the file when none does. False on
// a read error.
bool distanceToNextLink(DiskFile& input, const ChainFormat& format, std::uint64_t& distance);

}  // namespace korvat
