#include "demux/console.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace korvat {

void consolePrint(const char* format, ...) {
  static const bool toTerminal = platform::stdoutIsTerminal();
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  if (toTerminal) std::fflush(stdout);
}

}  // namespace korvat
