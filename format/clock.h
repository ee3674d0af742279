// The 90 kHz clock that stamps MPEG streams: its ticks, the wrap of its 32
// bits, rounding to milliseconds, and a clock that restarts. Every piece of
// time arithmetic korvat does is here, once.
#pragma once

#include <cstdint>
#include <string>

namespace korvat {

constexpr std::int64_t kTicksPerSecond = 90000;
constexpr std::int64_t kTicksPerMillisecond = 90;
// Stamps that go back further than this were not reordered: the clock restarted.
constexpr std::int64_t kClockRestart = kTicksPerSecond;

// A time stamp of the 90 kHz clock (its low 32 bits), or why there is none.
struct TimeStamp {
  bool known = false;
  std::uint32_t ticks = 0;
  const char* missing = "not known";  // the reason, in a few words, when not known

  static TimeStamp of(std::uint32_t ticks) { return {true, ticks, nullptr}; }
  static TimeStamp unknown(const char* reason) { return {false, 0, reason}; }
  // `ticks` later, through the wrap.
  TimeStamp movedBy(std::int64_t ticks) const { return of(static_cast<std::uint32_t>(this->ticks + ticks)); }
};

// num / den, rounded to the nearest; halves away from zero.
inline std::int64_t roundedDivision(std::int64_t num, std::int64_t den) {
  return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
}

inline std::int64_t millisecondsOf(std::int64_t ticks) { return roundedDivision(ticks, kTicksPerMillisecond); }

// later - earlier. The clock wraps at 2^32 ticks: of the differences modulo
// 2^32, the one nearest zero counts.
inline std::int64_t ticksBetween(std::uint32_t earlier, std::uint32_t later) {
  return static_cast<std::int32_t>(later - earlier);
}

inline std::int64_t millisecondsBetween(std::uint32_t earlier, std::uint32_t later) {
  return millisecondsOf(ticksBetween(earlier, later));
}

// How long so many samples play, in whole ticks (cut, not rounded).
inline std::int64_t ticksOfSamples(std::uint64_t samples, std::uint32_t sampleRate) {
  return static_cast<std::int64_t>(samples * static_cast<std::uint64_t>(kTicksPerSecond) / sampleRate);
}

// How many frames of `samples` at `sampleRate` fit in `ticks`: to the
// nearest, or whole ones only.
inline std::int64_t framesIn(std::int64_t ticks, std::uint32_t samples, std::uint32_t sampleRate) {
  return roundedDivision(ticks * sampleRate, std::int64_t{samples} * kTicksPerSecond);
}
inline std::int64_t wholeFramesIn(std::int64_t ticks, std::uint32_t samples, std::uint32_t sampleRate) {
  return ticks * sampleRate / (std::int64_t{samples} * kTicksPerSecond);
}

// Stamps followed past the wrap: each counted from a first one, as the
// ticks since it. Stamps follow one another closely, so each step is the
// nearest difference.
class UnwrappedClock {
 public:
  void startAt(std::uint32_t stamp, std::int64_t since) {
    last = stamp;
    sinceFirst = since;
  }
  std::int64_t follow(std::uint32_t stamp) {
    sinceFirst += ticksBetween(last, stamp);
    last = stamp;
    return sinceFirst;
  }
  // Where the clock is taken to stand after a stamp it did not believe.
  void moveTo(std::int64_t since) { sinceFirst = since; }
  std::int64_t now() const { return sinceFirst; }

 private:
  std::uint32_t last = 0;
  std::int64_t sinceFirst = 0;
};

// A moment of the output as hh:mm:ss.mmm; none before 0.
std::string clockText(std::int64_t ticks);

}  // namespace korvat
