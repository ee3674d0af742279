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
  // The search reached its bound without a header that counts: the bytes up
  // to `take` are damage, and so are those after it, up to a packet to take
  // that a search from `take` finds.
  bool damageGoesOn = false;
};

// How far a search for the next packet looks ahead: a pipe holds this much
// of what is still to come. Files are searched in the same steps, so that a
// split reads the same from both.
constexpr std::uint64_t kSearchBound = 1 << 20;
static_assert(kSearchBound + 2 * (2 * kMaxChainHeader + UINT16_MAX) <= DiskFile::kMaxLookAhead,
              "a pipe holds the last window of a search");

// The search stops at `limit`, a place in the file where packets end (where
// a pass before dropped data), and looks `bound` bytes ahead at most (for a
// pipe, kSearchBound at most). False on a read error.
bool findNextLinks(DiskFile& input, const ChainFormat& format, NextLinks& links, std::uint64_t limit = UINT64_MAX,
                   std::uint64_t bound = UINT64_MAX);

// Where a pass that skips damage stands before a packet header.
enum class Footing {
  Intact,             // the header counts: the packet is taken
  WholeBeforeDamage,  // the header does not count, but its packet ends before the next one that does: taken
  Damaged,            // the bytes up to the next packet to take are damage
};

struct Resync {
  Footing footing = Footing::Intact;
  std::uint64_t skip = 0;     // when Damaged: the bytes to skip
  bool damageGoesOn = false;  // when Damaged: the stretch goes on past them
  bool hasHeader = false;     // a header with the chain's sync lies here (whether it counts or not), once read
  unsigned char header[kMaxChainHeader] = {};
};

// When the header is read, which decides where a read error ends a pass: the
// second pass needs it before the search, since the packet may reach past a
// gap; the first reads it only where its header does not count, after the
// search, as it always has.
enum class HeaderRead { BeforeSearch, AfterSearch };

// The one damage resync of both passes, before each header: a header that
// does not count, and the bytes up to the next packet to take, are damage,
// except where the header has its sync and the next that counts lies at or
// past its packet's end: that packet was whole. A packet that reaches past
// `limit` (a distance from here, where a pass before dropped data) lost its
// end and is damage too. Does not move the position. False on a read error.
// The search looks `bound` bytes ahead at most.
bool resyncHere(DiskFile& input, const ChainFormat& format, std::uint64_t limit, std::uint64_t bound, HeaderRead when,
                Resync& here);

}  // namespace korvat
