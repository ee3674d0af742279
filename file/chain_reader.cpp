#include "file/chain_reader.h"

namespace korvat {

bool checkLinkHere(DiskFile& input, const ChainFormat& format, LinkCheck& verdict) {
  const unsigned char* data = nullptr;
  std::uint32_t want = static_cast<std::uint32_t>(format.headerSize);
  for (;;) {
    const std::uint32_t n = input.peek(want, data);
    if (input.error() == FileError::ReadFailed) return false;
    verdict = checkLink(format, data, n, n < want);
    if (verdict != LinkCheck::NeedMoreBytes) return true;
    // The header is there: now as far as the next one's sync.
    want = static_cast<std::uint32_t>(format.headerSize + bigEndian16(data + format.lengthOffset) + format.syncSize);
  }
}

bool distanceToNextLink(DiskFile& input, const ChainFormat& format, std::uint64_t& distance) {
  // Each window holds any packet that begins in its first half whole.
  const auto window = static_cast<std::uint32_t>(2 * format.checkSpan());
  const std::uint64_t start = input.tell();
  std::uint64_t at = 1;  // where the window begins, from the start
  for (;;) {
    if (!input.seekCur(static_cast<std::int64_t>(start + at - input.tell()))) return false;
    const unsigned char* data = nullptr;
    const std::uint32_t n = input.peek(window, data);
    if (input.error() == FileError::ReadFailed) return false;
    const bool fileEnds = n < window;
    LinkCheck verdict = LinkCheck::DoesNot;
    std::uint32_t i = 0;
    for (; i < n && verdict == LinkCheck::DoesNot; ++i) {
      if (data[i] == static_cast<unsigned char>(format.sync[0])) verdict = checkLink(format, data + i, n - i, fileEnds);
    }
    if (verdict == LinkCheck::NeedMoreBytes) {
      at += i - 1;  // the next window begins with that candidate
      continue;
    }
    if (verdict == LinkCheck::Counts || fileEnds) {
      distance = verdict == LinkCheck::Counts ? at + i - 1 : at + n;
      return input.seekCur(static_cast<std::int64_t>(start) - static_cast<std::int64_t>(input.tell()));
    }
    at += n;
  }
}

}  // namespace korvat
