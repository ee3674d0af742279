// The second stage of the audio: the moment of each stamped frame on the
// time line's clock, once its stamp is believed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
  bool passOn(const unsigned char* data, std::size_t n) override { return repair.passOn(data, n); }
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

  void checkpoint(std::uint32_t ticks, const FoundFrame& frame);
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
};

}  // namespace korvat
