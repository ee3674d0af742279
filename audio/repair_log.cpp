// What the audio repair tells at the end: a line for each repair (or with
// -p, each parting of audio and video), and a summary.
#include "audio/repair_log.h"

#include <cinttypes>
#include <cstdlib>

#include "console/console.h"
#include "format/clock.h"

namespace korvat {

// The lines wait for the end, where each of the video's cuts is told on the
// line of the repair nearest to it. Returns the pictures of all cuts.
std::uint64_t RepairLog::assignCuts(const VideoTimeline& timeline) {
  std::uint64_t pictures = 0;
  for (const VideoTimeline::Cut& cut : timeline.cuts()) {
    auto nearest = lines.end();
    for (auto told = lines.begin(); told != lines.end(); ++told) {
      if (nearest == lines.end() || std::llabs(told->line.at - cut.at) < std::llabs(nearest->line.at - cut.at)) {
        nearest = told;
      }
    }
    if (nearest != lines.end()) nearest->pictures += cut.pictures;
    pictures += cut.pictures;
  }
  return pictures;
}

void RepairLog::tellFarStamps(std::int64_t at, std::int64_t offset) const {
  consoleNote("audio not repaired%s at %s: its time stamps lie %+" PRId64 " ms from the video's\n", words.in.c_str(),
              clockText(at).c_str(), millisecondsOf(offset));
}

void RepairLog::print(AudioMode mode, const VideoTimeline& timeline, bool anyAudio, std::int64_t offsetAtEnd) {
  const std::uint64_t pictures = assignCuts(timeline);
  const char* in = words.in.c_str();
  for (const Told& told : lines) {
    const Line& line = told.line;
    if (mode == AudioMode::Write) {
      consoleNote("audio repair%s at %s: %" PRId64 " audio frames lost, %" PRIu64 " silent frames inserted, %" PRIu64
                  " frames dropped, %" PRIu64 " pictures dropped, offset left %+" PRId64 " ms\n",
                  in, clockText(line.at).c_str(), line.lost, line.counts.inserted, line.counts.dropped, told.pictures,
                  millisecondsOf(line.offset));
    } else {
      consoleNote("%s and video parted at %s: audio off by %+" PRId64 " ms, %" PRId64 " audio frames lost, %" PRIu64
                  " pictures dropped\n",
                  words.noun.c_str(), clockText(line.at).c_str(), millisecondsOf(line.offset), line.lost,
                  told.pictures);
    }
  }
  if (!anyAudio) {
    return;  // nothing to repair, nor to say
  } else if (!canRepair()) {
    consoleNote("audio not repaired%s: %s\n", in, reason.c_str());
  } else if (mode == AudioMode::Write) {
    consoleNote("audio repairs%s: %" PRIu64 ", %" PRIu64 " silent frames inserted, %" PRIu64 " frames dropped, %" PRIu64
                " pictures dropped; offset at the end %+" PRId64 " ms\n",
                in, repairs(), counted.inserted, counted.dropped, pictures, millisecondsOf(offsetAtEnd));
  } else {
    consoleNote("%s and video parted at %" PRIu64 " damaged stretches, %" PRIu64
                " pictures dropped; -p leaves the audio as it came, offset at the end %+" PRId64 " ms\n",
                words.noun.c_str(), repairs(), pictures, millisecondsOf(offsetAtEnd));
  }
}

}  // namespace korvat
