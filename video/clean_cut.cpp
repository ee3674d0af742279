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

bool CleanCut::take(const VideoChunk& chunk) {
  if (packets.empty() || packets.back().number != chunk.packet) packets.push_back({held.end(), chunk.packet});
  held.append(chunk.data, chunk.size);
  settledTo = chunk.settledTo;
  for (const StartCode& code : chunk.startCodes) {
    lastStartCode = code.at;
    startCodes.push_back(code);
    if (!beginsUnit(code.code())) continue;
    if (!endUnit(code.at)) return false;
    unitBegins(code);
  }
  return afterBytes();
}

// Nothing of a dropped unit is needed; one that runs on too far goes out.
bool CleanCut::afterBytes() {
  if (!unit.kept) return drop(settledTo);
  const bool runaway =
      held.end() - std::max(lastStartCode, held.start()) > kMaxWithoutStartCode || held.heldBytes() > kMaxHeld;
  return !runaway || (release(settledTo) && writeReady());
}

bool CleanCut::endUnit(std::uint64_t at) {
  if (unit.kept && unit.kind == UnitKind::Sequence) rule.sequenceWritten();
  return unit.kept ? release(at) : drop(at);
}

// Decides whether the unit that begins here is written, once it is whole.
void CleanCut::unitBegins(const StartCode& code) {
  const unsigned char kind = code.code();
  unit = {kind == kPictureStart     ? UnitKind::Picture
          : kind == kSequenceHeader ? UnitKind::Sequence
                                    : UnitKind::Other,
          rule.keeps(code.header), code.packet};
  if (unit.kind == UnitKind::Picture && !unit.kept) next.pictureDropped(code.packet);
  if (unit.kind == UnitKind::Picture && unit.kept && rule.renumbering() != 0) renumber(startCodes.back());
  if (kind == kGroupStart && unit.kept) {
    groupAt = code.at;
    groupPictures.clear();
  }
  if (unit.kind == UnitKind::Picture && unit.kept) {
    groupPictures.push_back({temporalReference(startCodes.back().header), code.at});
    // Temporal references count to 1024: a longer run has no group to number.
    if (groupPictures.size() > kMaxGroupPictures) {
      groupAt.reset();
      groupPictures.clear();
    }
  }
}

// The picture's temporal reference, less the leading B-pictures dropped,
// in what is written and in what the picture clock reads.
void CleanCut::renumber(StartCode& code) {
  const auto reference = static_cast<std::uint16_t>(temporalReference(code.header) - rule.renumbering());
  setTemporalReference(code.header, reference);
  if (code.at >= held.start() && code.at + kPictureHeaderBytes <= held.end()) {
    setTemporalReference(held.at(code.at), reference);
  }
}

bool CleanCut::cut() {
  closeGap();
  // What was whole goes out before the clock hears of the cut.
  const bool written = drop(held.end());
  if (!rule.restarting()) next.cut();
  // The unit in hand lost its end.
  if (unit.kind == UnitKind::Picture && unit.kept) next.pictureDropped(unit.packet);
  unit = {UnitKind::Other, false};
  rule.cut();
  return written;
}

bool CleanCut::finish() {
  afterBytes();
  // The end of the recording cut the unit in hand: what there is of it is kept.
  // Start codes too near the end to be read whole are still written.
  const bool wrote = unit.kept ? release(held.end()) && writeReady() : drop(held.end());
  packets.push_back({held.end(), UINT64_MAX});  // ends the last packet
  trimPackets();
  return wrote;
}

// Whole units go out in batches large enough to pass the file's buffer,
// which saves copying every byte of the video once more. The group in hand
// stays, so that damage that cuts it short can still number it anew.
bool CleanCut::release(std::uint64_t to) {
  readyTo = std::max(readyTo, to);
  if (readyTo - held.start() < kWriteBatch) return true;
  const bool groupHeld = groupAt && *groupAt >= held.start() && readyTo - *groupAt < kMaxGroupHeld;
  return writeReady(groupHeld ? *groupAt : readyTo);
}

// Damage cut the group in hand short: its pictures are numbered anew in the
// order they are shown, so that those lost leave no gap, which muxers that
// time pictures by their numbers would show. Those written already keep
// theirs; the picture clock, which times pictures by their stamps, reads the
// numbers they came with.
void CleanCut::closeGap() {
  if (!groupAt) return;             // no groups to number
  std::vector<GroupPicture> shown;  // the picture in hand lost its end
  for (const GroupPicture& picture : groupPictures) {
    if (picture.at < readyTo) shown.push_back(picture);
  }
  std::stable_sort(shown.begin(), shown.end(),
                   [](const GroupPicture& a, const GroupPicture& b) { return a.reference < b.reference; });
  std::uint16_t rank = 0;  // a picture that came twice keeps one number
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (i > 0 && shown[i].reference != shown[i - 1].reference) ++rank;
    if (shown[i].at >= held.start()) setTemporalReference(held.at(shown[i].at), rank);
  }
}

// The picture clock reads the start codes written, where they lie in the output.
bool CleanCut::writeReady(std::uint64_t limit) {
  const std::uint64_t to = std::min(readyTo, limit);
  if (to <= held.start()) return true;
  startPackets(to);
  written.clear();
  for (; !startCodes.empty() && startCodes.front().at < to; startCodes.pop_front()) {
    StartCode code = startCodes.front();
    code.at = counted.bytes + (code.at - held.start());
    code.stampInReach = true;  // the held packets keep their stamps
    written.push_back(code);
  }
  const auto n = static_cast<std::uint32_t>(to - held.start());
  next.take(VideoChunk{held.at(held.start()), n, packets.front().number, written, counted.bytes + n});
  if (video.write(held.at(held.start()), n) != n) return false;
  counted.bytes += n;
  forget(to);
  return true;
}

// The packets that something of is written now.
void CleanCut::startPackets(std::uint64_t to) {
  std::uint64_t from = held.start();
  for (std::size_t i = 0; i < packets.size() && from < to; ++i) {
    Packet& packet = packets[i];
    const std::uint64_t end = i + 1 < packets.size() ? packets[i + 1].at : held.end();
    if (end <= from) continue;
    if (!packet.started) {
      packet.started = true;
      counted.packets += 1;
    }
    from = std::min(end, to);
  }
}

bool CleanCut::drop(std::uint64_t to) {
  if (!writeReady()) return false;
  if (to <= held.start()) return true;
  counted.droppedBytes += to - held.start();
  while (!startCodes.empty() && startCodes.front().at < to) startCodes.pop_front();
  forget(to);
  return true;
}

void CleanCut::forget(std::uint64_t to) {
  held.forget(to);
  trimPackets();
}

// Packets wholly behind what is written or dropped are done with; one that
// nothing of was written was dropped whole.
void CleanCut::trimPackets() {
  while (packets.size() > 1 && packets[1].at <= held.start()) {
    if (!packets.front().started) counted.droppedPackets += 1;
    packets.pop_front();
  }
}

}  // namespace korvat
