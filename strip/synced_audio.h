// The audio of a damaged recording, frame by frame, kept in step with the
// video. Only whole frames are written: a frame that damage cut is dropped,
// not handed to a decoder, which would lose the frames after it too. At
// every stamped frame the audio's place in the output is held against the
// video's, from the time line of the first pass; where the two have parted,
// silent frames are inserted or frames dropped until they meet again, to
// within half a frame. Every repair aims at the total, so none builds up.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "file/disk_file.h"
#include "format/mpeg.h"
#include "format/mpeg_audio.h"
#include "format/timeline.h"

namespace korvat {

class SyncedAudio {
 public:
  // Without `output` nothing is written, and nothing repaired: each time the
  // two part, standard error says by how much (for -p, whose audio keeps its
  // PES packets and so its time stamps).
  SyncedAudio(DiskFile* output, const VideoTimeline& timeline, TimeStamp timelineBase);

  // The payload of one PES packet, from the first frame sync on in the first;
  // `stamp` is the packet's time stamp, of the first frame that begins in it.
  // False when a write failed.
  bool add(const unsigned char* data, std::size_t n, TimeStamp stamp);
  // Damage lay between the bytes before and after: they may not be contiguous.
  bool breakHere();
  // The audio ended: a whole frame in hand goes out, and so does a last one
  // cut short by the end of the recording. Prints the summary.
  bool finish();

  std::uint64_t bytesWritten() const { return written; }
  // The stamp of the first frame written, once frames were found.
  TimeStamp firstFrame() const { return first; }
  bool framesFound() const { return framesBegun; }
  bool repaired() const { return repairs > 0 && output != nullptr; }

 private:
  struct Stamp {
    std::uint64_t from, to;  // the packet's bytes in the stream
    std::uint32_t ticks;
  };

  bool process(bool atEnd);
  bool lockOn(bool atEnd);
  bool frameAt(std::size_t at, AudioFrameHeader& header) const;
  bool emitFrame(const AudioFrameHeader& header);
  bool checkpoint(std::uint32_t ticks, const AudioFrameHeader& header);
  bool trusted(std::int64_t& moment, const AudioFrameHeader& header);
  bool insertSilence(std::int64_t frames);
  bool writeTheRest();
  bool writeBytes(const unsigned char* data, std::size_t n);
  std::int64_t framesIn(std::int64_t ticks, const AudioFrameHeader& header) const;
  std::int64_t outputTicks() const;
  void countOut(const AudioFrameHeader& frame);
  static std::int64_t frameTicksOf(const AudioFrameHeader& header);
  void endRepair();
  void printRepairs();
  void endStretch();

  DiskFile* output;
  const VideoTimeline& timeline;
  TimeStamp timelineBase;
  std::string cannotRepair;  // why not, when it cannot

  // Bytes not yet written: held[begin, end) are the stream's from heldAt on.
  std::vector<unsigned char> held;
  std::size_t begin = 0;
  std::uint64_t heldAt = 0;
  std::deque<Stamp> stamps;
  bool locked = false;           // held[begin] is a frame's first byte
  std::uint64_t searchedTo = 0;  // in the stream: where the search for a frame goes on
  bool passThrough = false;
  bool framesBegun = false;
  bool cutSinceFrame = false;  // damage came after the last whole frame
  bool anyAudio = false;
  bool streamKnown = false;  // a frame was found

  std::uint64_t written = 0;
  TimeStamp first = TimeStamp::unknown("no audio frame");
  // The time line of the output, from the first picture's stamp.
  std::int64_t ticksBeforeRate = 0;  // of the audio written at earlier sample rates
  std::uint64_t samplesAtRate = 0;
  std::uint32_t rate = 0;
  std::int64_t firstFrameTicks = 0;
  UnwrappedClock clock;  // the audio's stamps, from the time line's base
  // Since the last stamp, to count the frames the damage took.
  std::int64_t lastStampTicks = 0;
  std::uint64_t framesSinceStamp = 0;
  std::int64_t ticksSinceStamp = 0;
  bool cutSinceStamp = false;
  std::optional<std::int64_t> pendingJump;  // of a stamp not yet believed
  std::uint64_t stampsBelieved = 0;
  bool stampSeen = false;
  std::int64_t framesLost = 0;
  std::int64_t dropsLeft = 0;
  std::int64_t farBy = 0;  // stamps too far apart to repair, by so many frames
  // -p: the stretch under way, and the parting last reported, in frames.
  bool stretchOpen = false, stretchSeen = false;
  std::int64_t stretchAt = 0;
  std::int64_t partedBy = 0;
  std::int64_t lastFrameTicks = 0;
  // The repairs (or with -p, the partings) to tell of at the end.
  struct Told {
    std::int64_t at, lost;
    std::uint64_t inserted, dropped;
    std::int64_t offset;
    std::uint64_t pictures;  // the video's cuts nearest to it
  };
  std::vector<Told> told;
  std::uint64_t picturesDropped = 0;
  std::int64_t lastOffset = 0;
  std::uint64_t repairs = 0, inserted = 0, dropped = 0;
  // The repair under way: where it began, and the counts before it.
  bool repairing = false;
  std::int64_t repairAt = 0;
  std::uint64_t insertedBefore = 0, droppedBefore = 0;
};

}  // namespace korvat
