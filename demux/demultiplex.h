// The first pass: reads the recording packet by packet and routes each payload.
#pragma once

#include <cstdint>
#include <vector>

#include "console/console.h"
#include "demux/damage_record.h"
#include "demux/pass_stop.h"
#include "file/disk_file.h"
#include "format/mpeg.h"

namespace korvat {

struct DemuxOptions {
  bool copyVideoBeforeStart = false;  // -i
  DamageMode damage = DamageMode::Stop;
};

struct DemuxResult {
  PassEnd end;
  PassStop stop;  // why and where the loop stopped, when it did not read to the end
  // The interrupts counted when the loop stopped for them (0 when it did not
  // stop for one): any later one stops the stripping pass.
  std::uint32_t interruptsSeen = 0;
  // The time stamp of the first picture in the video output.
  TimeStamp firstPicture;
  DamageRecord damage;
};

// Audio payloads go whole to `audio`; video payloads go to `video` from the
// first sequence header on (from the first packet with copyVideoBeforeStart);
// other streams are stepped over. A progress line follows every packet handled
// in full; the way the loop ended is printed before it returns, and recorded
// in `stop`, from which the run tells how to go on. An interrupt
// ends the loop after the packet in hand.
DemuxResult demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, const DemuxOptions& options);

}  // namespace korvat
