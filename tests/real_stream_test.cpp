// Real MPEG-2 video and MPEG-1 Layer II audio, packed as a receiver records
// them: what korvat writes must be the source streams byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/harness.h"
#include "tools/recording_packer.h"

namespace korvat::test {
namespace {

const Bytes& sourceVideo() {
  static const Bytes bytes = readSample("testsrc.m2v");
  return bytes;
}
const Bytes& sourceAudio() {
  static const Bytes bytes = readSample("sine.mp2");
  return bytes;
}

TEST(RealStreams, BundledSampleIsThePackedSources) {
  ASSERT_FALSE(sourceVideo().empty());
  EXPECT_EQ(readSample("sample.av"), pack::packRecording(sourceVideo(), sourceAudio(), {}));
}

TEST(RealStreams, SplitGivesTheSourcesBack) {
  for (std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    pack::PackOptions options;
    options.seed = seed;
    Bytes pes;
    const Bytes recording = pack::packRecording(sourceVideo(), sourceAudio(), options, &pes);
    TempDir dir;
    dir.write("rec", recording);

    Outcome run = runKorvat(dir, {"rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\nremoving pes-data from audio-file\n"), std::string::npos);
    EXPECT_EQ(dir.read("rec.m2v"), sourceVideo());
    EXPECT_EQ(dir.read("rec.mp2"), sourceAudio());

    run = runKorvat(dir, {"-p", "-i", "rec", "pes.mpp", "all.m2v"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(dir.read("pes.mpp"), pes);
    const Bytes all = dir.read("all.m2v");
    ASSERT_GT(all.size(), sourceVideo().size());  // the lead-in comes first
    EXPECT_EQ(all.substr(all.size() - sourceVideo().size()), sourceVideo());
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"all.m2v", "pes.mpp", "rec", "rec.m2v", "rec.mp2"}));
  }
}

// Drops every progress line that the next one paints over at once.
std::string lastLinesOnly(const std::string& out) {
  std::string kept;
  std::size_t from = 0;
  for (std::size_t end; (end = out.find('\r', from)) != std::string::npos; from = end + 1) {
    const std::size_t newline = out.rfind('\n', end);
    const std::size_t lineStart = newline == std::string::npos || newline < from ? from : newline + 1;
    const std::size_t nextEnd = out.find('\r', end + 1);
    const bool overpainted = nextEnd != std::string::npos && out.find('\n', end + 1) > nextEnd;
    kept += out.substr(from, (overpainted ? lineStart : end + 1) - from);
  }
  return kept + out.substr(from);
}

// At a terminal the progress line is repainted now and then, not after every
// packet, but the line before each message and the last one of each pass
// are the true ones.
TEST(RealStreams, TerminalShowsTheTrueLastLines) {
  if (!kHasPseudoTerminals) GTEST_SKIP() << "no pseudo-terminal to run korvat at on this platform";
  TempDir dir;
  dir.write("rec", readSample("sample.av"));
  const Outcome redirected = runKorvat(dir, {"rec", "a1", "v1"});
  const Outcome terminal = runKorvat(dir, {"rec", "a2", "v2"}, {0, true});
  EXPECT_EQ(terminal.status, 0);
  EXPECT_EQ(lastLinesOnly(terminal.out), lastLinesOnly(redirected.out));
  EXPECT_LT(terminal.out.size(), redirected.out.size() / 2);
}

// A decoder reads both outputs without a complaint.
TEST(RealStreams, OutputsDecode) {
#ifdef _WIN32
  GTEST_SKIP() << "the decoder is a program of the build machine; the Linux build runs this test";
#else
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  dir.write("rec", readSample("sample.av"));
  ASSERT_EQ(runKorvat(dir, {"rec"}).status, 0);
  for (const char* output : {"rec.m2v", "rec.mp2"}) {
    SCOPED_TRACE(output);
    const Outcome decode = runInChild(dir, [output] {
      dup2(STDOUT_FILENO, STDERR_FILENO);
      execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-i", output, "-f", "null", "-", nullptr);
      return 127;
    });
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.out, "");
  }
#endif
}

}  // namespace
}  // namespace korvat::test
