// The first pass: reads the recording packet by packet and routes each payload.
#pragma once

#include <cstdint>
#include <vector>

#include "console/console.h"
#include "file/disk_file.h"
#include "format/mpeg.h"
#include "format/timeline.h"

namespace korvat {

struct DemuxOptions {
  bool copyVideoBeforeStart = false;  // -i
  bool skipDamage = false;            // -r: skip damaged stretches and go on
  bool followVideo = false;           // find where every picture is shown, not only the first
};

struct DemuxResult {
  PassEnd end;
  // The interrupts counted when the loop stopped for them (0 when it did not
  // stop for one): any later one stops the stripping pass.
  std::uint32_t interruptsSeen = 0;
  // Where in the audio output the loop dropped audio packets cut short by
  // damage (with -r), in the order of the output.
  std::vector<std::uint64_t> audioGaps;
  // Where in the audio output each damaged stretch lies, whatever it took.
  std::vector<std::uint64_t> audioBreaks;
  // The time stamp of the first picture in the video output.
  TimeStamp firstPicture;
  // With followVideo: where the recording's moments are shown in the video
  // output, in ticks from the stamp timelineBase.
  VideoTimeline timeline;
  TimeStamp timelineBase;
};

// Audio payloads go whole to `audio`; video payloads go to `video` from the
// first sequence header on (from the first packet with copyVideoBeforeStart);
// other streams are stepped over. A progress line follows every packet handled
// in full; the way the loop ended is printed before it returns. An interrupt
// ends the loop after the packet in hand.
DemuxResult demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, const DemuxOptions& options);

}  // namespace korvat
