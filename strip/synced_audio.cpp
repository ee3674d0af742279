#include "strip/synced_audio.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "console/console.h"
#include "format/clock.h"

namespace korvat {
namespace {

// Audio in which no frame of a length korvat knows turns up this soon is
// written as it comes: it cannot be repaired, and must not be lost.
constexpr std::size_t kLockSearchLimit = 64 * 1024;
// Stamps further apart than this are no damage: the streams were stamped
// from different clocks, and no repair can know which is right.
constexpr std::int64_t kMaxRepairTicks = 60 * kTicksPerSecond;
constexpr std::size_t kMaxFrameLength = 2048;

}  // namespace

SyncedAudio::SyncedAudio(DiskFile* output, const VideoTimeline& timeline, TimeStamp timelineBase)
    : output(output), timeline(timeline), timelineBase(timelineBase) {
  if (!timelineBase.known) {
    cannotRepair = std::string("video: ") + timelineBase.missing;
  } else if (timeline.empty()) {
    cannotRepair = "the video's frame rate is not known";
  }
  // Audio that cannot be repaired is left as it is.
  passThrough = !cannotRepair.empty();
}

bool SyncedAudio::add(const unsigned char* data, std::size_t n, TimeStamp stamp) {
  anyAudio = anyAudio || n > 0;
  if (passThrough) return writeBytes(data, n);
  const std::uint64_t at = heldAt + (held.size() - begin);
  if (stamp.known) stamps.push_back({at, at + n, stamp.ticks});
  held.insert(held.end(), data, data + n);
  return process(false);
}

bool SyncedAudio::breakHere() {
  cutSinceFrame = true;
  cutSinceStamp = true;
  if (!output) {
    endStretch();
    stretchOpen = true;
    stretchSeen = false;
  }
  // A frame that ends right here cannot be told whole by the one after it,
  // which damage may have taken: it is whole, and goes out. Any other frame
  // in hand is told by what follows it, as always.
  AudioFrameHeader header;
  if (passThrough || !locked || held.size() - begin < kAudioHeaderSize || !frameAt(begin, header) ||
      held.size() - begin != header.length()) {
    return true;
  }
  if (!emitFrame(header)) return false;
  held.clear();
  begin = 0;
  return true;
}

bool SyncedAudio::frameAt(std::size_t at, AudioFrameHeader& header) const {
  return AudioFrameHeader::parse(held.data() + at, header);
}

// Writes the whole frames in hand. A frame counts only where the next one
// begins where its length says, or where the audio ends.
bool SyncedAudio::process(bool atEnd) {
  for (;;) {
    if (passThrough) return writeTheRest();
    if (!locked && !lockOn(atEnd)) break;
    AudioFrameHeader header, next;
    if (held.size() - begin < kAudioHeaderSize || !frameAt(begin, header)) break;
    const std::size_t length = header.length(), have = held.size() - begin;
    if (have < length + kAudioHeaderSize && !(atEnd && have >= length)) break;
    if (have >= length + kAudioHeaderSize && !frameAt(begin + length, next)) {
      locked = false;  // no frame after all, or one that damage cut
      ++begin;
      ++heldAt;
      continue;
    }
    if (!emitFrame(header)) return false;
  }
  if (held.size() - begin > kLockSearchLimit && !streamKnown) {
    // No frame korvat can measure: the audio goes out as it came.
    passThrough = true;
    cannotRepair = "no audio frame whose length korvat knows";
    return writeTheRest();
  }
  held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(begin));
  begin = 0;
  return true;
}

