// Why a pass stopped short of the end of its input, and where: what a failed
// run tells the user of the files it leaves behind.
#pragma once

#include <cstdint>

namespace korvat {

struct PassStop {
  enum Why {
    None,           // the pass read its input to the end
    DamagedHeader,  // a packet header without its sync, at `at`
    ReadError,      // the OS failed a read at `at`
    EmptyInput,     // the input held no byte
    VideoWrite,     // the video file did not take a write
    AudioWrite,     // the audio file (or the temporary file collecting it) did not take a write
    Interrupted,
  };
  Why why = None;
  std::uint64_t at = 0;  // a byte offset in the pass's input
};

}  // namespace korvat
