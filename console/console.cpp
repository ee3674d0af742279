// Standard output and error, and the progress lines held back until their data is on disk.
#include "console/console.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace korvat {
namespace {

bool stdoutIsTerminal() {
  static const bool toTerminal = platform::stdoutIsTerminal();
  return toTerminal;
}

// Held-back text beyond this makes the outputs flush, which bounds memory.
constexpr std::size_t kMaxPending = 64 * 1024;
constexpr std::chrono::milliseconds kRepaintInterval(100);

void appendDecimal(std::string& out, std::uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

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
      toTerminal(stdoutIsTerminal()),
      lastSettle(std::chrono::steady_clock::now()) {
  // A pipe has no size to count against.
  if (toTerminal && input && input->seekable()) inputSize = input->size();
  assert(outputs.size() <= kMaxOutputs);
  pending.reserve(kMaxPending + 256);
}

void PassConsole::addEntry(bool isProgress) {
  Entry entry{pending.size(), isProgress, {}};
  for (std::size_t k = 0; k < outputs.size(); ++k) entry.positions[k] = outputs[k]->tell();
  entries.push_back(entry);
}

bool PassConsole::progress(const char* format, std::initializer_list<std::uint64_t> counts) {
  const std::uint64_t* count = counts.begin();
  for (const char* at = format; *at != '\0'; ++at) {
    if (at[0] == '%' && at[1] == 'd' && count != counts.end()) {
      appendDecimal(pending, *count++);
      ++at;
    } else {
      pending += *at;
    }
  }
  if (toTerminal && input && inputSize != 0 && !pending.empty() && pending.back() == '\r') {
    pending.pop_back();
    pending += "  ";
    appendDecimal(pending, std::min<std::uint64_t>(100, input->tell() * 100 / inputSize));
    pending += "%\r";
  }
  addEntry(true);
  const bool repaint = toTerminal && std::chrono::steady_clock::now() - lastSettle >= kRepaintInterval;
  return pending.size() >= kMaxPending || repaint ? settle() : true;
}

bool PassConsole::message(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  pending.append(text, std::min<std::size_t>(n < 0 ? 0 : static_cast<std::size_t>(n), sizeof text - 1));
  addEntry(false);
  return toTerminal || pending.size() >= kMaxPending ? settle() : true;
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
    if (count > 0) std::fwrite(pending.data(), 1, entries[count - 1].end, stdout);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t begin = i == 0 ? 0 : entries[i - 1].end;
      if (repaintsAt(i, count)) std::fwrite(pending.data() + begin, 1, entries[i].end - begin, stdout);
    }
    std::fflush(stdout);
  }
  pending.clear();
  entries.clear();
  lastSettle = std::chrono::steady_clock::now();
  return flushed;
}

}  // namespace korvat
