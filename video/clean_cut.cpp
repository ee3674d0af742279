// The clean cut of -r: whole units of the video out, what damage cut dropped.
#include "video/clean_cut.h"

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
constexpr std::uint64_t kWriteBatch = DiskFile::kBufferSize;
// A group is held until it ends, unless it is larger than any a broadcast sends.
constexpr std::uint64_t kMaxGroupHeld = 16 << 20;
constexpr std::size_t kMaxGroupPictures = 1024;

}  // namespace

bool RestartRule::keeps(const unsigned char* header) {
  const unsigned char code = header[3];
  const bool picture = code == kPictureStart;
  const bool intra = picture && pictureCodingType(header) == kIntraPicture;
  if (code == kGroupStart || code == kSequenceHeader) {
    // A new group numbers its pictures afresh; in a stream without group
    // headers, references run on past a sequence header.
    renumberBy = 0;
    inGroup = code == kGroupStart;
  }
  switch (restart) {
    case Restart::None:
      return true;
    case Restart::AtHeader: {
      // A decoder can start again at a sequence or group header, or at an
      // I-picture in a stream without group headers; but the video begins
      // with a sequence header all the same.
      const bool kept = code == kSequenceHeader || ((code == kGroupStart || intra) && sequenceKept);
      if (intra && kept) {
        intraKept(header);
      } else if (kept) {
        restart = Restart::AtIntra;
      }
      return kept;
    }
    case Restart::AtIntra:
      // The group's first picture must be an I-picture; any other needs one lost.
      if (intra) {
        intraKept(header);
      } else if (picture) {
        restart = Restart::AtHeader;
      }
      return !picture || intra;
    case Restart::PastLeadingB: {
      // The B-pictures shown before the I-picture refer to the group before the cut.
      const bool leadingB =
          picture && pictureCodingType(header) == kBidirectionalPicture && temporalReference(header) < intraReference;
      if (picture && !leadingB) restart = Restart::None;
      return !leadingB;
    }
  }
  return true;
}

void RestartRule::intraKept(const unsigned char* header) {
  restart = Restart::PastLeadingB;
  intraReference = temporalReference(header);
  // Every B-picture shown before it is dropped.
  if (inGroup) renumberBy = intraReference;
}

CleanCut::Payload CleanCut::payloadBegins() {
  const bool inDoubt = rule.restarting() || rule.renumbering() != 0 || held.heldBytes() > 0;
  payload = inDoubt ? Payload::Held : Payload::WrittenAsItComes;
  return payload;
}

bool CleanCut::take(const VideoChunk& chunk) {
  if (packets.empty() || packets.back().number != chunk.packet) packets.push_back({heldEnd, chunk.packet});
  if (payload == Payload::WrittenAsItComes) {
    held.passed(chunk.size);
    fileBytes += chunk.size;
  } else {
    held.append(chunk.data, chunk.size);
  }
  heldEnd += chunk.size;
  settledTo = chunk.settledTo;
  for (const StartCode& code : chunk.startCodes) {
    lastStartCode = code.at;
    startCodes.push_back(code);
    if (!beginsUnit(code.code())) continue;
    if (!endUnit(code.at) || !unitBegins(code)) return false;
  }
  // After damage only what is decided goes to the file.
  return afterBytes() && writeHeld(rule.restarting() ? readyTo : heldEnd);
}

// Nothing of a dropped unit is needed; one that runs on too far goes out.
bool CleanCut::afterBytes() {
  if (!unit.kept) return drop(settledTo);
  const bool runaway =
      heldEnd - std::max(lastStartCode, heldStart) > kMaxWithoutStartCode || heldEnd - heldStart > kMaxHeld;
  if (runaway) {
    release(settledTo);
    writeReady();
  }
  return true;
}

bool CleanCut::endUnit(std::uint64_t at) {
  if (unit.kept && unit.kind == UnitKind::Sequence) rule.sequenceWritten();
  if (!unit.kept) return drop(at);
  release(at);
  return true;
}

