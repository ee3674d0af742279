// All of korvat's output, messages and progress lines alike, goes to standard
// output. At a terminal each print is flushed at once, so a progress line
// (which ends in "\r", not "\n") shows while the run goes on; redirected, the
// output is buffered as usual.
#pragma once

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "file/disk_file.h"

namespace korvat {

#if defined(__GNUC__)
#define KORVAT_PRINTF(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define KORVAT_PRINTF(format_index)
#endif

// How a pass over a file ended.
enum class PassEnd {
  Completed,    // the input was read to its end
  Failed,       // a read or write error, or a damaged packet header
  Interrupted,  // the user stopped the run
};

KORVAT_PRINTF(1) void consolePrint(const char* format, ...);
// What korvat says beyond its classic messages goes to standard error, so
// that scripts reading standard output see the same bytes as ever.
KORVAT_PRINTF(1) void consoleNote(const char* format, ...);

// The console of one pass that writes output files. A progress line tells
// how much is in the files, and since the files gather their writes, a line
// is held back until the data it counts has reached them: if a later flush
// fails, only the lines whose data made it are printed, so the last line
// shown is the true one. Redirected, every line is printed in order; at a
// terminal the line is repainted about ten times a second, and always before
// a message and at the end of the pass.
class PassConsole {
 public:
  static constexpr std::size_t kMaxOutputs = 2;

  // At most kMaxOutputs outputs. At a terminal, each line also says how
  // much of `input` the pass has read.
  PassConsole(std::vector<DiskFile*> outputs, DiskFile* input);

  // All three return false when the outputs, made to flush, failed to take
  // their data; the output that failed then tells so by its error().
  //
  // A progress line comes after every packet, so it is not formatted by
  // printf, which would cost more than the packet: each "%d" in `format`
  // stands for the next of `counts`, printed in full as an unsigned number.
  bool progress(const char* format, std::initializer_list<std::uint64_t> counts);
  KORVAT_PRINTF(2) bool message(const char* format, ...);
  // Flushes the outputs and prints the lines whose data they now hold.
  bool settle();

 private:
  struct Entry {
    std::size_t end;  // of its text in `pending`
    bool isProgress;
    std::array<std::uint64_t, kMaxOutputs> positions;  // of the outputs when it was made
  };

  void addEntry(bool isProgress);
  void put(const char* text, std::size_t n);
  // A number as written in the last line, kept to be written again.
  struct Number {
    std::uint64_t value = 0;
    char digits[20] = {};
    std::size_t size = 0;  // the last `size` of `digits`
    bool known = false;
    void set(std::uint64_t to);
  };
  void putNumber(Number& number, std::uint64_t value);
  void splitAtNumbers(const char* format);
  std::size_t entriesInFiles() const;
  bool repaintsAt(std::size_t i, std::size_t count) const;

  std::vector<DiskFile*> outputs;
  DiskFile* input;
  std::uint64_t inputSize = 0;
  std::unique_ptr<char[]> pending;  // the text held back
  std::size_t pendingSize = 0;
  const char* splitFormat = nullptr;
  std::vector<std::string_view> textPieces;  // of splitFormat
  std::vector<Number> numbers;               // of the last line, one after each piece
  std::vector<Entry> entries;
  bool toTerminal;
  std::chrono::steady_clock::time_point lastSettle;
};

}  // namespace korvat
