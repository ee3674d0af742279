// Where a file reads ahead: the placement that the clock shows faster wins,
// chance differences do not move it, and a machine that changes is followed.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "file/read_placement.h"

namespace korvat::test {
namespace {

using Where = ReadPlacement::Where;
constexpr std::uint32_t kRead = 256 * 1024;
constexpr std::int64_t kMiB = 1 << 20;

// A machine on which each placement takes its nanoseconds per MiB, which may
// change with the MiB the run has come to. Reads on korvat's own thread may
// be longer, as a peek makes them.
struct Machine {
  std::function<std::int64_t(Where, std::int64_t mib)> nanosPerMiB;
  std::uint32_t inLineRead = kRead;
};

struct Reading {
  std::vector<Where> placements;  // of each MiB read
};

Reading readThrough(const Machine& machine, std::int64_t mibs) {
  ReadPlacement placement;
  Reading run;
  Where where = Where::Alongside;
  std::int64_t clock = 1000, bytes = 0;
  while (bytes < mibs * kMiB) {
    const std::uint32_t n = where == Where::InLine ? machine.inLineRead : kRead;
    clock += machine.nanosPerMiB(where, bytes / kMiB) * n / kMiB;
    for (std::int64_t mib = bytes / kMiB; mib < (bytes + n) / kMiB; ++mib) run.placements.push_back(where);
    bytes += n;
    where = placement.bufferRead(clock, n);
  }
  return run;
}

// How often the placement changes between the MiBs from `from` to `to`.
int changesIn(const Reading& run, std::size_t from, std::size_t to) {
  int changes = 0;
  for (std::size_t i = from + 1; i < to && i < run.placements.size(); ++i) {
    changes += run.placements[i] != run.placements[i - 1];
  }
  return changes;
}

// The share of the MiBs from `from` to `to` read in `where`.
double shareIn(const Reading& run, Where where, std::size_t from, std::size_t to) {
  int in = 0;
  for (std::size_t i = from; i < to && i < run.placements.size(); ++i) in += run.placements[i] == where;
  return static_cast<double>(in) / static_cast<double>(to - from);
}

TEST(ReadPlacement, TheFasterWinsAndIsTriedAgainEverLessOften) {
  struct Case {
    const char* name;
    Machine machine;
    Where faster;
    double atLeast;  // of the MiBs after the first 64
  };
  const auto steady = [](std::int64_t alongside, std::int64_t inLine) {
    return [=](Where where, std::int64_t) { return where == Where::Alongside ? alongside : inLine; };
  };
  const std::vector<Case> cases = {
      {"reading alongside is faster", {steady(300000, 400000)}, Where::Alongside, 0.95},
      {"reading in line is faster", {steady(450000, 330000)}, Where::InLine, 0.95},
      {"in line is faster by a little, with longer reads",
       {steady(400000, 370000), kRead + 132 * 1024},
       Where::InLine,
       0.95},
      // Windows differ by a few per cent by chance: a run does not change on them.
      {"in line is faster only by chance", {steady(400000, 390000)}, Where::Alongside, 0.95},
      {"the same either way, with longer reads in line",
       {steady(400000, 400000), kRead + 132 * 1024},
       Where::Alongside,
       0.95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reading run = readThrough(c.machine, 2048);
    EXPECT_GE(shareIn(run, c.faster, 64, 2048), c.atLeast);
    // Once the choice has held a while, the other is tried once in
    // kLastRecheck windows: two changes each time.
    const auto trials =
        1024 * kMiB / (ReadPlacement::kLastRecheck * static_cast<std::int64_t>(ReadPlacement::kWindowBytes));
    EXPECT_LE(changesIn(run, 1024, 2048), 2 * (trials + 1));
  }
}

TEST(ReadPlacement, AMachineThatChangesIsFollowed) {
  // The processors move apart after 512 MiB, and back after 2048.
  const Machine moving{[](Where where, std::int64_t mib) {
    const bool apart = mib >= 512 && mib < 2048;
    if (where == Where::Alongside) return apart ? std::int64_t{480000} : std::int64_t{300000};
    return std::int64_t{340000};
  }};
  const Reading run = readThrough(moving, 3072);
  EXPECT_GE(shareIn(run, Where::Alongside, 64, 512), 0.9);
  // The longest a choice holds untried is kLastRecheck windows, and a trial one more.
  const std::size_t followed = (ReadPlacement::kLastRecheck + 2) * ReadPlacement::kWindowBytes / kMiB;
  EXPECT_GE(shareIn(run, Where::InLine, 512 + followed, 2048), 0.9);
  EXPECT_GE(shareIn(run, Where::Alongside, 2048 + followed, 3072), 0.9);
}

}  // namespace
}  // namespace korvat::test