// Decides whether the unit that begins here is written, once it is whole.
bool CleanCut::unitBegins(const StartCode& code) {
  const unsigned char kind = code.code();
  unit = {kind == kPictureStart     ? UnitKind::Picture
          : kind == kSequenceHeader ? UnitKind::Sequence
                                    : UnitKind::Other,
          rule.keeps(code.header), code.packet};
  if (unit.kind == UnitKind::Picture && !unit.kept) next.pictureDropped(code.packet);
  if (unit.kind == UnitKind::Picture && unit.kept && rule.renumbering() != 0 && !renumber(startCodes.back())) {
    return false;
  }
  if (kind == kGroupStart && unit.kept) {
    groupAt = code.at;
    groupPictures.clear();
  }
  if (unit.kind == UnitKind::Picture && unit.kept) {
    GroupPicture picture{{}, code.at};
    std::copy(startCodes.back().header, startCodes.back().header + kPictureHeaderBytes, picture.header);
    groupPictures.push_back(picture);
    // Temporal references count to 1024: a longer run has no group to number.
    if (groupPictures.size() > kMaxGroupPictures) {
      groupAt.reset();
      groupPictures.clear();
    }
  }
  return true;
}

// The picture's temporal reference, less the leading B-pictures dropped,
// in what is written and in what the picture clock reads.
bool CleanCut::renumber(StartCode& code) {
  const auto reference = static_cast<std::uint16_t>(temporalReference(code.header) - rule.renumbering());
  setTemporalReference(code.header, reference);
  if (code.at < heldStart || code.at + kPictureHeaderBytes > heldEnd) return true;
  return writeReference(code.at, code.header);
}

bool CleanCut::cut() {
  // A failed write ends the run: no later call may clear what the file says of it.
  if (!closeGap()) return false;
  // What was whole goes out before the clock hears of the cut.
  const bool written = drop(heldEnd);
  if (!rule.restarting()) next.cut();
  // The unit in hand lost its end.
  if (unit.kind == UnitKind::Picture && unit.kept) next.pictureDropped(unit.packet);
  unit = {UnitKind::Other, false};
  rule.cut();
  payload = Payload::Held;
  return written;
}

bool CleanCut::finish() {
  if (!afterBytes()) return false;
  // The end of the recording cut the unit in hand: what there is of it is kept.
  // Start codes too near the end to be read whole are still written.
  bool wrote = true;
  if (unit.kept) {
    release(heldEnd);
    writeReady();
    wrote = writeHeld(heldEnd);
  } else {
    wrote = drop(heldEnd);
  }
  packets.push_back({heldEnd, UINT64_MAX});  // ends the last packet
  trimPackets();
  return wrote;
}

// Whole units count as written in batches, as they always have: the
// progress lines show the video growing in these steps. The group in hand
// stays, so that damage that cuts it short can still number it anew.
void CleanCut::release(std::uint64_t to) {
  readyTo = std::max(readyTo, to);
  if (readyTo - heldStart < kWriteBatch) return;
  const bool groupHeld = groupAt && *groupAt >= heldStart && readyTo - *groupAt < kMaxGroupHeld;
  writeReady(groupHeld ? *groupAt : readyTo);
}

// Damage cut the group in hand short: its pictures are numbered anew in the
// order they are shown, so that those lost leave no gap, which muxers that
// time pictures by their numbers would show. Those written already keep
// theirs; the picture clock, which times pictures by their stamps, reads the
// numbers they came with.
bool CleanCut::closeGap() {
  if (!groupAt) return true;        // no groups to number
  std::vector<GroupPicture> shown;  // the picture in hand lost its end
  for (const GroupPicture& picture : groupPictures) {
    if (picture.at < readyTo) shown.push_back(picture);
  }
  std::stable_sort(shown.begin(), shown.end(), [](const GroupPicture& a, const GroupPicture& b) {
    return temporalReference(a.header) < temporalReference(b.header);
  });
  std::uint16_t rank = 0;  // a picture that came twice keeps one number
  for (std::size_t i = 0; i < shown.size(); ++i) {
    GroupPicture& picture = shown[i];
    const std::uint16_t reference = temporalReference(picture.header);
    if (i > 0 && reference != temporalReference(shown[i - 1].header)) ++rank;
    if (picture.at < heldStart || reference == rank) continue;
    // Written into a copy: the next picture is held against the number this one came with.
    unsigned char header[kPictureHeaderBytes];
    std::copy(picture.header, picture.header + kPictureHeaderBytes, header);
    setTemporalReference(header, rank);
    if (!writeReference(picture.at, header)) return false;
  }
  return true;
}

