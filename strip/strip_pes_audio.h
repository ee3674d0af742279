// The second pass of a default run: the audio collected as PES packets in a
// temporary file becomes bare MPEG audio, from the first frame sync on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "demux/damage_record.h"
#include "demux/pass_stop.h"
#include "file/disk_file.h"
#include "format/mpeg.h"
#include "strip/extra_tracks.h"

namespace korvat {

struct StripOptions {
  // Interrupts beyond these stop the pass.
  std::uint32_t interruptsSeen = 0;
  std::string audioName;  // the other audio tracks' files are named after it
  // With -r or -k, a PES packet that reaches past a place where the first
  // pass dropped audio lost its end and is not written; after it, and
  // wherever a packet header does not count, the pass goes on at the next
  // one that does. With -r the audio is written in whole frames and kept in
  // step with the video, whose time line the first pass found.
  DamageMode damage = DamageMode::Stop;
  DamageRecord record;
};

struct StripResult {
  PassEnd end = PassEnd::Failed;
  PassStop stop;  // in the temporary file
  bool wroteAudio = false;
  TimeStamp firstFrame;                        // of the first frame in the audio file
  std::vector<ExtraTracks::Track> tracks;      // the other audio tracks' files
  std::vector<ExtraTracks::Track> madeTracks;  // all the pass made, also those that then failed
  bool tracksFailed = false;
};

// The last step of a default run, once the first pass has ended: reads the
// temporary file back through its own handle, strips it into `audio` (made at
// set-up, and closed here when the pass succeeds) and removes it. When the
// pass fails or is stopped, the temporary file is kept and named, since it
// still holds the run's audio.
StripResult finishStrippedAudio(std::unique_ptr<DiskFile>& temp, const std::string& tempName, DiskFile& audio,
                                const StripOptions& options);

// With -p: reads the audio file as the first pass wrote it and says on
// standard error where audio and video parted, leaving the file as it is.
void reportAudioParting(const std::string& audioName, const StripOptions& options);

}  // namespace korvat
