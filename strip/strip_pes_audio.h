// The second pass of a default run: the audio collected as PES packets in a
// temporary file becomes bare MPEG audio, from the first frame sync on.
#pragma once

#include <string>

namespace korvat {

// Reads the PES packets of tempName and writes their payloads to audioName,
// which must not exist yet. True when tempName was read to its end; an
// interrupt that comes during the pass stops it.
bool stripPesAudio(const std::string& tempName, const std::string& audioName);

// The last step of a default run, once the run has closed the temporary
// file: strips it into audioName and removes it. The temporary file is kept
// (and named) when the pass failed on it, since it still holds the run's
// audio; an empty one, from a recording without audio, is always removed.
// True unless audio was left behind in the kept file.
bool finishStrippedAudio(const std::string& tempName, const std::string& audioName);

}  // namespace korvat
