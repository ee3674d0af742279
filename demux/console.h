// All of korvat's output, messages and progress lines alike, goes to standard
// output. At a terminal each print is flushed at once, so a progress line
// (which ends in "\r", not "\n") shows while the run goes on; redirected, the
// output is buffered as usual.
#pragma once

namespace korvat {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void consolePrint(const char* format, ...);

}  // namespace korvat
