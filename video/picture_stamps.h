// Which packet stamp each picture of the video takes, and the first
// picture's, which the audio delay is counted from.
#pragma once

#include <cstdint>
#include <deque>

#include "video/start_codes.h"

namespace korvat {

class PictureStamps {
 public:
  // In MPEG-2 video the first picture header follows the sequence header
  // within a few hundred bytes; a search that went this far will not find it.
  static constexpr std::uint64_t kFirstPictureLimit = 1 << 20;

  // Each start code of the video written, `at` counted in it: a picture's
  // takes the stamp of the packet it began in, if it is the first picture
  // to begin there.
  TimeStamp startCode(const StartCode& code);
  // A picture that began in the packet was not written: its stamp is used up.
  void used(std::uint64_t packet);
  void written(std::uint64_t n);
  void finish();

  // Whether the first picture's time is known for good, or known to be unknown.
  bool firstSettled() const { return stage == Stage::Settled; }
  // Whether its group has yet to say when it is shown.
  bool firstUnchecked() const { return stage == Stage::Found; }
  void firstChecked(TimeStamp byGroup) {
    first = byGroup;
    stage = Stage::Settled;
  }
  void firstChecked() { stage = Stage::Settled; }
  TimeStamp firstPicture() const { return first; }

 private:
  enum class Stage {
    Searching,  // within the limit
    PastLimit,  // a picture whose code came before the limit may still be handed on
    Found,      // its group has not been timed
    Settled,
  };
  void settleFirst(TimeStamp stamp, Stage next);

  Stage stage = Stage::Searching;
  TimeStamp first = TimeStamp::unknown("no picture in the video");
  std::uint64_t writtenBytes = 0;
  std::uint64_t searchEnd = 0;            // the written bytes when the search passed the limit
  std::deque<std::uint64_t> usedPackets;  // in order: whose stamp a picture took, or a dropped one had
};

}  // namespace korvat
