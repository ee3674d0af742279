// Which packet stamp each picture takes, and the first picture's.
#include "video/picture_stamps.h"

namespace korvat {

TimeStamp PictureStamps::startCode(const StartCode& code) {
  // The search ended with the piece of video that passed the limit.
  if (stage == Stage::PastLimit && code.at + kStartCodeSize - 1 >= searchEnd) {
    settleFirst(TimeStamp::unknown("no picture start near the first sequence header"), Stage::Settled);
  }
  if (code.code() != kPictureStart) return TimeStamp{};
  TimeStamp stamp = TimeStamp::unknown("no time stamp on its video packet");
  if (code.stampInReach) {
    while (!usedPackets.empty() && usedPackets.front() < code.packet) usedPackets.pop_front();
    if (!usedPackets.empty() && usedPackets.front() == code.packet) {
      stamp = TimeStamp::unknown("its packet stamps an earlier picture");
    } else {
      stamp = code.packetStamp;
      usedPackets.push_front(code.packet);
    }
  }
  if (stage == Stage::Searching || stage == Stage::PastLimit) settleFirst(stamp, Stage::Found);
  return stamp;
}

void PictureStamps::used(std::uint64_t packet) {
  if (usedPackets.empty() || usedPackets.back() < packet) usedPackets.push_back(packet);
}

void PictureStamps::written(std::uint64_t n) {
  writtenBytes += n;
  if (stage == Stage::Searching && writtenBytes >= kFirstPictureLimit) {
    stage = Stage::PastLimit;
    searchEnd = writtenBytes;
  }
}

void PictureStamps::finish() {
  if (stage == Stage::PastLimit) first = TimeStamp::unknown("no picture start near the first sequence header");
  stage = Stage::Settled;
}

void PictureStamps::settleFirst(TimeStamp stamp, Stage next) {
  first = stamp;
  stage = next;
}

}  // namespace korvat
