// The audio of a damaged recording, frame by frame, kept in step with the
// video: a chain of stages that feed forward. The finder cuts whole frames
// out of the PES payloads, the clock believes their stamps or not, the
// repair holds the audio's place against the video's time line, and the
// sink takes what is written. Only whole frames are written: a frame that
// damage cut is dropped, not handed to a decoder, which would lose the
// frames after it too.
#pragma once

#include <cstdint>

#include "audio/audio_clock.h"
#include "audio/audio_repair.h"
#include "audio/audio_sink.h"
#include "audio/frame_finder.h"
#include "audio/mpeg_audio_format.h"
#include "format/clock.h"

namespace korvat {

class SyncedAudio {
 public:
  // With a report-only sink nothing is written, and nothing repaired: each
  // time the two part, standard error says by how much (for -p, whose audio
  // keeps its PES packets and so its time stamps).
  SyncedAudio(AudioSink& sink, const VideoTimeline& timeline, TimeStamp timelineBase);

  // The payload of one PES packet, from the first frame sync on in the first;
  // `stamp` is the packet's time stamp, of the first frame that begins in it.
  // False when a write failed.
  bool add(const unsigned char* data, std::size_t n, TimeStamp stamp) { return finder.add(data, n, stamp); }
  // Damage lay between the bytes before and after: they may not be contiguous.
  bool breakHere() { return finder.breakHere(); }
  // The audio ended: a whole frame in hand goes out, and so does a last one
  // cut short by the end of the recording. Prints the summary.
  bool finish();

  std::uint64_t bytesWritten() const { return sink.bytesWritten(); }
  // The stamp of the first frame written, once frames were found.
  TimeStamp firstFrame() const { return clock.firstFrame(); }
  bool framesFound() const { return clock.framesFound(); }
  bool repaired() const { return repair.repaired(); }

 private:
  AudioSink& sink;
  MpegAudioFormat format;
  AudioRepair repair;
  AudioClock clock;
  FrameFinder finder;
};

}  // namespace korvat
