// The third stage of the audio: its place in the output held against the
// video's, from the time line of the first pass, frame by frame. A frame
// whose pictures were lost is dropped; one that would play more than half a
// frame late is dropped, and before one that would play that early, silent
// frames are inserted: every frame written plays with its picture, and no
// offset builds up. With -p nothing is repaired: the partings are only told.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/audio_sink.h"
#include "audio/frame_finder.h"
#include "audio/frame_format.h"
#include "audio/repair_log.h"
#include "video/timeline.h"

namespace korvat {

// The audio written, in ticks from the first picture shown: samples count at their own rate.
class WrittenTime {
 public:
  void startAt(std::int64_t ticks) { firstFrameTicks = ticks; }
  void moveStart(std::int64_t ticks) { firstFrameTicks += ticks; }
  void add(const FrameHeader& frame);
  std::int64_t now() const;

 private:
  std::int64_t firstFrameTicks = 0;
  std::int64_t ticksBeforeRate = 0;  // of the audio written at earlier sample rates
  std::uint64_t samplesAtRate = 0;
  std::uint32_t rate = 0;
};

class AudioRepair {
 public:
  AudioRepair(AudioMode mode, const VideoTimeline& timeline, AudioSink& sink, const AudioFrameFormat& format,
              TrackWords words = {})
      : mode(mode), timeline(timeline), sink(sink), format(format), log(std::move(words)) {}

  void cannotRepair(const std::string& why) { log.cannotRepair(why); }
  // The first frame's moment, on the time line's clock.
  void start(std::int64_t moment) { written.startAt(moment - timeline.firstShift()); }
  // The first frame's stamp was garbled: the audio starts so much later.
  void moveStart(std::int64_t ticks) { written.moveStart(ticks); }
  void damaged();
  // A stamped frame believed at `moment`, with so many frames lost since the
  // last, and frames of `heldTicks` still to go out before it.
  void checkpoint(std::int64_t moment, std::int64_t lost, const FoundFrame& frame, std::int64_t heldTicks);
  // Every frame, after its checkpoint, at its moment: written, or dropped by a repair.
  bool take(const FoundFrame& frame, std::int64_t moment);
  bool passOn(const unsigned char* data, std::size_t n);
  // Tells of the repairs on standard error.
  void finish(bool anyAudio);

  bool repaired() const { return mode == AudioMode::Write && log.repairs() > 0; }

 private:
  enum class Phase {
    InStep,
    Repairing,        // frames inserted or dropped since `since`
    StretchOpen,      // -p: past damage, before the next stamp measured the parting
    StretchMeasured,  // -p: past damage, since `since`
  };

  void repairing();
  bool writeFrame(const FoundFrame& frame);
  bool dropFrame();
  bool insertSilence(std::int64_t frames, const FoundFrame& like);
  bool write(const unsigned char* data, std::size_t n);
  void endRepair();
  void endStretch();

  const AudioMode mode;
  const VideoTimeline& timeline;
  AudioSink& sink;
  const AudioFrameFormat& format;
  RepairLog log;
  WrittenTime written;
  Phase phase = Phase::InStep;
  std::int64_t since = 0;     // where the repair or stretch under way began
  RepairLog::Counts before;   // the counts before the repair under way
  std::int64_t partedBy = 0;  // -p: the parting last told, in frames
  std::int64_t farBy = 0;     // stamps too far apart to repair, by so many frames
  std::int64_t lastFrameTicks = 0;
  std::int64_t lastOffset = 0;
  std::int64_t framesLost = 0;  // since the last line
};

}  // namespace korvat
