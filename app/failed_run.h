// What a run that did not succeed tells on standard error, so that the user
// knows how to go on: why a file could not be opened or made, what each file
// the run made holds, and after a damaged header a command that skips it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "demux/pass_stop.h"
#include "platform/platform.h"

namespace korvat {

void explainInputFailure(const std::string& name, platform::OpenFailure why);
void explainOutputFailure(const std::string& name, platform::OpenFailure why);
void explainTemporaryFailure(platform::OpenFailure why);

// Why an open for CreateNew would fail, as far as a look at `name` and its
// directory tells; None when the name is free.
platform::OpenFailure takenName(const std::string& name);

// What a file holds: `what` up to where `stop` ended the pass over `where`.
std::string heldUpTo(const char* what, const PassStop& stop, const char* where);

struct MadeFile {
  std::string name;
  std::string holds;  // said when the file is not empty; may be ""
};
// Names each file that still exists, with its size on disk and what it holds.
void tellMadeFiles(const std::vector<MadeFile>& files);

// A word as the user's shell takes it.
std::string quoteForShell(const std::string& word);

// After the damaged header at `at`: the same run with -r, into new files.
// `trackIds` are those whose files the run made, named after the audio file.
// A recording that came through a pipe must come through one again.
void suggestRepairRun(const RunOptions& options, std::uint64_t at, const std::vector<std::uint8_t>& trackIds,
                      bool inputIsPipe);

}  // namespace korvat
