// The audio of a damaged recording, frame by frame, kept in step with the video.
#include "strip/synced_audio.h"

#include <string>

namespace korvat {

SyncedAudio::SyncedAudio(AudioSink& sink, std::unique_ptr<AudioFrameFormat> format, const VideoTimeline& timeline,
                         TimeStamp timelineBase, TrackWords words)
    : format(std::move(format)),
      repair(sink.mode(), timeline, sink, *this->format, std::move(words)),
      clock(repair, timelineBase),
      finder(*this->format, clock) {
  // Audio that cannot be repaired is left as it is.
  if (!timelineBase.known) {
    finder.passThrough(std::string("video: ") + timelineBase.missing);
  } else if (timeline.empty()) {
    finder.passThrough("the video's frame rate is not known");
  }
}

bool SyncedAudio::finish() {
  if (!finder.finish() || !clock.finish()) return false;
  repair.finish(finder.anyBytes());
  return true;
}

}  // namespace korvat
