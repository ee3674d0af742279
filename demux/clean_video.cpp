#include "demux/clean_video.h"

#include <algorithm>

namespace korvat {
namespace {

// A unit of the video ends where the next picture, group or sequence begins.
bool beginsUnit(unsigned char code) {
  return code == kPictureStart || code == kGroupStart || code == kSequenceHeader || code == kSequenceEnd;
}

// No picture is this large: a unit that grows past it goes out as it comes.
constexpr std::size_t kMaxHeld = 8 << 20;

}  // namespace

bool CleanVideo::copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix) {
  packets.push_back({streamEnd, prefix});
  const std::size_t old = held.size();
  held.resize(old + length);
  const std::uint32_t got = input.read(held.data() + old, length);
  held.resize(old + got);
  streamEnd += got;
  const bool arrived = input.error() == FileError::Ok;
  return scanHeld() && arrived;
}

bool CleanVideo::addFirst(const unsigned char* data, std::size_t n, TimeStamp prefix, bool stampUsed) {
  packets.push_back({streamEnd, prefix, false, stampUsed});
  held.insert(held.end(), data, data + n);
  streamEnd += n;
  return scanHeld();
}

bool CleanVideo::scanHeld() {
  for (;;) {
    const std::size_t from = static_cast<std::size_t>(scannedTo - heldAt);
    const std::size_t at = from + findStartCodePrefix(held.data() + from, held.size() - from);
    const std::size_t needed =
        at + kStartCodeSize <= held.size() && held[at + 3] == kPictureStart ? kPictureHeaderBytes : kStartCodeSize;
    if (at + needed > held.size()) {
      // A start code may begin in the last bytes; the next packet tells.
      scannedTo = heldAt + std::max(from, std::min(at, held.size() >= 2 ? held.size() - 2 : 0));
      break;
    }
    const std::uint64_t unitStart = heldAt + at;
    scannedTo = unitStart + 3;
    if (!beginsUnit(held[at + 3])) continue;
    if (!endUnit(unitStart)) return false;
    unitBegins(unitStart, held.data() + (unitStart - heldAt));
  }
  if (!unitKept) {
    drop(scannedTo);  // nothing of a dropped unit is needed
  } else if (held.size() > kMaxHeld) {
    return release(scannedTo);
  }
  return true;
}

// Decides whether the unit that begins here is written, once it is whole.
void CleanVideo::unitBegins(std::uint64_t at, const unsigned char* header) {
  unitAt = at;
  const unsigned char code = header[3];
  unitIsPicture = code == kPictureStart;
  const bool intra = unitIsPicture && pictureCodingType(header) == kIntraPicture;
  const bool leadingB =
      unitIsPicture && pictureCodingType(header) == kBidirectionalPicture && temporalReference(header) < intraReference;
  switch (restart) {
    case Restart::None:
      unitKept = true;
      break;
    case Restart::AtHeader:
      // A decoder can start again at a sequence or group header.
      unitKept = code == kSequenceHeader || code == kGroupStart;
      if (unitKept) restart = Restart::AtIntra;
      break;
    case Restart::AtIntra:
      // The group's first picture must be an I-picture; any other needs one lost.
      unitKept = !unitIsPicture || intra;
      if (intra) {
        restart = Restart::PastLeadingB;
        intraReference = temporalReference(header);
      } else if (unitIsPicture) {
        restart = Restart::AtHeader;
      }
      break;
    case Restart::PastLeadingB:
      // The B-pictures shown before the I-picture refer to the group before the cut.
      unitKept = !leadingB;
      if (unitIsPicture && !leadingB) restart = Restart::None;
      break;
  }
  if (!unitIsPicture) return;
  if (unitKept) {
    ++picturesWritten;
    return;
  }
  cutsMade.back().picturesDropped += 1;
  // Its packet's stamp was its own, if it was the first to begin there.
  for (auto packet = packets.rbegin(); packet != packets.rend(); ++packet) {
    if (packet->at <= at) {
      packet->pictureDropped = true;
      if (packet->started) scanner.stampUsed();  // the packet the scanner reads now
      break;
    }
  }
}

bool CleanVideo::endUnit(std::uint64_t at) {
  if (unitKept) return release(at);
  drop(at);
  return true;
}

void CleanVideo::cut() {
  if (restart == Restart::None) cutsMade.push_back({picturesWritten, 0});
  // The unit in hand lost its end.
  if (unitIsPicture && unitKept) {
    --picturesWritten;
    cutsMade.back().picturesDropped += 1;
  }
  drop(streamEnd);
  unitKept = false;
  unitIsPicture = false;
  restart = Restart::AtHeader;
  scannedTo = streamEnd;  // no start code spans the damage
}

bool CleanVideo::finish() {
  scanHeld();
  // The end of the recording cut the unit in hand: what there is of it is kept.
  const bool written = unitKept ? release(streamEnd) : (drop(streamEnd), true);
  packets.push_back({streamEnd, TimeStamp::unknown("none")});  // ends the last packet
  trimPackets();
  return written;
}

bool CleanVideo::release(std::uint64_t to) {
  if (to <= heldAt) return true;
  // The scanner reads what is written, with the packets it came in.
  std::uint64_t from = heldAt;
  for (std::size_t i = 0; i < packets.size() && from < to; ++i) {
    Packet& packet = packets[i];
    const std::uint64_t end = i + 1 < packets.size() ? packets[i + 1].at : streamEnd;
    if (end <= from) continue;
    const std::uint64_t stop = std::min(end, to);
    if (!packet.started) {
      packet.started = true;
      counted.packets += 1;
      scanner.startPacket(packet.prefix, packet.pictureDropped);
    }
    scanner.scanWritten(held.data() + (from - heldAt), static_cast<std::size_t>(stop - from));
    from = stop;
  }
  const auto n = static_cast<std::uint32_t>(to - heldAt);
  if (video.write(held.data(), n) != n) return false;
  counted.bytes += n;
  held.erase(held.begin(), held.begin() + n);
  heldAt = to;
  trimPackets();
  return true;
}

void CleanVideo::drop(std::uint64_t to) {
  if (to <= heldAt) return;
  const auto n = static_cast<std::size_t>(to - heldAt);
  counted.droppedBytes += n;
  held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(n));
  heldAt = to;
  trimPackets();
}

// Packets wholly behind what is written or dropped are done with; one that
// nothing of was written was dropped whole.
void CleanVideo::trimPackets() {
  while (packets.size() > 1 && packets[1].at <= heldAt) {
    if (!packets.front().started) counted.droppedPackets += 1;
    packets.pop_front();
  }
}

}  // namespace korvat
