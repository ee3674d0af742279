// The first stage of the audio: whole frames out of PES payloads, however
// the bytes come, each with the stamp of its packet when one applies.
#include "audio/frame_finder.h"

#include <algorithm>

namespace korvat {
namespace {

// Audio in which no frame of a length korvat knows turns up this soon is
// passed on as it comes: it cannot be repaired, and must not be lost.
constexpr std::size_t kLockSearchLimit = 64 * 1024;
constexpr const char* kNoFrame = "no audio frame whose length korvat knows";

}  // namespace

bool FrameFinder::add(const unsigned char* data, std::size_t n, TimeStamp stamp) {
  anyAudio = anyAudio || n > 0;
  if (state == State::PassThrough) return receiver.passOn(data, n);
  const std::uint64_t at = heldAt + (held.size() - begin);
  if (stamp.known) stamps.push_back({at, at + n, stamp.ticks});
  held.insert(held.end(), data, data + n);
  return process(false);
}

bool FrameFinder::breakHere() {
  const std::uint64_t at = heldAt + (held.size() - begin);
  // A frame that ends right here cannot be told whole by the one after it,
  // which damage may have taken: it is whole, and goes on. Any other frame
  // in hand is told by what follows it, as always.
  FrameHeader header;
  const bool wholeHere = state == State::Locked && held.size() - begin >= format.headerSize() &&
                         frameAt(begin, header) && held.size() - begin == header.length;
  if (wholeHere) {
    if (!handOn(header)) return false;
    held.clear();
    begin = 0;
  } else {
    cutSinceFrame = true;
  }
  // The stage after hears of the damage with the first frame that does not
  // lie wholly before it: a frame in hand may still prove whole.
  if (state == State::Locked || state == State::Searching) {
    if (!breakAt.has_value()) breakAt = at;
  } else {
    receiver.damaged();
  }
  return true;
}

void FrameFinder::passThrough(const std::string& why) {
  state = State::PassThrough;
  receiver.cannotRepair(why);
}

bool FrameFinder::frameAt(std::size_t at, FrameHeader& header) const { return format.parse(held.data() + at, header); }

bool FrameFinder::provesWhole(std::size_t at, const FrameHeader& header) const {
  return format.provesWhole(held.data() + at, header);
}

// Hands on the whole frames in hand. A frame counts only where the next one
// begins where its length says, where the audio ends, or where the frame
// proves itself whole.
bool FrameFinder::process(bool atEnd) {
  const std::size_t headerSize = format.headerSize();
  FrameHeader header, next;
  bool headerRead = false;  // `header` is the frame's at held[begin], read as the one before was told
  for (;;) {
    if (state == State::PassThrough) return writeTheRest();
    if (state != State::Locked) {
      headerRead = false;
      if (!lockOn(atEnd)) break;
    }
    if (held.size() - begin < headerSize) break;
    if (!headerRead && !frameAt(begin, header)) {
      state = State::Searching;  // after a frame that proved itself whole
      continue;
    }
    headerRead = false;
    const std::size_t length = header.length, have = held.size() - begin;
    const bool nextInHand = have >= length + headerSize;
    if (!nextInHand && !(atEnd && have >= length) && !(have >= length && provesWhole(begin, header))) break;
    const bool nextIsFrame = nextInHand && frameAt(begin + length, next);
    if (nextInHand && !nextIsFrame && !provesWhole(begin, header)) {
      state = State::Searching;  // no frame after all, or one that damage cut
      ++begin;
      ++heldAt;
      continue;
    }
    if (!handOn(header)) return false;
    if (nextIsFrame) {
      header = next;
      headerRead = true;
    }
  }
  if (held.size() - begin > kLockSearchLimit && state == State::FirstSearch) {
    passThrough(kNoFrame);
    return writeTheRest();
  }
  held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(begin));
  begin = 0;
  return true;
}

// Finds the next frame whose successor is a frame of the same stream, or
// that proves itself whole. True when found. A broadcast may change its rate or layer: frames of any
// stream are followed, since none may be lost.
bool FrameFinder::lockOn(bool atEnd) {
  const std::size_t from = begin, headerSize = format.headerSize();
  const bool firstSearch = state == State::FirstSearch;
  // Where the last search stopped: before the first frame, the bytes stay.
  std::size_t i = begin + static_cast<std::size_t>(std::max(searchedTo, heldAt) - heldAt);
  for (; i + headerSize <= held.size(); ++i) {
    FrameHeader header, next;
    if (!frameAt(i, header)) continue;
    const std::size_t end = i + header.length;
    const bool wholeInHand = end <= held.size() && provesWhole(i, header);
    if (end + headerSize > held.size() && !(atEnd && end <= held.size()) && !wholeInHand) {
      searchedTo = heldAt + (i - from);
      if (!firstSearch) {
        heldAt += i - from;
        begin = i;
      }
      return false;  // more bytes will tell
    }
    if (end + headerSize <= held.size() && !(frameAt(end, next) && next.sameStream(header)) && !wholeInHand) continue;
    heldAt += i - from;
    begin = i;
    state = State::Locked;
    return true;
  }
  // None yet; before the first frame nothing is dropped, so that audio
  // korvat cannot measure is still passed on whole.
  searchedTo = heldAt + (held.size() - from) - std::min<std::size_t>(held.size() - from, headerSize - 1);
  if (!firstSearch || atEnd) {
    const std::size_t keep = atEnd ? 0 : std::min<std::size_t>(held.size() - begin, headerSize - 1);
    heldAt += held.size() - keep - begin;
    begin = held.size() - keep;
  }
  return false;
}

// The stamp of the frame at held[begin]: a packet in which no frame began stamps none.
TimeStamp FrameFinder::stampHere() {
  while (!stamps.empty() && stamps.front().to <= heldAt) stamps.pop_front();
  if (stamps.empty() || stamps.front().from > heldAt) return TimeStamp::unknown("none");
  const std::uint32_t ticks = stamps.front().ticks;
  stamps.pop_front();
  return TimeStamp::of(ticks);
}

bool FrameFinder::handOn(const FrameHeader& header) {
  if (breakAt.has_value() && heldAt + header.length > *breakAt) tellDamage();
  switch (receiver.take({held.data() + begin, header, stampHere()})) {
    case FrameVerdict::WriteFailed:
      return false;
    case FrameVerdict::PassThrough:
      state = State::PassThrough;
      return true;
    case FrameVerdict::Taken:
      break;
  }
  cutSinceFrame = false;
  begin += header.length;
  heldAt += header.length;
  return true;
}

void FrameFinder::tellDamage() {
  breakAt.reset();
  receiver.damaged();
}

bool FrameFinder::writeTheRest() {
  const bool ok = receiver.passOn(held.data() + begin, held.size() - begin);
  held.clear();
  begin = 0;
  return ok;
}

bool FrameFinder::finish() {
  if (state == State::FirstSearch) {
    passThrough(kNoFrame);
    if (!writeTheRest()) return false;
  }
  if (state == State::PassThrough) return true;
  if (!process(true)) return false;
  // A last frame cut short by the end of the recording is what there is
  // of it; one that damage cut is not passed on.
  if (state != State::Locked || cutSinceFrame) held.clear();
  if (breakAt.has_value()) tellDamage();
  return writeTheRest();
}

}  // namespace korvat
