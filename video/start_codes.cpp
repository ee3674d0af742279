// Start codes found in the video bytes however they come.
#include "video/start_codes.h"

#include <algorithm>
#include <cstring>

namespace korvat {
namespace {

bool isPrefix(const unsigned char* at) { return at[0] == 0 && at[1] == 0 && at[2] == 1; }

}  // namespace

void StartCodeFinder::packetBegins(TimeStamp packetStamp) {
  ++packets;
  stamp = packetStamp;
}

void StartCodeFinder::find(const unsigned char* data, std::size_t n, const ReadMarks* prefixes) {
  found.clear();
  if (n > 0) bytesCame();
  findAcrossCarry(data, n);
  if (n >= kVideoHeaderBytes) {
    const std::size_t last = n - kVideoHeaderBytes;  // the last position whose header is here whole
    if (prefixes) {
      for (const std::uint32_t* p = prefixes->first; p != prefixes->last; ++p) {
        const auto at = static_cast<std::size_t>(prefixes->base + *p - data);
        if (at > last) break;
        hand(data + at, kVideoHeaderBytes, end + at, packets - 1, packets - 1);
      }
    } else {
      for (std::size_t at = 0; (at += findStartCodePrefix(data + at, last + 3 - at)) <= last; ++at) {
        hand(data + at, kVideoHeaderBytes, end + at, packets - 1, packets - 1);
      }
    }
  }
  carryOn(data, n);
  end += n;
  settle();
}

void StartCodeFinder::bytesCame() {
  const Stamped& latest = recent[(recentNext + kStampsKept - 1) % kStampsKept];
  if (recentNext > 0 && latest.packet == packets - 1) return;
  recent[recentNext++ % kStampsKept] = {packets - 1, stamp};
}

TimeStamp StartCodeFinder::stampOf(std::uint64_t packet) const {
  for (const Stamped& known : recent) {
    if (known.packet == packet) return known.stamp;
  }
  return stamp;  // not reached: every byte carried came in one of them
}

// The start codes that begin in the carried bytes and whose headers these bytes complete.
void StartCodeFinder::findAcrossCarry(const unsigned char* data, std::size_t n) {
  if (carried == 0 || n == 0 || std::find(carry, carry + carried, 0) == carry + carried) return;
  unsigned char joined[2 * kCarried];
  const std::size_t more = std::min(n, kCarried);
  std::memcpy(joined, carry, carried);
  std::memcpy(joined + carried, data, more);
  const std::size_t all = carried + more;
  for (std::size_t k = 0; k < carried && k + kVideoHeaderBytes <= all; ++k) {
    if (!isPrefix(joined + k)) continue;
    const std::uint64_t codePacket = k + 3 < carried ? owners[k + 3] : packets - 1;
    hand(joined + k, kVideoHeaderBytes, end - carried + k, owners[k], codePacket);
  }
}

void StartCodeFinder::hand(const unsigned char* header, std::size_t size, std::uint64_t at, std::uint64_t packet,
                           std::uint64_t codePacket) {
  StartCode code;
  std::memcpy(code.header, header, size);
  code.size = size;
  code.at = at;
  code.packet = packet;
  code.packetStamp = packet == packets - 1 ? stamp : stampOf(packet);
  code.stampInReach = codePacket - packet < kPacketsInReach;
  found.push_back(code);
}

// Keeps the last bytes, which no start code was looked for at yet.
void StartCodeFinder::carryOn(const unsigned char* data, std::size_t n) {
  if (n >= kCarried) {  // as a rule: the bytes carried are all these bytes'
    std::memcpy(carry, data + n - kCarried, kCarried);
    std::fill(owners, owners + kCarried, packets - 1);
    carried = kCarried;
    return;
  }
  unsigned char bytes[2 * kCarried];
  std::uint64_t who[2 * kCarried];
  std::copy(carry, carry + carried, bytes);
  std::copy(owners, owners + carried, who);
  std::copy(data, data + n, bytes + carried);
  std::fill(who + carried, who + carried + n, packets - 1);
  const std::size_t all = carried + n;
  carried = std::min(kCarried, all);
  std::copy(bytes + all - carried, bytes + all, carry);
  std::copy(who + all - carried, who + all, owners);
}

// Where the next start code may begin: at the first one carried, or in the
// last two bytes.
void StartCodeFinder::settle() {
  std::uint64_t next = end >= 2 ? end - 2 : 0;
  for (std::size_t k = 0; k + 2 < carried; ++k) {
    if (isPrefix(carry + k)) {
      next = std::min(next, end - carried + k);
      break;
    }
  }
  settledTo = std::max(settledTo, next);
}

void StartCodeFinder::findUnfinished() {
  found.clear();
  for (std::size_t k = 0; k + kStartCodeSize <= carried; ++k) {
    if (isPrefix(carry + k)) hand(carry + k, carried - k, end - carried + k, owners[k], owners[k + 3]);
  }
}

void StartCodeFinder::forgetCarry() {
  carried = 0;
  settledTo = end;
}

}  // namespace korvat
