// ReadPlacement: the faster of the two ways to read ahead, by the clock.
#include "file/read_placement.h"

#include <algorithm>

namespace korvat {

ReadPlacement::Where ReadPlacement::bufferRead(std::int64_t nanos, std::uint32_t bytes) {
  if (windowRead == 0 && stage == Stage::WarmingUp) windowBegan = nanos;
  windowRead += bytes;
  if (windowRead < kWindowBytes) return now;
  windowEnded((nanos - windowBegan) * (std::int64_t{1} << 20) / static_cast<std::int64_t>(windowRead));
  windowRead = 0;
  windowBegan = nanos;
  return now;
}

void ReadPlacement::windowEnded(std::int64_t took) {
  switch (stage) {
    case Stage::WarmingUp:
      stage = Stage::Timing;
      windowsLeft = 2;
      return;
    case Stage::Timing:
      tookBefore = lastTook;
      lastTook = took;
      if (--windowsLeft > 0) return;
      stage = Stage::Trying;
      now = other(chosen);
      return;
    case Stage::Trying: {
      // Held against the windows just before it, in the placement chosen:
      // the machine changes less between neighbours.
      const bool faster = took * 100 < (lastTook + tookBefore) / 2 * kWinsBelowPercent;
      recheckEvery = faster ? kFirstRecheck : std::min(2 * recheckEvery, kLastRecheck);
      if (faster) chosen = now;
      now = chosen;
      stage = Stage::Timing;
      // After a change the windows before it were the other placement's.
      windowsLeft = std::max(recheckEvery, 2);
      return;
    }
  }
}

}  // namespace korvat
