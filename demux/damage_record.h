// What the first pass tells the second of the damage it met, in one record:
// where each damaged stretch lies in the audio it collected, and the video's
// time line, with the cuts the clean cut made there.
#pragma once

#include <cstdint>
#include <vector>

#include "format/clock.h"
#include "video/timeline.h"

namespace korvat {

// What a run does at damage, decided once from the command line.
enum class DamageMode {
  Stop,        // the first damaged header ends the run
  KeepIntact,  // -k: skip damage, write the intact packets exactly
  Repair,      // -r: skip damage, cut the video cleanly, keep the audio in step with it
};

// Why the video's time line is not known when -i copies what comes before
// the first sequence header.
constexpr const char* kVideoCopiedBeforeStart = "-i copies video from before its first sequence header";

struct DamageRecord {
  struct Stretch {
    std::uint64_t audioAt;  // where it lies in the audio the first pass wrote
    bool audioLost;         // an audio packet lay in it: a PES packet reaching past audioAt lost its end
  };
  std::vector<Stretch> stretches;
  // With Repair: where the recording's moments are shown in the video
  // output, in ticks from the stamp timelineBase.
  VideoTimeline timeline;
  TimeStamp timelineBase;
};

}  // namespace korvat
