// The second pass of a default run: the audio collected as PES packets in a
// temporary file becomes bare MPEG audio, from the first frame sync on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "demux/console.h"
#include "file/disk_file.h"

namespace korvat {

// Reads the PES packets of `temp` from its position and writes their payloads
// to `audio`. Interrupts beyond `interruptsSeen` stop it.
PassEnd stripPesAudio(DiskFile& temp, DiskFile& audio, std::uint32_t interruptsSeen);

// The last step of a default run, once the first pass has ended: reads the
// temporary file back through its own handle, strips it into `audio` (made at
// set-up) and removes it. When the pass fails or is stopped, the temporary
// file is kept and named, since it still holds the run's audio; one left
// empty by a recording without audio is always removed.
PassEnd finishStrippedAudio(std::unique_ptr<DiskFile>& temp, const std::string& tempName, DiskFile& audio,
                            std::uint32_t interruptsSeen);

}  // namespace korvat
