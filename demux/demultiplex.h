// The main loop: reads the recording packet by packet and routes each payload.
#pragma once

#include "demux/run_options.h"
#include "file/disk_file.h"

namespace korvat {

enum class DemuxEnd {
  EndOfInput,  // the recording was read to its end
  Failed,      // a read or write error, or a header without 'A' 'V'
  Interrupted,  // the user stopped the run
};

// Audio payloads go whole to `audio`; video payloads go to `video` from the
// first sequence header on (from the first packet with includeInvalidVideo);
// other streams are stepped over. A progress line follows every packet handled
// in full; the way the loop ended is printed before it returns. An interrupt
// ends the loop after the packet in hand.
DemuxEnd demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, const RunOptions& options);

}  // namespace korvat
