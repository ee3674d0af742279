// Each picture's display time, from its group's stamps and temporal references.
#include "video/picture_clock.h"

#include <algorithm>
#include <cstdlib>

namespace korvat {
namespace {

// The bytes from its start code on that must be there before a header is read.
std::size_t headerNeeded(unsigned char code) {
  switch (code) {
    case kPictureStart:
      return kPictureHeaderBytes;
    case kExtensionStart:
      return kPictureExtensionBytes;
    case kSequenceHeader:
    case kGroupStart:
      return kVideoHeaderBytes;
    default:
      return kStartCodeSize;
  }
}

}  // namespace

bool PictureClock::take(const VideoChunk& chunk) {
  for (const StartCode& code : chunk.startCodes) startCode(code);
  stamps.written(chunk.size);
  return true;
}

void PictureClock::finish() {
  settlePicture(kFramePicture);
  endGroup();
  display.finish();
  stamps.finish();
}

void PictureClock::startCode(const StartCode& code) {
  const TimeStamp stamp = stamps.startCode(code);
  if (code.size < headerNeeded(code.code())) return;
  const unsigned char* header = code.header;
  // A picture's coding extension, which says whether it is a frame or a
  // field, follows its header before any other start code.
  if (code.code() == kExtensionStart && isPictureCodingExtension(header)) {
    settlePicture(pictureStructure(header), fieldsShown(header, progressiveSequence));
    return;
  }
  if (code.code() == kExtensionStart && isSequenceExtension(header))
    progressiveSequence = isProgressiveSequence(header);
  settlePicture(kFramePicture);
  switch (code.code()) {
    case kSequenceHeader:
      if (period.ticks == 0) {
        period = framePeriod(header);
        display.setPeriod(period);
      }
      break;
    case kGroupStart:
      endGroup();
      groupHeadersSeen = true;
      // Decoders drop the pictures that refer to one before a cut, and to
      // one before the first picture of all.
      group.dropLeadingB = groupLinkIsBroken(header) || (!groupIsClosed(header) && display.noneShown());
      break;
    case kPictureStart:
      if (follows == Follows::EveryPicture && period.ticks != 0) {
        unsettled = {temporalReference(header), pictureCodingType(header), stamp};
      }
      break;
    default:
      break;
  }
}

// Two fields of one parity after the other, with one temporal reference,
// make one picture shown.
void PictureClock::settlePicture(std::uint8_t structure, unsigned fields) {
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
  std::vector<GroupPicture>& pictures = group.pictures;
  if (field && firstFieldOf == picture.reference && !pictures.empty()) {
    firstFieldOf.reset();
    GroupPicture& frame = pictures.back();
    if (!frame.stamped && picture.stamp.known) frame = {frame.reference, frame.type, true, since, frame.fields};
    return;
  }
  firstFieldOf = field ? std::optional<std::uint16_t>(picture.reference) : std::nullopt;
  const bool seen = std::any_of(pictures.begin(), pictures.end(),
                                [&picture](const GroupPicture& p) { return p.reference == picture.reference; });
  // Temporal references count within a group; a reference met twice (a
  // lost group header) begins the next, and so does an I-picture in a stream
  // of group headers. Without them, the references count on across
  // I-pictures, or start again where one is met twice.
  if ((picture.type == kIntraPicture && groupHeadersSeen) || seen) endGroup();
  group.pictures.push_back({picture.reference, picture.type, picture.stamp.known, since, fields});
}

// The pictures are shown one after another, each for its fields, in the
// order a decoder shows them, whatever damage took. A picture takes its time
// from its group's stamps, by the fields shown before it in the order of
// their temporal references; its own stamp counts where the group agrees with it.
void PictureClock::endGroup() {
  const std::vector<GroupPicture>& pictures = group.pictures;
  if (pictures.empty()) return;
  std::uint16_t firstReference = UINT16_MAX;
  for (const GroupPicture& p : pictures) {
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
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const GroupPicture& p = pictures[i];
    const bool bidirectional = p.type == kBidirectionalPicture;
    if (group.dropLeadingB && bidirectional && p.reference < firstReference) continue;
    const std::int64_t byGroup = groupStart + period.ofFields(fieldsBefore[i]);
    const bool own = p.stamped && std::llabs(p.stamp + clockOffset - byGroup) < VideoTimeline::kSameShift;
    display.decoded({timed, own ? p.stamp + clockOffset : byGroup, p.fields}, bidirectional);
  }
  if (timed) nextGroupStart = groupStart + period.ofFields(fieldsBefore.back());
  group.pictures.clear();
  group.dropLeadingB = false;
}

// For each picture of the group, the fields shown before it within the
// group; and last, those of the whole group. A temporal reference that no
// picture has (damage took it) counts as a frame.
std::vector<std::int64_t> PictureClock::fieldsBeforeEach() const {
  const std::vector<GroupPicture>& pictures = group.pictures;
  std::vector<std::size_t> order(pictures.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&pictures](std::size_t a, std::size_t b) { return pictures[a].reference < pictures[b].reference; });
  std::vector<std::int64_t> before(pictures.size() + 1);
  std::int64_t fields = 0, reference = 0;
  for (const std::size_t i : order) {
    fields += 2 * (pictures[i].reference - reference);
    before[i] = fields;
    fields += pictures[i].fields;
    reference = pictures[i].reference + 1;
  }
  before.back() = fields;
  return before;
}

// The time of the group's first picture, as most of its stamped pictures
// say: one garbled stamp must not move the whole group. Where as many say
// one thing as another, the one that follows on from the group before wins.
bool PictureClock::startOfGroup(const std::vector<std::int64_t>& fieldsBefore, std::int64_t& start) const {
  const std::vector<GroupPicture>& pictures = group.pictures;
  std::vector<std::int64_t> starts;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].stamped) starts.push_back(pictures[i].stamp - period.ofFields(fieldsBefore[i]));
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
void PictureClock::checkFirstPicture(bool timed, std::int64_t byGroup) {
  if (!stamps.firstUnchecked()) return;
  const GroupPicture& picture = group.pictures.front();
  if (timed && picture.stamped && std::llabs(picture.stamp + clockOffset - byGroup) >= VideoTimeline::kSameShift) {
    return stamps.firstChecked(base.movedBy(byGroup - clockOffset));
  }
  stamps.firstChecked();
}

}  // namespace korvat
