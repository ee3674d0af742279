// The audio of a damaged recording, frame by frame, kept in step with the
// video: a chain of stages that feed forward. The finder cuts whole frames
// out of the PES payloads, the clock believes their stamps or not, the
// repair holds the audio's place against the video's time line, and the
// sink takes what is written. Only whole frames are written: a frame that
// damage cut is dropped, not handed to a decoder, which would lose the
// frames after it too.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/audio_clock.h"
#include "audio/audio_repair.h"
#include "audio/audio_sink.h"
#include "audio/frame_finder.h"
#include "audio/frame_format.h"
#include "format/clock.h"
#include "strip/audio_path.h"

namespace korvat {

class SyncedAudio final : public AudioPath {
 public:
  // With a report-only sink nothing is written, and nothing repaired: each
  // time the two part, standard error says by how much (for -p, whose audio
  // keeps its PES packets and so its time stamps).
  // The frames are of `format`; `words` say which track the lines are of.
  SyncedAudio(AudioSink& sink, std::unique_ptr<AudioFrameFormat> format, const VideoTimeline& timeline,
              TimeStamp timelineBase, TrackWords words = {});

  bool add(const unsigned char* data, std::size_t n, TimeStamp stamp) override { return finder.add(data, n, stamp); }
  // A frame in hand that damage may have cut is told by what follows it.
  bool breakHere() override { return finder.breakHere(); }
  // A whole frame in hand goes out, and so does a last one cut short by the
  // end of the recording. Prints the summary.
  bool finish() override;
  // Audio of frames korvat cannot measure went out as it came: its first
  // frame is the first sync, as without -r.
  TimeStamp firstFrame(TimeStamp atFirstSync) const override {
    return clock.framesFound() ? clock.firstFrame() : atFirstSync;
  }
  bool repaired() const override { return repair.repaired(); }

 private:
  std::unique_ptr<AudioFrameFormat> format;
  AudioRepair repair;
  AudioClock clock;
  FrameFinder finder;
};

}  // namespace korvat