// Finds the next frame whose successor is a frame of the same stream. True
// when found. A broadcast may change its rate or layer: frames of any
// stream are followed, since none may be lost.
bool SyncedAudio::lockOn(bool atEnd) {
  const std::size_t from = begin;
  // Where the last search stopped: before the first frame, the bytes stay.
  std::size_t i = begin + static_cast<std::size_t>(std::max(searchedTo, heldAt) - heldAt);
  for (; i + kAudioHeaderSize <= held.size(); ++i) {
    AudioFrameHeader header, next;
    if (held[i] != 0xFF || !frameAt(i, header)) continue;
    const std::size_t end = i + header.length();
    if (end + kAudioHeaderSize > held.size() && !(atEnd && end <= held.size())) {
      searchedTo = heldAt + (i - from);
      if (streamKnown) {
        heldAt += i - from;
        begin = i;
      }
      return false;  // more bytes will tell
    }
    if (end + kAudioHeaderSize <= held.size() && !(frameAt(end, next) && next.sameStream(header))) continue;
    heldAt += i - from;
    begin = i;
    locked = true;
    streamKnown = true;
    return true;
  }
  // None yet; before the first frame nothing is dropped, so that audio
  // korvat cannot measure is still written whole.
  searchedTo = heldAt + (held.size() - from) - std::min<std::size_t>(held.size() - from, kAudioHeaderSize - 1);
  if (streamKnown || atEnd) {
    const std::size_t keep = atEnd ? 0 : std::min<std::size_t>(held.size() - begin, kAudioHeaderSize - 1);
    heldAt += held.size() - keep - begin;
    begin = held.size() - keep;
  }
  return false;
}

bool SyncedAudio::emitFrame(const AudioFrameHeader& header) {
  // A packet in which no frame began stamps none.
  while (!stamps.empty() && stamps.front().to <= heldAt) stamps.pop_front();
  const bool stamped = !stamps.empty() && stamps.front().from <= heldAt;
  const std::uint32_t ticks = stamped ? stamps.front().ticks : 0;
  if (stamped) stamps.pop_front();
  if (!framesBegun) {
    framesBegun = true;
    if (!stamped) {
      // Nothing to count the audio's time from: it goes out as it came.
      first = TimeStamp::unknown("no time stamp on the first frame's PES packet");
      cannotRepair = "the first audio frame has no time stamp";
      passThrough = true;
      return true;
    }
    first = TimeStamp::of(ticks);
    // Moments count from the time line's base; the output from the first picture shown.
    clock.startAt(ticks, ticksBetween(timelineBase.ticks, ticks));
    firstFrameTicks = clock.now() - timeline.firstShift();
  }
  if (stamped && !checkpoint(ticks, header)) return false;
  const std::size_t length = header.length();
  if (dropsLeft > 0) {
    --dropsLeft;
    ++dropped;
  } else {
    if (!writeBytes(held.data() + begin, length)) return false;
    countOut(header);
  }
  ++framesSinceStamp;
  ticksSinceStamp += frameTicksOf(header);
  cutSinceFrame = false;
  begin += length;
  heldAt += length;
  return true;
}

std::int64_t SyncedAudio::framesIn(std::int64_t ticks, const AudioFrameHeader& header) const {
  return korvat::framesIn(ticks, header.samples(), header.sampleRate);
}

// The audio written, in ticks: samples count at their own rate.
std::int64_t SyncedAudio::outputTicks() const {
  return firstFrameTicks + ticksBeforeRate + ticksOfSamples(samplesAtRate, std::max(rate, 1u));
}

void SyncedAudio::countOut(const AudioFrameHeader& frame) {
  if (frame.sampleRate != rate) {
    ticksBeforeRate = outputTicks() - firstFrameTicks;
    samplesAtRate = 0;
    rate = frame.sampleRate;
  }
  samplesAtRate += frame.samples();
}

