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

// From the current position on, as distances from it.
struct NextLinks {
  // The next position after it where a header counts; or `limit`, or the
  // end of the file, when none does before.
  std::uint64_t counts = 0;
  // The next packet to take: the one at `counts`, unless a packet begins
  // before it that ends at or before it. Such a packet was whole, and what
  // follows it up to `counts` is damage.
  std::uint64_t take = 0;
};

// The search stops at `limit`, a place in the file where packets end (where
// a pass before dropped data). False on a read error.
bool findNextLinks(DiskFile& input, const ChainFormat& format, NextLinks& links, std::uint64_t limit = UINT64_MAX);

}  // namespace korvat
