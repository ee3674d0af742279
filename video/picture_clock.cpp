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

// Groups wait for the header after theirs to settle their frame rate, and
// for a stamp to time them by; video that gives neither for this long is
// timed as far as it goes.
constexpr std::size_t kMaxWaitingPictures = 2048;

}  // namespace

bool PictureClock::take(const VideoChunk& chunk) {
  for (const StartCode& code : chunk.startCodes) startCode(code);
  stamps.written(chunk.size);
  return true;
}

void PictureClock::cut() {
  settlePicture(kFramePicture);
  endGroup();
  firstFieldOf.reset();
  cutsMade.push_back({0, 0});
  ++cutsPending;
}

void PictureClock::pictureDropped(std::uint64_t packet) {
  // Its packet's stamp was its own, if it was the first to begin there.
  stamps.used(packet);
  if (!cutsMade.empty()) cutsMade.back().pictures += 1;
}

void PictureClock::finish() {
  settlePicture(kFramePicture);
  endGroup();
  release(true);
  placeCuts(cutsPending);
  cutsPending = 0;
  display.finish();
  for (const VideoTimeline::Cut& cut : cutsMade) display.addCut(cut);
  stamps.finish();
}

void PictureClock::startCode(const StartCode& code) {
  const TimeStamp stamp = stamps.startCode(code);
  if (code.size < headerNeeded(code.code())) return;
  const unsigned char* header = code.header;
  // A picture's coding extension, which says whether it is a frame or a
  // field, follows its header before any other start code.
  if (code.code() == kExtensionStart && isPictureCodingExtension(header)) {
    settlePicture(pictureStructure(header), repeatFlags(header));
    return;
  }
  if (code.code() == kExtensionStart && isSequenceExtension(header)) {
    sequences.progressive(isProgressiveSequence(header));
  }
  settlePicture(kFramePicture);
  switch (code.code()) {
    case kSequenceHeader:
      sequences.header(framePeriod(header));
      break;
    case kGroupStart:
      endGroup();
      groupHeadersSeen = true;
      // Decoders drop the pictures that refer to one before a cut, and to
      // one before the first picture of all; a picture held back, waiting
      // to be shown, is in the output.
      group.dropLeadingB = groupLinkIsBroken(header) || (!groupIsClosed(header) && !anyPicture);
      group.headed = true;
      break;
    case kPictureStart:
      if (follows == Follows::EveryPicture || !stamps.firstSettled()) {
        unsettled = {temporalReference(header), pictureCodingType(header), stamp};
      }
      break;
    default:
      break;
  }
}

// Two fields of one parity after the other, with one temporal reference,
// make one picture shown.
void PictureClock::settlePicture(std::uint8_t structure, std::uint8_t flags) {
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
    if (!frame.stamped && picture.stamp.known) {
      frame.stamped = true;
      frame.stamp = since;
    }
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
  if (group.pictures.empty()) group.sequence = sequences.count() == 0 ? 0 : sequences.count() - 1;
  group.pictures.push_back({picture.reference, picture.type, flags, picture.stamp.known, since});
  anyPicture = true;
}

void PictureClock::endGroup() {
  if (group.pictures.empty()) return;
  group.cutsBefore = cutsPending;
  cutsPending = 0;
  waitingPictures += group.pictures.size();
  waiting.push_back(std::move(group));
  group = Group{};
  release(false);
}

// The groups go on to be shown in order, each once the rate of its sequence
// is settled and its time known.
void PictureClock::release(bool ending) {
  while (!waiting.empty()) {
    const bool force = ending || waitingPictures > kMaxWaitingPictures;
    const std::optional<SequenceRate> rate = sequences.rate(waiting.front().sequence, force);
    if (!rate.has_value()) return;
    bool wait = false;
    const std::optional<GroupStart> start = startOf(*rate, force, wait);
    if (wait) return;
    const Group ready = std::move(waiting.front());
    waiting.pop_front();
    waitingPictures -= ready.pictures.size();
    show(ready, *rate, start);
    sequences.forgetBefore(waiting.empty() ? ready.sequence : waiting.front().sequence);
  }
}

// Every picture written is shown at some time. A group is timed by its own
// stamps; a group without one goes on from where the pictures before it
// end, unless pictures were lost between: then, and for the first group,
// it ends where the next group with stamps begins.
std::optional<PictureClock::GroupStart> PictureClock::startOf(const SequenceRate& rate, bool ending, bool& wait) {
  if (!rate.period.known()) return std::nullopt;
  const Group& front = waiting.front();
  if (const std::optional<std::int64_t> own = stampedStart(front, rate)) return GroupStart{*own, true};
  if (front.cutsBefore == 0 && anyTimed) return GroupStart{nextGroupStart, false};
  const std::optional<std::int64_t> later = startFromLater(ending, wait);
  if (wait) return std::nullopt;
  if (later.has_value()) return GroupStart{*later, false};
  if (anyTimed) return GroupStart{nextGroupStart, false};
  return std::nullopt;
}

