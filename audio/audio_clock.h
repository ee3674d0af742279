// The second stage of the audio: the moment of each frame on the time line's
// clock, from the last stamp believed; after damage, from the next one.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_repair.h"
#include "audio/frame_finder.h"
#include "format/clock.h"

namespace korvat {

class AudioClock final : public FrameReceiver {
 public:
  // Moments count from `timelineBase`, the stamp the video's time line counts from.
  AudioClock(AudioRepair& repair, TimeStamp timelineBase) : repair(repair), timelineBase(timelineBase) {}

  FrameVerdict take(const FoundFrame& frame) override;
  void damaged() override;
  bool passOn(const unsigned char* data, std::size_t n) override {
    return placeHeld(Placed::OnFromBefore) && repair.passOn(data, n);
  }
  // The audio ended: frames still waiting for a stamp go on as they are. False when a write failed.
  bool finish() { return !writeFailed && placeHeld(Placed::OnFromBefore); }
  void cannotRepair(const std::string& why) override { repair.cannotRepair(why); }

  bool framesFound() const { return state != State::BeforeFirstFrame; }
  // The stamp of the first frame, once frames were found.
  TimeStamp firstFrame() const { return first; }

 private:
  enum class State {
    BeforeFirstFrame,
    Unstamped,       // the first frame had no stamp: there is no time to count from
    FirstStampOnly,  // only the first frame's stamp believed so far
    Following,
  };

  // A frame after damage, before the stamp that tells its moment.
  struct HeldFrame {
    std::vector<unsigned char> bytes;
    FrameHeader header;
    std::int64_t forward;  // its moment, should no stamp come: on from the last one
  };
  // Damage leaves no frame before the next stamp a moment of its own; a
  // run of them longer than this goes on with the moments before the damage.
  static constexpr std::size_t kMaxHeldFrames = 256;

  bool hold(const FoundFrame& frame);
  enum class Placed { BackFromStamp, OnFromBefore };
  bool placeHeld(Placed placed);
  // False when the stamp is not believed, not yet.
  bool checkpoint(std::uint32_t ticks, const FoundFrame& frame);
  bool believed(std::int64_t& moment, const FrameHeader& header);

  AudioRepair& repair;
  TimeStamp timelineBase;
  State state = State::BeforeFirstFrame;
  TimeStamp first = TimeStamp::unknown("no audio frame");
  UnwrappedClock clock;
  // Since the last stamp believed, to tell the next one and count the frames damage took.
  std::int64_t lastStampTicks = 0;
  std::uint64_t framesSinceStamp = 0;
  std::int64_t ticksSinceStamp = 0;
  bool cutSinceStamp = false;
  std::optional<std::int64_t> pendingJump;  // of a stamp not yet believed
  std::optional<std::int64_t> restartJump;  // of the last stamp believed, when it restarted the clock
  bool awaitingStamp = false;               // damage, or a stamp not believed, since the last frame stamped
  std::deque<HeldFrame> held;               // the frames since, until the next stamp
  bool writeFailed = false;                 // placing them, when damage was told
};

}  // namespace korvat