bool SyncedAudio::checkpoint(std::uint32_t ticks, const AudioFrameHeader& header) {
  std::int64_t moment = clock.follow(ticks);
  if (stampSeen && !trusted(moment, header)) return true;
  clock.moveTo(moment);
  ++stampsBelieved;
  // Frames repeated (a packet that came twice) are no loss.
  if (stampSeen) {
    framesLost += std::max<std::int64_t>(
        0, framesIn(moment - lastStampTicks, header) - static_cast<std::int64_t>(framesSinceStamp));
  }
  stampSeen = true;
  lastStampTicks = moment;
  framesSinceStamp = 0;
  ticksSinceStamp = 0;

  const std::int64_t target = moment - timeline.shiftAt(moment);
  const std::int64_t now = outputTicks();
  const std::int64_t offset = now - target;  // above 0: the audio comes late
  const std::int64_t frames = framesIn(offset, header);
  lastFrameTicks = frameTicksOf(header);
  if (std::llabs(offset) > kMaxRepairTicks) {
    if (frames != farBy) {
      consoleNote("audio not repaired at %s: its time stamps lie %+" PRId64 " ms from the video's\n",
                  clockText(now).c_str(), millisecondsOf(offset));
    }
    farBy = frames;
    return true;
  }
  farBy = 0;
  if (!output) {
    if (stretchOpen && !stretchSeen) stretchAt = now;
    stretchSeen = true;
    lastOffset = offset;
    return true;
  }
  lastOffset = offset - frames * lastFrameTicks;
  if (frames == 0 && dropsLeft == 0) {
    endRepair();
    return true;
  }
  if (!repairing) {
    repairing = true;
    repairAt = now;
    insertedBefore = inserted;
    droppedBefore = dropped;
  }
  // The frames still to drop are counted anew at every stamp, so that each
  // repair aims at the total.
  dropsLeft = std::max<std::int64_t>(frames, 0);
  if (frames >= 0) return true;
  // Silence goes only under pictures there are: audio stamped past the end
  // of the video has nothing to keep in step with.
  const std::int64_t room =
      wholeFramesIn(std::max<std::int64_t>(0, timeline.end() - now), header.samples(), header.sampleRate);
  return insertSilence(std::min(-frames, room));
}

// Whether a stamp is believed. One that the frames since the last stamp do
// not lead to is a loss where damage lay between; with no damage, a garbled
// stamp is as likely, so it is believed only when the next stamp agrees. A
// clock that jumps back was restarted: the audio goes on as it was.
bool SyncedAudio::trusted(std::int64_t& moment, const AudioFrameHeader& header) {
  const std::int64_t expected = lastStampTicks + ticksSinceStamp;
  const std::int64_t jump = moment - expected, half = frameTicksOf(header) / 2;
  const bool cut = cutSinceStamp;
  cutSinceStamp = false;
  if (stampsBelieved == 1 && std::llabs(jump) > half && !cut) {
    // Only the first stamp says otherwise: wait for the next, and should it
    // agree, the first was the garbled one. The audio's start moves, not the audio.
    if (!pendingJump || std::llabs(*pendingJump - jump) > half) {
      pendingJump = jump;
      return false;
    }
    first = first.movedBy(jump);
    firstFrameTicks += jump;
    lastStampTicks += jump;
  } else if (jump < -kClockRestart) {
    moment = expected;
  } else if (std::llabs(jump) > half && !cut && (!pendingJump || std::llabs(*pendingJump - jump) > half)) {
    pendingJump = jump;
    return false;
  }
  pendingJump.reset();
  return true;
}

std::int64_t SyncedAudio::frameTicksOf(const AudioFrameHeader& header) {
  return ticksOfSamples(header.samples(), header.sampleRate);
}

// With -p, one line for each damaged stretch that moved the two apart, once
// the audio is past it: a stretch that took video moves the audio's moments
// one by one as they pass the pictures lost.
void SyncedAudio::endStretch() {
  if (!stretchOpen || !stretchSeen) return;
  stretchOpen = false;
  const std::int64_t frames = roundedDivision(lastOffset, lastFrameTicks);
  if (frames != partedBy) {
    ++repairs;
    told.push_back({stretchAt, framesLost, 0, 0, lastOffset, 0});
  }
  partedBy = frames;
  framesLost = 0;
}

