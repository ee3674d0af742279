#include "demux/clean_video.h"

#include <algorithm>

namespace korvat {
namespace {

// A unit of the video ends where the next picture, group or sequence begins.
bool beginsUnit(unsigned char code) {
  return code == kPictureStart || code == kGroupStart || code == kSequenceHeader || code == kSequenceEnd;
}

// Coded video has a start code at least every slice, a row of macroblocks:
// a unit that goes this far without one is no video korvat could cut, and
// goes out as it comes. No picture is as large as the second limit.
constexpr std::uint64_t kMaxWithoutStartCode = 1 << 20;
constexpr std::size_t kMaxHeld = 64 << 20;
// A start code counts once the headers behind it can be read whole.
constexpr std::size_t kNeeded = kVideoHeaderBytes;
// Room for the largest pictures of standard definition from the start.
constexpr std::size_t kFirstRoom = 1 << 20;
constexpr std::uint64_t kWriteBatch = DiskFile::kBufferSize;

}  // namespace

bool CleanVideo::copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix) {
  packets.push_back({streamEnd, prefix});
  const std::uint32_t got = input.read(roomFor(length), length);
  heldSize += got;
  streamEnd += got;
  const bool arrived = input.error() == FileError::Ok;
  return scanHeld() && arrived;
}

bool CleanVideo::addFirst(const unsigned char* data, std::size_t n, TimeStamp prefix, bool stampUsed) {
  packets.push_back({streamEnd, prefix, false, stampUsed});
  std::copy(data, data + n, roomFor(n));
  heldSize += n;
  streamEnd += n;
  return scanHeld();
}

unsigned char* CleanVideo::roomFor(std::size_t n) {
  if (heldFirst + heldSize + n > heldRoom) {
    // What was written or dropped leaves room at the front: used again
    // before the buffer grows, so that bytes move once for many units.
    if (heldSize + n > heldRoom) {
      heldRoom = std::max({heldSize + n, 2 * heldRoom, kFirstRoom});
      std::unique_ptr<unsigned char[]> larger(new unsigned char[heldRoom]);
      std::copy(bytes(heldAt), bytes(heldAt) + heldSize, larger.get());
      held = std::move(larger);
    } else {
      std::copy(bytes(heldAt), bytes(heldAt) + heldSize, held.get());
    }
    heldFirst = 0;
  }
  return bytes(heldAt) + heldSize;
}

bool CleanVideo::scanHeld() {
  for (;;) {
    const auto from = static_cast<std::size_t>(scannedTo - heldAt);
    const std::size_t at = from + findStartCodePrefix(bytes(heldAt) + from, heldSize - from);
    if (at + kNeeded > heldSize) {
      // A start code may begin in the last bytes; the next packet tells.
      scannedTo = heldAt + std::max(from, std::min(at, heldSize >= 2 ? heldSize - 2 : 0));
      break;
    }
    const std::uint64_t code = heldAt + at;
    scannedTo = code + 3;
    lastStartCode = code;
    startCodes.push_back(code);
    if (!beginsUnit(bytes(code)[3])) continue;
    if (!endUnit(code)) return false;
    unitBegins(code, bytes(code));
  }
  if (!unitKept) return drop(scannedTo);  // nothing of a dropped unit is needed
  const bool runaway = streamEnd - std::max(lastStartCode, heldAt) > kMaxWithoutStartCode || heldSize > kMaxHeld;
  return !runaway || (release(scannedTo) && writeReady());
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
      // A decoder can start again at a sequence or group header, or at an
      // I-picture in a stream without group headers; but the video begins
      // with a sequence header all the same.
      unitKept = code == kSequenceHeader || ((code == kGroupStart || intra) && sequenceKept);
      if (intra && unitKept) {
        restart = Restart::PastLeadingB;
        intraReference = temporalReference(header);
      } else if (unitKept) {
        restart = Restart::AtIntra;
      }
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
  unitIsSequence = code == kSequenceHeader;
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
  sequenceKept = sequenceKept || (unitKept && unitIsSequence);
  return unitKept ? release(at) : drop(at);
}

bool CleanVideo::cut() {
  if (restart == Restart::None) cutsMade.push_back({picturesWritten, 0});
  // The unit in hand lost its end.
  if (unitIsPicture && unitKept) {
    --picturesWritten;
    cutsMade.back().picturesDropped += 1;
  }
  const bool written = drop(streamEnd);
  unitKept = false;
  unitIsPicture = unitIsSequence = false;
  restart = Restart::AtHeader;
  scannedTo = streamEnd;  // no start code spans the damage
  return written;
}

bool CleanVideo::finish() {
  scanHeld();
  // The end of the recording cut the unit in hand: what there is of it is kept.
  // Start codes too near the end to be read whole are still written.
  const bool written = unitKept ? release(streamEnd) && writeReady() : drop(streamEnd);
  packets.push_back({streamEnd, TimeStamp::unknown("none")});  // ends the last packet
  trimPackets();
  return written;
}

// Whole units go out in batches large enough to pass the file's buffer,
// which saves copying every byte of the video once more.
bool CleanVideo::release(std::uint64_t to) {
  readyTo = std::max(readyTo, to);
  return readyTo - heldAt < kWriteBatch || writeReady();
}

bool CleanVideo::writeReady() {
  const std::uint64_t to = readyTo;
  if (to <= heldAt) return true;
  // The scanner reads the start codes written, in the packets they came in.
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
    for (; !startCodes.empty() && startCodes.front() < stop; startCodes.pop_front()) {
      scanner.startCodeWritten(bytes(startCodes.front()));
    }
    from = stop;
  }
  const auto n = static_cast<std::uint32_t>(to - heldAt);
  scanner.countWritten(n);
  if (video.write(bytes(heldAt), n) != n) return false;
  counted.bytes += n;
  forget(to);
  return true;
}

bool CleanVideo::drop(std::uint64_t to) {
  if (!writeReady()) return false;
  if (to <= heldAt) return true;
  counted.droppedBytes += to - heldAt;
  while (!startCodes.empty() && startCodes.front() < to) startCodes.pop_front();
  forget(to);
  return true;
}

void CleanVideo::forget(std::uint64_t to) {
  const auto n = static_cast<std::size_t>(to - heldAt);
  heldFirst += n;
  heldSize -= n;
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
