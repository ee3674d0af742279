// The 90 kHz clock as text.
#include "format/clock.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace korvat {

std::string clockText(std::int64_t ticks) {
  const std::int64_t ms = std::max<std::int64_t>(0, millisecondsOf(ticks));
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

}  // namespace korvat