// Where the front group begins, counted back from the first waiting group
// after it that has stamps, with no cut between.
std::optional<std::int64_t> PictureClock::startFromLater(bool ending, bool& wait) {
  std::int64_t before = 0;  // the ticks of the groups from the front to the one in hand
  for (std::size_t j = 0; j < waiting.size(); ++j) {
    const Group& later = waiting[j];
    if (j > 0 && later.cutsBefore > 0) return std::nullopt;
    const std::optional<SequenceRate> rate = sequences.rate(later.sequence, ending);
    if (!rate.has_value()) {
      wait = true;
      return std::nullopt;
    }
    if (!rate->period.known()) return std::nullopt;
    if (j > 0) {
      if (const std::optional<std::int64_t> own = stampedStart(later, *rate)) return *own + clockOffset - before;
    }
    before += rate->period.ofFields(fieldsBeforeEach(later, rate->progressive).back());
  }
  wait = !ending;
  return std::nullopt;
}

// The time of the group's first picture shown, as most of its stamped
// pictures say: one garbled stamp must not move the whole group. Where as
// many say one thing as another, the one that follows on from the group
// before wins.
std::optional<std::int64_t> PictureClock::stampedStart(const Group& timed, const SequenceRate& rate) const {
  const std::vector<GroupPicture>& pictures = timed.pictures;
  const std::vector<std::int64_t> fieldsBefore = fieldsBeforeEach(timed, rate.progressive);
  std::vector<std::int64_t> starts;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].stamped) starts.push_back(pictures[i].stamp - rate.period.ofFields(fieldsBefore[i]));
  }
  if (starts.empty()) return std::nullopt;
  std::int64_t start = starts.front();
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
  return start;
}

// The pictures are shown one after another, each for its fields, in the
// order a decoder shows them, whatever damage took. A picture takes its time
// from its group's, by the fields shown before it in the order of their
// temporal references; its own stamp counts where the group agrees with it.
void PictureClock::show(const Group& shown, const SequenceRate& rate, std::optional<GroupStart> start) {
  placeCuts(shown.cutsBefore);
  const std::vector<GroupPicture>& pictures = shown.pictures;
  const std::vector<std::int64_t> fieldsBefore = fieldsBeforeEach(shown, rate.progressive);
  std::int64_t at = 0;
  if (start.has_value()) {
    at = start->at;
    if (start->own) {
      at += clockOffset;
      // A group that, by most of its stamps, begins well before the one
      // before it ended was not reordered: the clock restarted, and the
      // pictures go on from where they were.
      if (anyTimed && at < nextGroupStart - kClockRestart) {
        clockOffset += nextGroupStart - at;
        at = nextGroupStart;
      }
    }
  }
  checkFirstPicture(pictures.front(), start, at + rate.period.ofFields(fieldsBefore[0]));
  std::uint16_t firstReference = UINT16_MAX;
  for (const GroupPicture& p : pictures) {
    if (p.type != kBidirectionalPicture) firstReference = std::min(firstReference, p.reference);
  }
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const GroupPicture& p = pictures[i];
    const bool bidirectional = p.type == kBidirectionalPicture;
    if (shown.dropLeadingB && bidirectional && p.reference < firstReference) continue;
    const std::int64_t byGroup = at + rate.period.ofFields(fieldsBefore[i]);
    const bool own =
        start.has_value() && p.stamped && std::llabs(p.stamp + clockOffset - byGroup) < VideoTimeline::kSameShift;
    display.decoded({start.has_value(), own ? p.stamp + clockOffset : byGroup,
                     fieldsShown(p.repeatFlags, rate.progressive), rate.period},
                    bidirectional);
  }
  if (start.has_value()) {
    nextGroupStart = at + rate.period.ofFields(fieldsBefore.back());
    anyTimed = true;
  }
}

// A cut lies where the pictures decoded before it end.
void PictureClock::placeCuts(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    cutsMade[cutsPlaced++].at = display.reach();
    display.cut();
  }
}

// For each picture of the group, the fields shown before it within the
// group, from temporal reference 0 (without group headers, the references
// count on: from the group's first); and last, those of the whole group. A
// temporal reference that no picture has (damage took it) counts as a frame.
std::vector<std::int64_t> PictureClock::fieldsBeforeEach(const Group& counted, bool progressive) {
  const std::vector<GroupPicture>& pictures = counted.pictures;
  std::vector<std::size_t> order(pictures.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&pictures](std::size_t a, std::size_t b) { return pictures[a].reference < pictures[b].reference; });
  std::vector<std::int64_t> before(pictures.size() + 1);
  std::int64_t fields = 0, reference = counted.headed ? 0 : pictures[order.front()].reference;
  for (const std::size_t i : order) {
    fields += 2 * (pictures[i].reference - reference);
    before[i] = fields;
    fields += fieldsShown(pictures[i].repeatFlags, progressive);
    reference = pictures[i].reference + 1;
  }
  before.back() = fields;
  return before;
}

// The first picture's time, which the audio delay is counted from, is its
// group's: its own stamp where the group agrees, or where it has none, the
// time its group's stamps give it. A group without stamps gives none: why
// its own is missing stays the reason.
void PictureClock::checkFirstPicture(const GroupPicture& picture, std::optional<GroupStart> start,
                                     std::int64_t byGroup) {
  if (!stamps.firstUnchecked()) return;
  if (start.has_value() && start->own) {
    const bool agrees =
        picture.stamped && std::llabs(picture.stamp + clockOffset - byGroup) < VideoTimeline::kSameShift;
    return agrees ? stamps.firstChecked() : stamps.firstChecked(base.movedBy(byGroup - clockOffset));
  }
  stamps.firstChecked();
}

}  // namespace korvat
