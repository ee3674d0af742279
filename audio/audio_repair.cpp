// The third stage of the audio: its place in the output held against the
// video's, silent frames inserted or frames dropped where the two parted.
#include "audio/audio_repair.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "format/clock.h"

namespace korvat {
namespace {

// Stamps further apart than this are no damage: the streams were stamped
// from different clocks, and no repair can know which is right.
constexpr std::int64_t kMaxRepairTicks = 60 * kTicksPerSecond;

}  // namespace

std::int64_t WrittenTime::now() const {
  return firstFrameTicks + ticksBeforeRate + ticksOfSamples(samplesAtRate, std::max(rate, 1u));
}

void WrittenTime::add(const FrameHeader& frame) {
  if (frame.sampleRate != rate) {
    ticksBeforeRate = now() - firstFrameTicks;
    samplesAtRate = 0;
    rate = frame.sampleRate;
  }
  samplesAtRate += frame.samples;
}

void AudioRepair::damaged() {
  if (mode != AudioMode::ReportOnly) return;
  endStretch();
  phase = Phase::StretchOpen;
}

void AudioRepair::checkpoint(std::int64_t moment, std::int64_t lost, const FoundFrame& frame, std::int64_t heldTicks) {
  framesLost += lost;
  const std::int64_t target = moment - timeline.shiftAt(moment);
  const std::int64_t now = written.now() + heldTicks;
  const std::int64_t offset = now - target;  // above 0: the audio comes late
  const std::int64_t frames = frame.header.framesIn(offset);
  lastFrameTicks = frame.header.ticks();
  if (std::llabs(offset) > kMaxRepairTicks) {
    if (frames != farBy) {
      log.tellFarStamps(now, offset);
    }
    farBy = frames;
    return;
  }
  farBy = 0;
  if (mode == AudioMode::Write) return;
  // The parting is told where the video was cut, not where the audio had got to.
  if (phase == Phase::StretchOpen) {
    phase = Phase::StretchMeasured;
    since = timeline.cutNear(target);
  }
  lastOffset = offset;
}

bool AudioRepair::take(const FoundFrame& frame, std::int64_t moment) {
  if (mode != AudioMode::Write || farBy != 0) return writeFrame(frame);
  const std::int64_t ticks = frame.header.ticks();
  const std::optional<VideoTimeline::Place> place = timeline.placeOf(moment, ticks);
  const std::int64_t now = written.now();
  const std::int64_t offset = place.has_value() ? now - place->at : 0;
  // Whole frames leave up to half a frame; in step, the clocks' rounding
  // must not tip that back and forth.
  const std::int64_t slack = phase == Phase::InStep ? kTicksPerMillisecond : 0;
  const std::int64_t frames = std::llabs(offset) > ticks / 2 + slack ? frame.header.framesIn(offset) : 0;
  if (!place.has_value() || frames > 0) return dropFrame();
  if (frames < 0) {
    repairing();
    // Silence goes only under pictures there are: audio stamped past the
    // end of the video has nothing to keep in step with.
    const std::int64_t room =
        wholeFramesIn(std::max<std::int64_t>(0, timeline.end() - now), frame.header.samples, frame.header.sampleRate);
    if (!insertSilence(std::min(-frames, room), frame)) return false;
  }
  // A frame still early, with no room for silence before it, or one that
  // would be heard mostly before or after its pictures, across a cut, goes
  // with none of them.
  const std::int64_t heard = written.now() + ticks / 2;
  if (written.now() - place->at < -ticks / 2 || heard < place->from || heard >= place->to) return dropFrame();
  lastOffset = written.now() - place->at;
  if (frames == 0) endRepair();
  return writeFrame(frame);
}

bool AudioRepair::dropFrame() {
  repairing();
  log.countDroppedFrame();
  return true;
}

bool AudioRepair::writeFrame(const FoundFrame& frame) {
  if (!write(frame.data, frame.header.length)) return false;
  written.add(frame.header);
  return true;
}

// A repair begins, or goes on.
void AudioRepair::repairing() {
  if (phase == Phase::Repairing) return;
  phase = Phase::Repairing;
  since = written.now();
  before = log.totals();
}

// Silence in the frames of the stream around it, before the frame in hand.
bool AudioRepair::insertSilence(std::int64_t frames, const FoundFrame& like) {
  std::vector<unsigned char> silent;
  const FrameHeader silence = format.silentFrame(like.data, silent);
  for (std::int64_t i = 0; i < frames; ++i) {
    if (!write(silent.data(), silent.size())) return false;
    written.add(silence);
    log.countSilentFrame();
  }
  return true;
}

bool AudioRepair::passOn(const unsigned char* data, std::size_t n) { return write(data, n); }

bool AudioRepair::write(const unsigned char* data, std::size_t n) { return n == 0 || sink.write(data, n); }

// One line for each repair, once a frame is written in step again.
void AudioRepair::endRepair() {
  if (phase == Phase::Repairing) {
    const RepairLog::Counts now = log.totals();
    log.add({since, framesLost, {now.inserted - before.inserted, now.dropped - before.dropped}, lastOffset});
  }
  phase = Phase::InStep;
  framesLost = 0;
}

// With -p, one line for each damaged stretch that moved the two apart, once
// the audio is past it: a stretch that took video moves the audio's moments
// one by one as they pass the pictures lost.
void AudioRepair::endStretch() {
  if (phase != Phase::StretchMeasured) return;
  phase = Phase::InStep;
  const std::int64_t frames = roundedDivision(lastOffset, lastFrameTicks);
  if (frames != partedBy) log.add({since, framesLost, {}, lastOffset});
  partedBy = frames;
  framesLost = 0;
}

void AudioRepair::finish(bool anyAudio) {
  if (log.canRepair()) mode == AudioMode::Write ? endRepair() : endStretch();
  log.print(mode, timeline, anyAudio, lastOffset);
}

}  // namespace korvat
