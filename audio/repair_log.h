// What the audio repair tells at the end: a line for each repair (or with
// -p, each parting of audio and video), and a summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_sink.h"
#include "video/timeline.h"

namespace korvat {

// Which audio the lines tell of. The audio file's lines say "audio" alone;
// another track's name its file, or with -p its stream: " in 'rec.ac3'",
// and "audio track bd" where it parted from the video.
struct TrackWords {
  std::string in;
  std::string noun = "audio";
};

class RepairLog {
 public:
  explicit RepairLog(TrackWords words) : words(std::move(words)) {}

  struct Counts {
    std::uint64_t inserted = 0, dropped = 0;  // silent frames, frames
  };
  struct Line {
    std::int64_t at, lost;  // in the output; audio frames
    Counts counts;
    std::int64_t offset;  // left after it, in ticks
  };

  void cannotRepair(const std::string& why) { reason = why; }
  bool canRepair() const { return reason.empty(); }
  void add(const Line& line) { lines.push_back({line, 0}); }
  std::uint64_t repairs() const { return lines.size(); }
  void countSilentFrame() { ++counted.inserted; }
  void countDroppedFrame() { ++counted.dropped; }
  Counts totals() const { return counted; }

  // Stamps so far from the video's that no repair can know which is right.
  void tellFarStamps(std::int64_t at, std::int64_t offset) const;
  // The lines, each with the video's cuts nearest to it, then the summary.
  void print(AudioMode mode, const VideoTimeline& timeline, bool anyAudio, std::int64_t offsetAtEnd);

 private:
  struct Told {
    Line line;
    std::uint64_t pictures;  // dropped by the video's cuts nearest to it
  };
  std::uint64_t assignCuts(const VideoTimeline& timeline);

  const TrackWords words;
  std::vector<Told> lines;
  Counts counted;
  std::string reason;  // why the audio cannot be repaired, when it cannot
};

}  // namespace korvat
