// The second stage of the audio: each frame's moment on the time line's clock.
#include "audio/audio_clock.h"

#include <algorithm>
#include <cstdlib>

namespace korvat {

FrameVerdict AudioClock::take(const FoundFrame& frame) {
  if (writeFailed) return FrameVerdict::WriteFailed;
  if (state == State::BeforeFirstFrame) {
    if (!frame.stamp.known) {
      state = State::Unstamped;
      first = TimeStamp::unknown("no time stamp on the first frame's PES packet");
      repair.cannotRepair("the first audio frame has no time stamp");
      return FrameVerdict::PassThrough;
    }
    first = frame.stamp;
    clock.startAt(frame.stamp.ticks, ticksBetween(timelineBase.ticks, frame.stamp.ticks));
    repair.start(clock.now());
  }
  if (frame.stamp.known && !checkpoint(frame.stamp.ticks, frame)) {
    // A stamp that jumps where no damage lay: packets lost without a trace,
    // or the stamp garbled. The frames from here wait for the next stamp to
    // tell which; those that waited for this one were told it is neither.
    if (!placeHeld(Placed::OnFromBefore)) return FrameVerdict::WriteFailed;
    awaitingStamp = true;
    return hold(frame) ? FrameVerdict::Taken : FrameVerdict::WriteFailed;
  }
  if (frame.stamp.known) {
    if (!placeHeld(Placed::BackFromStamp)) return FrameVerdict::WriteFailed;
  } else if (awaitingStamp && held.size() < kMaxHeldFrames) {
    return hold(frame) ? FrameVerdict::Taken : FrameVerdict::WriteFailed;
  } else if (!placeHeld(Placed::OnFromBefore)) {
    return FrameVerdict::WriteFailed;
  }
  if (!repair.take(frame, lastStampTicks + ticksSinceStamp)) return FrameVerdict::WriteFailed;
  ++framesSinceStamp;
  ticksSinceStamp += frame.header.ticks();
  return FrameVerdict::Taken;
}

void AudioClock::damaged() {
  // Frames held since earlier damage are no nearer a stamp of their own.
  if (!placeHeld(Placed::OnFromBefore)) writeFailed = true;
  cutSinceStamp = true;
  awaitingStamp = state == State::FirstStampOnly || state == State::Following;
  repair.damaged();
}

// The frames between damage and the next stamp: what damage took before
// them is not known until that stamp comes, so they wait for it.
bool AudioClock::hold(const FoundFrame& frame) {
  held.push_back({std::vector<unsigned char>(frame.data, frame.data + frame.header.length), frame.header,
                  lastStampTicks + ticksSinceStamp});
  ++framesSinceStamp;
  ticksSinceStamp += frame.header.ticks();
  return true;
}

// The frames held go on: back from the stamp that came after the damage,
// which they end at, or without one, on from the stamp before it.
bool AudioClock::placeHeld(Placed placed) {
  awaitingStamp = false;
  std::int64_t moment = lastStampTicks;
  for (const HeldFrame& frame : held) moment -= frame.header.ticks();
  for (; !held.empty(); held.pop_front()) {
    const HeldFrame& frame = held.front();
    const std::int64_t at = placed == Placed::BackFromStamp ? moment : frame.forward;
    if (!repair.take({frame.bytes.data(), frame.header, TimeStamp::unknown("held")}, at)) return false;
    moment += frame.header.ticks();
  }
  return true;
}

bool AudioClock::checkpoint(std::uint32_t ticks, const FoundFrame& frame) {
  std::int64_t moment = clock.follow(ticks);
  const bool firstStamp = state == State::BeforeFirstFrame;
  if (!firstStamp && !believed(moment, frame.header)) return false;
  clock.moveTo(moment);
  // Frames repeated (a packet that came twice) are no loss.
  const std::int64_t lost = firstStamp ? 0
                                       : std::max<std::int64_t>(0, frame.header.framesIn(moment - lastStampTicks) -
                                                                       static_cast<std::int64_t>(framesSinceStamp));
  state = firstStamp ? State::FirstStampOnly : State::Following;
  lastStampTicks = moment;
  framesSinceStamp = 0;
  ticksSinceStamp = 0;
  std::int64_t heldTicks = 0;  // go out before the frame stamped
  for (const HeldFrame& waiting : held) heldTicks += waiting.header.ticks();
  repair.checkpoint(moment, lost, frame, heldTicks);
  return true;
}

// Whether a stamp is believed. One that the frames since the last stamp do
// not lead to is a loss where damage lay between; with no damage, a garbled
// stamp is as likely, so it is believed only when the next stamp agrees. A
// clock that jumps back was restarted: the audio goes on as it was. Should
// the next stamp go on from the clock before, with no damage between, the
// one that jumped back was garbled, and the clock goes back.
bool AudioClock::believed(std::int64_t& moment, const FrameHeader& header) {
  const std::int64_t expected = lastStampTicks + ticksSinceStamp;
  const std::int64_t jump = moment - expected, half = header.ticks() / 2;
  const bool cut = cutSinceStamp;
  cutSinceStamp = false;
  const bool agreesWithPending = pendingJump && std::llabs(*pendingJump - jump) <= half;
  const bool restartUndone = restartJump && !cut && std::llabs(jump + *restartJump) <= half;
  restartJump.reset();
  if (state == State::FirstStampOnly && std::llabs(jump) > half && !cut) {
    // Only the first stamp says otherwise: wait for the next, and should it
    // agree, the first was the garbled one. The audio's start moves, not the audio.
    if (!agreesWithPending) {
      pendingJump = jump;
      return false;
    }
    first = first.movedBy(jump);
    repair.moveStart(jump);
    lastStampTicks += jump;
  } else if (jump < -kClockRestart || restartUndone) {
    if (!restartUndone) restartJump = jump;
    moment = expected;
  } else if (std::llabs(jump) > half && !cut && !agreesWithPending) {
    pendingJump = jump;
    return false;
  }
  pendingJump.reset();
  return true;
}

}  // namespace korvat
