#include "demux/video_scanner.h"

#include <algorithm>
#include <cstring>

namespace korvat {

void VideoScanner::feed(const unsigned char* payload, std::size_t n, std::size_t written, TimeStamp prefix) {
  startPacket(prefix);
  // A picture that begins before the written part takes the prefix's stamp.
  if (written > 0 && findStartCode(payload, std::min(n, written + kStartCodeSize - 1), kPictureStart) < written) {
    packets[(packetCount - 1) % kPacketsKept].pictureBegun = true;
  }
  scanWritten(payload + written, n - written);
}

void VideoScanner::startPacket(TimeStamp prefix, bool stampUsed) {
  packets[packetCount++ % kPacketsKept] = {prefix.known, prefix.ticks, stampUsed};
}

void VideoScanner::scanWritten(const unsigned char* data, std::size_t n) {
  if (done()) return;
  scan(data, n);
  countWritten(n);
}

void VideoScanner::startCodeWritten(const unsigned char* header) {
  startCodeAt(header, kVideoHeaderBytes, packetCount - 1);
}

void VideoScanner::countWritten(std::size_t n) {
  if (firstSettled) return;
  searched += n;
  if (searched >= kFirstPictureLimit) {
    firstSettled = true;
    first = TimeStamp::unknown("no picture start near the first sequence header");
  }
}

void VideoScanner::finish() {
  settlePicture(kFramePicture);
  endGroup();
  if (held.has_value()) show(*held);
  held.reset();
  firstSettled = true;
}

TimeStamp VideoScanner::firstPicture() const { return first; }

// Start codes may begin in the bytes of the packets before, and the header
// behind one may end in the packets after.
void VideoScanner::scan(const unsigned char* data, std::size_t n) {
  const std::uint64_t packet = packetCount - 1;
  if (pendingSize > 0) {
    const std::size_t take = std::min(kVideoHeaderBytes - pendingSize, n);
    std::memcpy(pending + pendingSize, data, take);
    pendingSize += take;
    readPending();
  }
  if (tailSize > 0 && n > 0) {
    // Those whose 01 is one of the first two bytes here.
    unsigned char joined[kStartCodeSize - 1 + kVideoHeaderBytes];
    const std::size_t more = std::min(n, kVideoHeaderBytes);
    std::memcpy(joined, tail, tailSize);
    std::memcpy(joined + tailSize, data, more);
    for (std::size_t k = tailSize >= 2 ? tailSize - 2 : 0; k < tailSize; ++k) {
      if (k + 2 < tailSize + more && joined[k] == 0 && joined[k + 1] == 0 && joined[k + 2] == 1) {
        startCodeAt(joined + k, tailSize + more - k, tailPacket[k]);
      }
    }
  }
  for (std::size_t at = 0; (at += findStartCodePrefix(data + at, n - at)) < n; ++at) {
    startCodeAt(data + at, n - at, packet);
  }
  // Keep the last bytes, for a start code that the next packet completes.
  const std::size_t keep = std::min(kStartCodeSize - 1, tailSize + n);
  unsigned char bytes[2 * (kStartCodeSize - 1)];
  std::uint64_t owners[2 * (kStartCodeSize - 1)];
  const std::size_t fromData = std::min(n, kStartCodeSize - 1);
  std::copy(tail, tail + tailSize, bytes);
  std::copy(tailPacket, tailPacket + tailSize, owners);
  std::copy(data + n - fromData, data + n, bytes + tailSize);
  std::fill(owners + tailSize, owners + tailSize + fromData, packet);
  const std::size_t all = tailSize + fromData;
  std::copy(bytes + all - keep, bytes + all, tail);
  std::copy(owners + all - keep, owners + all, tailPacket);
  tailSize = keep;
}

void VideoScanner::startCodeAt(const unsigned char* header, std::size_t available, std::uint64_t packet) {
  pendingSize = std::min(available, kVideoHeaderBytes);
  std::memcpy(pending, header, pendingSize);
  pendingPacket = packet;
  pictureNoted = false;
  readPending();
}

// A picture begins with its start code; what korvat reads of its header, and
// of the others, may follow in later packets.
void VideoScanner::readPending() {
  if (pendingSize < kStartCodeSize) return;
  const unsigned char code = pending[3];
  if (code == kPictureStart && !pictureNoted) {
    pendingStamp = pictureBegins(pendingPacket);
    pictureNoted = true;
  }
  const std::size_t needed = code == kPictureStart                            ? kPictureHeaderBytes
                             : code == kExtensionStart                        ? kPictureExtensionBytes
                             : code == kSequenceHeader || code == kGroupStart ? kVideoHeaderBytes
                                                                              : kStartCodeSize;
  if (pendingSize < needed) return;
  pendingSize = 0;
  // A picture's coding extension, which says whether it is a frame or a
  // field, follows its header before any other start code.
  if (code == kExtensionStart && isPictureCodingExtension(pending)) {
    settlePicture(pictureStructure(pending), fieldsShown(pending, progressiveSequence));
    return;
  }
  if (code == kExtensionStart && isSequenceExtension(pending)) progressiveSequence = isProgressiveSequence(pending);
  settlePicture(kFramePicture);
  switch (code) {
    case kSequenceHeader:
      if (period.ticks == 0) {
        period = framePeriod(pending);
        shown.setPicturePeriod(period.of(1));
      }
      break;
    case kGroupStart:
      endGroup();
      groupHeadersSeen = true;
      // Decoders drop the pictures that refer to one before a cut, and to
      // one before the first picture of all.
      dropLeadingB = groupLinkIsBroken(pending) || (!groupIsClosed(pending) && shownFields == 0);
      break;
    case kPictureStart:
      if (followEveryPicture && period.ticks != 0) {
        unsettled = {temporalReference(pending), pictureCodingType(pending), pendingStamp};
      }
      break;
    default:
      break;
  }
}

// The stamp of the packet the picture begins in, if it is the first picture
// that begins there.
TimeStamp VideoScanner::pictureBegins(std::uint64_t packetNumber) {
  Packet* packet = packetCount - packetNumber <= kPacketsKept ? &packets[packetNumber % kPacketsKept] : nullptr;
  TimeStamp stamp = TimeStamp::unknown("no time stamp on its video packet");
  if (packet && packet->pictureBegun) {
    stamp = TimeStamp::unknown("its packet stamps an earlier picture");
  } else if (packet && packet->stamped) {
    stamp = TimeStamp::of(packet->stamp);
  }
  if (packet) packet->pictureBegun = true;
  if (!firstSettled) {
    firstSettled = true;
    first = stamp;
  }
  return stamp;
}

// Two fields of one parity after the other, with one temporal reference,
// make one picture shown.
void VideoScanner::settlePicture(std::uint8_t structure, unsigned fields) {
  if (!unsettled.has_value()) return;
  const UnsettledPicture picture = *unsettled;
  unsettled.reset();
  // The time line counts from the first stamp met: the first picture's, as
  // a rule, else the next picture's that has one.
  if (!base.known && picture.stamp.known) {
    base = picture.stamp;
    clock.startAt(base.ticks, 0);
  }
  const std::int64_t since = picture.stamp.known ? clock.follow(picture.stamp.ticks) : 0;
  const bool field = structure != kFramePicture;
  if (field && firstField && firstFieldReference == picture.reference && !group.empty()) {
    firstField = false;
    if (!group.back().stamped && picture.stamp.known)
      group.back() = {group.back().reference, group.back().type, true, since, group.back().fields};
    return;
  }
  firstField = field;
  firstFieldReference = picture.reference;
  const bool seen = std::any_of(group.begin(), group.end(),
                                [&picture](const GroupPicture& p) { return p.reference == picture.reference; });
  // Temporal references count within a group; a reference met twice (a
  // lost group header) begins the next, and so does an I-picture in a stream
  // of group headers. Without them, the references count on across
  // I-pictures, or start again where one is met twice.
  if ((picture.type == kIntraPicture && groupHeadersSeen) || seen) endGroup();
  group.push_back({picture.reference, picture.type, picture.stamp.known, since, fields});
}

// A decoder shows a B-picture as soon as it is decoded, and every other
// picture when the next one that is not a B-picture comes: so the pictures
// are shown one after another, each for its fields, in that order, whatever
// damage took. A picture takes its time from its group's stamps, by the
// fields shown before it in the order of their temporal references; its own
// stamp counts where the group agrees with it.
void VideoScanner::endGroup() {
  if (group.empty()) return;
  std::uint16_t firstReference = UINT16_MAX;
  for (const GroupPicture& p : group) {
    if (p.type != kBidirectionalPicture) firstReference = std::min(firstReference, p.reference);
  }
  const std::vector<std::int64_t> fieldsBefore = fieldsBeforeEach();
  std::int64_t groupStart = 0;
  const bool timed = startOfGroup(fieldsBefore, groupStart);
  // A group that, by most of its stamps, begins well before the one before
  // it ended was not reordered: the clock restarted, and the pictures go on
  // from where they were.
  if (timed && groupStart + clockOffset < nextGroupStart - kClockRestart) clockOffset = nextGroupStart - groupStart;
  groupStart += clockOffset;
  checkFirstPicture(timed, groupStart + period.ofFields(fieldsBefore[0]));
  for (std::size_t i = 0; i < group.size(); ++i) {
    const GroupPicture& p = group[i];
    if (dropLeadingB && p.type == kBidirectionalPicture && p.reference < firstReference) continue;
    const std::int64_t byGroup = groupStart + period.ofFields(fieldsBefore[i]);
    const bool own = p.stamped && std::llabs(p.stamp + clockOffset - byGroup) < VideoTimeline::kSameShift;
    const Shown picture = {timed, own ? p.stamp + clockOffset : byGroup, p.fields};
    if (p.type == kBidirectionalPicture) {
      show(picture);
      continue;
    }
    if (held.has_value()) show(*held);
    held = picture;
  }
  if (timed) nextGroupStart = groupStart + period.ofFields(fieldsBefore.back());
  group.clear();
  dropLeadingB = false;
}

// For each picture of the group, the fields shown before it within the
// group; and last, those of the whole group. A temporal reference that no
// picture has (damage took it) counts as a frame.
std::vector<std::int64_t> VideoScanner::fieldsBeforeEach() const {
  std::vector<std::size_t> order(group.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [this](std::size_t a, std::size_t b) { return group[a].reference < group[b].reference; });
  std::vector<std::int64_t> before(group.size() + 1);
  std::int64_t fields = 0, reference = 0;
  for (const std::size_t i : order) {
    fields += 2 * (group[i].reference - reference);
    before[i] = fields;
    fields += group[i].fields;
    reference = group[i].reference + 1;
  }
  before.back() = fields;
  return before;
}

// The time of the group's first picture, as most of its stamped pictures
// say: one garbled stamp must not move the whole group. Where as many say
// one thing as another, the one that follows on from the group before wins.
bool VideoScanner::startOfGroup(const std::vector<std::int64_t>& fieldsBefore, std::int64_t& start) const {
  std::vector<std::int64_t> starts;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (group[i].stamped) starts.push_back(group[i].stamp - period.ofFields(fieldsBefore[i]));
  }
  if (starts.empty()) return false;
  std::size_t bestVotes = 0;
  for (const std::int64_t candidate : starts) {
    const auto votes =
        static_cast<std::size_t>(std::count_if(starts.begin(), starts.end(), [candidate](std::int64_t s) {
          return std::llabs(s - candidate) < VideoTimeline::kSameShift;
        }));
    const bool closer =
        std::llabs(candidate + clockOffset - nextGroupStart) < std::llabs(start + clockOffset - nextGroupStart);
    if (votes > bestVotes || (votes == bestVotes && closer)) {
      bestVotes = votes;
      start = candidate;
    }
  }
  return true;
}

// The first picture's stamp, which the audio delay counts from, holds where
// its group agrees; a garbled one gives way to what the group says.
void VideoScanner::checkFirstPicture(bool timed, std::int64_t byGroup) {
  if (firstChecked) return;
  firstChecked = true;
  const GroupPicture& picture = group.front();
  if (!timed || !first.known || !picture.stamped) return;
  if (std::llabs(picture.stamp + clockOffset - byGroup) >= VideoTimeline::kSameShift) {
    first = base.movedBy(byGroup - clockOffset);
  }
}

void VideoScanner::show(const Shown& picture) {
  if (picture.timed) shown.add(picture.stamp, picture.stamp - period.ofFields(shownFields));
  shownFields += picture.fields;
}

}  // namespace korvat
