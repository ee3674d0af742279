// Standard output and error, and the progress lines held back until their data is on disk.
#include "console/console.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace korvat {
namespace {

bool stdoutIsTerminal() {
  static const bool toTerminal = platform::stdoutIsTerminal();
  return toTerminal;
}

// Held-back text beyond this makes the outputs flush, which bounds memory.
constexpr std::size_t kMaxPending = 64 * 1024;
// Room for one more line past kMaxPending; what would go past it is cut.
constexpr std::size_t kLineRoom = 1024;
constexpr std::chrono::milliseconds kRepaintInterval(100);

}  // namespace

void consolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  if (stdoutIsTerminal()) std::fflush(stdout);
}

void consoleNote(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

PassConsole::PassConsole(std::vector<DiskFile*> files, DiskFile* input)
    : outputs(std::move(files)),
      input(input),
      pending(new char[kMaxPending + kLineRoom]),
      toTerminal(stdoutIsTerminal()),
      lastSettle(std::chrono::steady_clock::now()) {
  // A pipe has no size to count against.
  if (toTerminal && input && input->seekable()) inputSize = input->size();
  assert(outputs.size() <= kMaxOutputs);
}

void PassConsole::put(const char* text, std::size_t n) {
  n = std::min(n, kMaxPending + kLineRoom - pendingSize);
  std::memcpy(pending.get() + pendingSize, text, n);
  pendingSize += n;
}

// Two digits at a time, from a table: a line holds six numbers.
void PassConsole::Number::set(std::uint64_t to) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  value = to;
  std::uint64_t rest = to;
  char* first = digits + sizeof digits;
  while (rest >= 100) {
    const std::size_t pair = 2 * static_cast<std::size_t>(rest % 100);
    rest /= 100;
    *--first = kPairs[pair + 1];
    *--first = kPairs[pair];
  }
  if (rest >= 10) {
    *--first = kPairs[2 * rest + 1];
    *--first = kPairs[2 * rest];
  } else {
    *--first = static_cast<char>('0' + rest);
  }
  size = static_cast<std::size_t>(digits + sizeof digits - first);
  known = true;
}

// A line's numbers mostly stand as they stood in the line before: those
// are not written out again.
void PassConsole::putNumber(Number& number, std::uint64_t value) {
  if (!number.known || number.value != value) number.set(value);
  put(number.digits + sizeof number.digits - number.size, number.size);
}

void PassConsole::addEntry(bool isProgress) {
  Entry entry{pendingSize, isProgress, {}};
  for (std::size_t k = 0; k < outputs.size(); ++k) entry.positions[k] = outputs[k]->tell();
  entries.push_back(entry);
}

// The text before each "%d", and after the last.
void PassConsole::splitAtNumbers(const char* format) {
  splitFormat = format;
  textPieces.clear();
  numbers.clear();
  const char* text = format;
  for (; *format != '\0'; ++format) {
    if (format[0] == '%' && format[1] == 'd') {
      textPieces.emplace_back(text, static_cast<std::size_t>(format - text));
      text = ++format + 1;
    }
  }
  textPieces.emplace_back(text, static_cast<std::size_t>(format - text));
  numbers.resize(textPieces.size());  // the last is the percentage's
}

bool PassConsole::progress(const char* format, std::initializer_list<std::uint64_t> counts) {
  // Formatted here rather than by printf, from the pieces of text between
  // the numbers, found once for the pass's one format: a line comes with
  // every packet.
  if (format != splitFormat) splitAtNumbers(format);
  const std::uint64_t* count = counts.begin();
  for (std::size_t i = 0; i < textPieces.size(); ++i) {
    put(textPieces[i].data(), textPieces[i].size());
    if (i + 1 == textPieces.size()) break;
    if (count != counts.end()) {
      putNumber(numbers[i], *count++);
    } else {
      put("%d", 2);  // a "%d" without its number stays as it is
    }
  }
  if (toTerminal && input && inputSize != 0 && pendingSize > 0 && pending[pendingSize - 1] == '\r') {
    --pendingSize;
    put("  ", 2);
    putNumber(numbers.back(), std::min<std::uint64_t>(100, input->tell() * 100 / inputSize));
    put("%\r", 2);
  }
  addEntry(true);
  const bool repaint = toTerminal && std::chrono::steady_clock::now() - lastSettle >= kRepaintInterval;
  return pendingSize >= kMaxPending || repaint ? settle() : true;
}

bool PassConsole::message(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  put(text, std::min<std::size_t>(n < 0 ? 0 : static_cast<std::size_t>(n), sizeof text - 1));
  addEntry(false);
  return toTerminal || pendingSize >= kMaxPending ? settle() : true;
}

// How many of the entries, from the first, count no more than the files hold.
std::size_t PassConsole::entriesInFiles() const {
  std::size_t count = 0;
  for (; count < entries.size(); ++count) {
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      if (entries[count].positions[k] > outputs[k]->tell()) return count;
    }
  }
  return count;
}

// At a terminal a progress line that the next entry paints over right away
// is not worth printing; a message always is.
bool PassConsole::repaintsAt(std::size_t i, std::size_t count) const {
  return !entries[i].isProgress || i + 1 == count || !entries[i + 1].isProgress;
}

bool PassConsole::settle() {
  bool flushed = true;
  for (DiskFile* output : outputs) flushed = output->flush() && flushed;
  const std::size_t count = flushed ? entries.size() : entriesInFiles();
  if (!toTerminal) {
    if (count > 0) std::fwrite(pending.get(), 1, entries[count - 1].end, stdout);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t begin = i == 0 ? 0 : entries[i - 1].end;
      if (repaintsAt(i, count)) std::fwrite(pending.get() + begin, 1, entries[i].end - begin, stdout);
    }
    std::fflush(stdout);
  }
  pendingSize = 0;
  entries.clear();
  lastSettle = std::chrono::steady_clock::now();
  return flushed;
}

}  // namespace korvat
