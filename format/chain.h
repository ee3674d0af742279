// Both of korvat's packet formats are chains: a header that begins with a
// fixed sync and holds the big-endian length of what follows it, then the
// next header right after. In a damaged file a header counts only where the
// next one begins where its length says, or where the file ends inside or
// right after its packet, so that a stray sync in a payload cannot derail
// the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/big_endian.h"

namespace korvat {

// The largest header of the two formats.
constexpr std::size_t kMaxChainHeader = 8;

struct ChainFormat {
  const char* sync;
  std::size_t syncSize;
  std::size_t lengthOffset;  // of the big-endian 16-bit length
  std::size_t headerSize;    // the bytes before those that the length counts

  // The bytes that a packet and the sync of the next one span, at most.
  constexpr std::size_t checkSpan() const { return headerSize + UINT16_MAX + syncSize; }
};

enum class LinkCheck { Counts, DoesNot, NeedMoreBytes };

// `data[0, n)` are the bytes from a candidate position on; `fileEnds` says
// the file holds no more.
inline LinkCheck checkLink(const ChainFormat& format, const unsigned char* data, std::size_t n, bool fileEnds) {
  // A sync that the end of the file cuts short counts as far as it goes.
  // Compared byte by byte: a call to memcmp for two bytes costs more than the check.
  const auto syncAt = [&format](const unsigned char* at, std::size_t available) {
    const std::size_t n = available < format.syncSize ? available : format.syncSize;
    for (std::size_t i = 0; i < n; ++i) {
      if (at[i] != static_cast<unsigned char>(format.sync[i])) return false;
    }
    return true;
  };
  if (n < format.headerSize) {
    if (!fileEnds) return LinkCheck::NeedMoreBytes;
    return syncAt(data, n) ? LinkCheck::Counts : LinkCheck::DoesNot;
  }
  if (!syncAt(data, format.syncSize)) return LinkCheck::DoesNot;
  const std::size_t next = format.headerSize + bigEndian16(data + format.lengthOffset);
  if (n < next + format.syncSize && !fileEnds) return LinkCheck::NeedMoreBytes;
  if (n <= next) return LinkCheck::Counts;
  return syncAt(data + next, n - next) ? LinkCheck::Counts : LinkCheck::DoesNot;
}

}  // namespace korvat
