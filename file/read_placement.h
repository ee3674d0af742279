// Where a file read forward reads its next buffer: on a thread of its own
// while korvat uses the one before, or on korvat's thread when it is wanted.
//
// Neither is always faster. Bytes read on the other thread reach korvat's
// through the processors' caches: cheap when the two processors share them,
// dear when they lie far apart, and a virtual machine moves between the two
// while it runs. The other thread pays where korvat does much with each byte
// (small packets, -r), and loses where it only passes them on (long payloads
// written from where they were read). So the two are timed against each
// other, window by window of buffers, and tried again now and then.
#pragma once

#include <cstdint>

namespace korvat {

class ReadPlacement {
 public:
  enum class Where { Alongside, InLine };

  // A whole read of `bytes` was made, at `nanos` by a steady clock: where the next one is made.
  Where bufferRead(std::int64_t nanos, std::uint32_t bytes);

  // Bytes timed together: a few milliseconds' worth. A read on korvat's
  // thread may read more at once than one on the other.
  static constexpr std::uint64_t kWindowBytes = 4 << 20;
  // Windows in the placement chosen before the other is tried again: at first
  // and after a change, then twice as many each time the choice holds.
  static constexpr int kFirstRecheck = 4, kLastRecheck = 64;
  // The other wins when its window took at most this share of the time of
  // the last two in the placement chosen: windows differ by a few per cent
  // by chance, and a change on chance alone costs a trial of the worse.
  static constexpr std::int64_t kWinsBelowPercent = 95;

 private:
  enum class Stage {
    WarmingUp,  // the first window: the thread starts, the caches fill
    Timing,     // in the placement chosen
    Trying,     // one window in the other
  };
  static Where other(Where where) { return where == Where::Alongside ? Where::InLine : Where::Alongside; }
  void windowEnded(std::int64_t took);

  Stage stage = Stage::WarmingUp;
  Where now = Where::Alongside;
  Where chosen = Where::Alongside;
  std::uint64_t windowRead = 0;  // bytes read in the window under way
  std::int64_t windowBegan = 0;
  // The times per MiB of the last two windows in the placement chosen.
  std::int64_t lastTook = 0, tookBefore = 0;
  int windowsLeft = 0;  // before the other is tried
  int recheckEvery = kFirstRecheck;
};

}  // namespace korvat