// What counts as written: the picture clock reads the start codes, where
// they lie in the output.
void CleanCut::writeReady(std::uint64_t limit) {
  const std::uint64_t to = std::min(readyTo, limit);
  if (to <= heldStart) return;
  startPackets(to);
  written.clear();
  for (; !startCodes.empty() && startCodes.front().at < to; startCodes.pop_front()) {
    StartCode code = startCodes.front();
    code.at = counted.bytes + (code.at - heldStart);
    code.stampInReach = true;  // the held packets keep their stamps
    written.push_back(code);
  }
  const std::uint64_t n = to - heldStart;
  next.take(VideoChunk{nullptr, static_cast<std::size_t>(n), packets.front().number, written, counted.bytes + n});
  counted.bytes += n;
  forget(to);
}

// The packets that something of is written now.
void CleanCut::startPackets(std::uint64_t to) {
  std::uint64_t from = heldStart;
  for (std::size_t i = 0; i < packets.size() && from < to; ++i) {
    Packet& packet = packets[i];
    const std::uint64_t end = i + 1 < packets.size() ? packets[i + 1].at : heldEnd;
    if (end <= from) continue;
    if (!packet.started) {
      packet.started = true;
      counted.packets += 1;
    }
    from = std::min(end, to);
  }
}

bool CleanCut::drop(std::uint64_t to) {
  writeReady();
  if (to <= heldStart) return true;
  counted.droppedBytes += to - heldStart;
  while (!startCodes.empty() && startCodes.front().at < to) startCodes.pop_front();
  const bool taken = takeBack(heldStart, to);
  forget(to);
  return taken;
}

void CleanCut::forget(std::uint64_t to) {
  heldStart = to;
  trimPackets();
}

// Packets wholly behind what is written or dropped are done with; one that
// nothing of was written was dropped whole.
void CleanCut::trimPackets() {
  while (packets.size() > 1 && packets[1].at <= heldStart) {
    if (!packets.front().started) counted.droppedPackets += 1;
    packets.pop_front();
  }
}

// The bytes held before `to` go to the file.
bool CleanCut::writeHeld(std::uint64_t to) {
  if (to <= held.start()) return true;
  const auto n = static_cast<std::uint32_t>(to - held.start());
  if (video.write(held.at(held.start()), n) != n) return false;
  fileBytes += n;
  held.forget(to);
  return true;
}

// The bytes from `from` to `to` are not written. What the file has of them
// came as it came and is the file's end, the unit in hand: it is cut off.
// Nothing after them was written yet, as nothing after a unit is written
// before the unit is decided.
bool CleanCut::takeBack(std::uint64_t from, std::uint64_t to) {
  if (!writeHeld(from)) return false;
  bool taken = true;
  if (held.start() > from) {
    fileBytes -= held.start() - from;
    taken = video.cutBackTo(fileBytes);
  }
  if (to > held.start()) held.forget(to);
  return taken;
}

// A picture header's new temporal reference, in the file or in what is held.
bool CleanCut::writeReference(std::uint64_t at, const unsigned char* header) {
  constexpr std::size_t kFrom = 4, kBytes = 2;  // the reference's bytes in the header
  const std::uint64_t first = at + kFrom;
  const auto inFile =
      static_cast<std::size_t>(first < held.start() ? std::min<std::uint64_t>(kBytes, held.start() - first) : 0);
  if (inFile > 0 &&
      !video.overwrite(fileBytes - (held.start() - first), header + kFrom, static_cast<std::uint32_t>(inFile))) {
    return false;
  }
  for (std::size_t i = inFile; i < kBytes && first + i < held.end(); ++i) *held.at(first + i) = header[kFrom + i];
  return true;
}

}  // namespace korvat