// One line for each repair, once the audio is in step again. The lines
// wait for the end, where each of the video's cuts is told on the line of
// the repair nearest to it.
void SyncedAudio::endRepair() {
  if (repairing) {
    ++repairs;
    told.push_back({repairAt, framesLost, inserted - insertedBefore, dropped - droppedBefore, lastOffset, 0});
  }
  repairing = false;
  framesLost = 0;
}

void SyncedAudio::printRepairs() {
  for (const VideoTimeline::Cut& cut : timeline.cuts()) {
    auto nearest = told.end();
    for (auto line = told.begin(); line != told.end(); ++line) {
      if (nearest == told.end() || std::llabs(line->at - cut.at) < std::llabs(nearest->at - cut.at)) nearest = line;
    }
    if (nearest != told.end()) nearest->pictures += cut.pictures;
    picturesDropped += cut.pictures;
  }
  for (const Told& line : told) {
    if (output) {
      consoleNote("audio repair at %s: %" PRId64 " audio frames lost, %" PRIu64 " silent frames inserted, %" PRIu64
                  " frames dropped, %" PRIu64 " pictures dropped, offset left %+" PRId64 " ms\n",
                  clockText(line.at).c_str(), line.lost, line.inserted, line.dropped, line.pictures,
                  millisecondsOf(line.offset));
    } else {
      consoleNote("audio and video parted at %s: audio off by %+" PRId64 " ms, %" PRId64 " audio frames lost, %" PRIu64
                  " pictures dropped\n",
                  clockText(line.at).c_str(), millisecondsOf(line.offset), line.lost, line.pictures);
    }
  }
}

// Silence in the frames of the stream around it, before the frame in hand.
bool SyncedAudio::insertSilence(std::int64_t frames) {
  unsigned char silent[kMaxFrameLength] = {};
  writeSilentFrameHeader(held.data() + begin, silent);
  AudioFrameHeader silence;
  AudioFrameHeader::parse(silent, silence);
  for (std::int64_t i = 0; i < frames; ++i) {
    if (!writeBytes(silent, silence.length())) return false;
    countOut(silence);
    ++inserted;
  }
  return true;
}

bool SyncedAudio::writeTheRest() {
  const bool ok = writeBytes(held.data() + begin, held.size() - begin);
  held.clear();
  begin = 0;
  return ok;
}

bool SyncedAudio::writeBytes(const unsigned char* data, std::size_t n) {
  if (!output || n == 0) return true;
  const auto size = static_cast<std::uint32_t>(n);
  if (output->write(data, size) != size) return false;
  written += n;
  return true;
}

bool SyncedAudio::finish() {
  if (!passThrough && !streamKnown) {
    passThrough = true;
    cannotRepair = "no audio frame whose length korvat knows";
    if (!writeTheRest()) return false;
  }
  if (!passThrough) {
    if (!process(true)) return false;
    // A last frame cut short by the end of the recording is what there is
    // of it; one that damage cut is not written.
    if (!locked || cutSinceFrame) held.clear();
    if (!writeTheRest()) return false;
  }
  if (cannotRepair.empty()) output ? endRepair() : endStretch();
  printRepairs();
  const std::uint64_t pictures = picturesDropped;
  if (!anyAudio) {
    return true;  // nothing to repair, nor to say
  } else if (!cannotRepair.empty()) {
    consoleNote("audio not repaired: %s\n", cannotRepair.c_str());
  } else if (output) {
    consoleNote("audio repairs: %" PRIu64 ", %" PRIu64 " silent frames inserted, %" PRIu64 " frames dropped, %" PRIu64
                " pictures dropped; offset at the end %+" PRId64 " ms\n",
                repairs, inserted, dropped, pictures, millisecondsOf(lastOffset));
  } else {
    consoleNote("audio and video parted at %" PRIu64 " damaged stretches, %" PRIu64
                " pictures dropped; -p leaves the audio as it came, offset at the end %+" PRId64 " ms\n",
                repairs, pictures, millisecondsOf(lastOffset));
  }
  return true;
}

}  // namespace korvat
