// Finding the packets of a damaged chain: looks ahead and searches, never moving the position.
#include "file/chain_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvat {

namespace {

// Whether a packet that begins inside data[0, n) ends exactly at n: the last
// of whole packets there. A stray sync in a payload cut short by the end of
// the file all but never has that length too.
bool packetInsideEndsAt(const ChainFormat& format, const unsigned char* data, std::size_t n) {
  for (std::size_t i = 1; i + format.headerSize <= n; ++i) {
    if (std::memcmp(data + i, format.sync, format.syncSize) == 0 &&
        i + format.headerSize + bigEndian16(data + i + format.lengthOffset) == n) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool checkLinkHere(DiskFile& input, const ChainFormat& format, LinkCheck& verdict) {
  const unsigned char* data = nullptr;
  // As a rule the packet and the next sync are read ahead already.
  const std::uint32_t ahead = input.readAheadBytes(data);
  if (ahead >= format.headerSize &&
      ahead >= format.headerSize + bigEndian16(data + format.lengthOffset) + format.syncSize) {
    verdict = checkLink(format, data, ahead, false);
    return true;
  }
  std::uint32_t want = static_cast<std::uint32_t>(format.headerSize);
  for (;;) {
    const std::uint32_t n = input.peek(want, data);
    if (input.error() == FileError::ReadFailed) return false;
    verdict = checkLink(format, data, n, n < want);
    // A packet that the end of the file cuts short was cut by damage, not by
    // the end, when a whole packet inside it ends where the file does: its
    // length would swallow it.
    const bool endsInside = n >= format.headerSize && n < format.headerSize + bigEndian16(data + format.lengthOffset);
    if (verdict == LinkCheck::Counts && endsInside && packetInsideEndsAt(format, data, n)) verdict = LinkCheck::DoesNot;
    if (verdict != LinkCheck::NeedMoreBytes) return true;
    // The header is there: now as far as the next one's sync.
    want = static_cast<std::uint32_t>(format.headerSize + bigEndian16(data + format.lengthOffset) + format.syncSize);
  }
}

namespace {

// Packets met on the way whose successor did not count, by where they end.
class WholeCandidates {
 public:
  void add(std::uint64_t at, std::uint64_t end) {
    if (ends.size() < kMax) ends.push_back({at, end});
  }
  // The first of them that ends at or before `boundary`, else `boundary`.
  std::uint64_t firstEndingBy(std::uint64_t boundary) const {
    for (const auto& [at, end] : ends) {
      if (end <= boundary) return at;
    }
    return boundary;
  }
  // Where a search that stopped at `bound` goes on: at the first of them, whole
  // when it ends by the bound (the next header that counts lies past it), and
  // told only by a search from there when it does not; at the bound when
  // there is none. False when the damage goes on past that place.
  bool goOnFrom(std::uint64_t bound, std::uint64_t& from) const {
    if (ends.empty()) {
      from = bound;
      return false;
    }
    from = ends.front().at;
    return ends.front().end <= bound;
  }

 private:
  // A stray sync in damaged bytes can look like a header; a few are plenty.
  static constexpr std::size_t kMax = 16;
  struct Candidate {
    std::uint64_t at, end;
  };
  std::vector<Candidate> ends;
};

}  // namespace

bool findNextLinks(DiskFile& input, const ChainFormat& format, NextLinks& links, std::uint64_t limit,
                   std::uint64_t bound) {
  // Each window holds any packet that begins in its first half whole.
  const auto window = static_cast<std::uint32_t>(2 * format.checkSpan());
  if (!input.seekable()) bound = std::min(bound, kSearchBound);
  const std::uint64_t start = input.tell();
  WholeCandidates candidates;
  const auto backToStart = [&] {
    return input.seekCur(static_cast<std::int64_t>(start) - static_cast<std::int64_t>(input.tell()));
  };
  const auto found = [&](std::uint64_t counts) {
    links = NextLinks{counts, candidates.firstEndingBy(counts), false};
    return backToStart();
  };
  // A pipe is looked into without moving, as far as its writer sent, so
  // that what came after damage is split without waiting for a window more;
  // a window is waited for whole only when a packet in it needs more bytes.
  // A file is moved in and back.
  bool wholeWindow = false;
  const auto windowAt = [&](std::uint64_t at, const unsigned char*& data) -> std::uint32_t {
    if (!input.seekable()) {
      return input.lookAhead(static_cast<std::uint32_t>(at), window, data,
                             wholeWindow ? DiskFile::Wait::ForAll : DiskFile::Wait::ForSome);
    }
    if (!input.seekCur(static_cast<std::int64_t>(start + at - input.tell()))) return 0;
    return input.peek(window, data);
  };
  std::uint64_t at = 1;  // where the window begins, from the start
  for (;;) {
    if (at >= limit) return found(limit);
    if (at >= bound) {
      links.counts = bound;
      links.damageGoesOn = !candidates.goOnFrom(bound, links.take);
      return backToStart();
    }
    const unsigned char* data = nullptr;
    const std::uint32_t n = windowAt(at, data);
    if (input.error() == FileError::ReadFailed || input.error() == FileError::SeekRefused) return false;
    const bool fileEnds = input.error() == FileError::ShortRead;
    const std::uint64_t scan = std::min<std::uint64_t>({n, limit - at, bound - at});
    LinkCheck verdict = LinkCheck::DoesNot;
    std::uint32_t i = 0;
    for (; i < scan && verdict == LinkCheck::DoesNot; ++i) {
      if (data[i] != static_cast<unsigned char>(format.sync[0])) continue;
      verdict = checkLink(format, data + i, n - i, fileEnds);
      if (verdict == LinkCheck::DoesNot && n - i >= format.headerSize &&
          std::memcmp(data + i, format.sync, format.syncSize) == 0) {
        candidates.add(at + i, at + i + format.headerSize + bigEndian16(data + i + format.lengthOffset));
      }
    }
    wholeWindow = verdict == LinkCheck::NeedMoreBytes;
    if (wholeWindow) {
      at += i - 1;  // the next window begins with that candidate
      continue;
    }
    if (verdict == LinkCheck::Counts) return found(at + i - 1);
    if (fileEnds && scan == n) return found(at + n);
    at += scan;
  }
}

bool resyncHere(DiskFile& input, const ChainFormat& format, std::uint64_t limit, std::uint64_t bound, HeaderRead when,
                Resync& here) {
  here = Resync{};
  LinkCheck verdict;
  if (!checkLinkHere(input, format, verdict)) return false;
  std::uint64_t end = 0;  // of the packet, once its header is read
  const auto readHeader = [&] {
    const unsigned char* bytes = nullptr;
    here.hasHeader = input.peek(static_cast<std::uint32_t>(format.headerSize), bytes) == format.headerSize &&
                     std::memcmp(bytes, format.sync, format.syncSize) == 0;
    if (input.error() == FileError::ReadFailed) return false;
    if (here.hasHeader) std::copy(bytes, bytes + format.headerSize, here.header);
    end = here.hasHeader ? format.headerSize + bigEndian16(here.header + format.lengthOffset) : 0;
    return true;
  };
  if (when == HeaderRead::BeforeSearch && !readHeader()) return false;
  const bool pastLimit = limit < end;
  if (!pastLimit && verdict != LinkCheck::DoesNot) return true;
  NextLinks links;
  if (!findNextLinks(input, format, links, limit, bound)) return false;
  if (when == HeaderRead::AfterSearch && !readHeader()) return false;
  if (!pastLimit && here.hasHeader && links.counts >= end) {
    here.footing = Footing::WholeBeforeDamage;
    return true;
  }
  here.footing = Footing::Damaged;
  here.skip = links.take;
  here.damageGoesOn = links.damageGoesOn;
  return true;
}

}  // namespace korvat
