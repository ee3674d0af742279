// The second pass of a default run: the audio collected as PES packets in a
// temporary file becomes bare MPEG audio, from the first frame sync on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "console/console.h"
#include "file/disk_file.h"

namespace korvat {

// The last step of a default run, once the first pass has ended: reads the
// temporary file back through its own handle, strips it into `audio` (made at
// set-up, and closed here when the pass succeeds) and removes it. Interrupts
// beyond `interruptsSeen` stop the pass. When the pass fails or is stopped, the
// temporary file is kept and named, since it still holds the run's audio.
PassEnd finishStrippedAudio(std::unique_ptr<DiskFile>& temp, const std::string& tempName, DiskFile& audio,
                            std::uint32_t interruptsSeen);

}  // namespace korvat
