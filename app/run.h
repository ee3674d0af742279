// One run of korvat, from the command line to the exit status.
#pragma once

namespace korvat {

enum ExitStatus : int {
  kExitSuccess = 0,        // the recording was split to its end
  kExitUsage = 1,          // usage text, too many or too few names
  kExitFailure = 2,        // a file could not be opened, read or written
  kExitInterrupted = 130,  // stopped by Ctrl-C or SIGTERM, as shells report SIGINT
};

int runKorvat(int argc, const char* const* argv);

}  // namespace korvat
