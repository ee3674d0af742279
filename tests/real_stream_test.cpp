// Real MPEG-2 video and MPEG-1 Layer II audio, packed as a receiver records
// them: what korvat writes must be the source streams byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>

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
  EXPECT_TRUE(readSample("sample.av") == pack::packRecording(sourceVideo(), sourceAudio(), {}));
}

TEST(RealStreams, SplitGivesTheSourcesBack) {
  for (std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    pack::PackOptions options;
    options.seed = seed;
    Bytes pes;
    TempDir dir;
    dir.write("rec", pack::packRecording(sourceVideo(), sourceAudio(), options, &pes));

    Outcome run = runKorvat(dir, {"rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("rec.m2v") == sourceVideo());
    EXPECT_TRUE(dir.read("rec.mp2") == sourceAudio());

    run = runKorvat(dir, {"-p", "-i", "rec", "pes.mpp", "all.m2v"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("pes.mpp") == pes);
    const Bytes all = dir.read("all.m2v");
    ASSERT_GT(all.size(), sourceVideo().size());  // the lead-in comes first
    EXPECT_TRUE(all.substr(all.size() - sourceVideo().size()) == sourceVideo());
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"all.m2v", "pes.mpp", "rec", "rec.m2v", "rec.mp2"}));
  }
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
    const std::string decode =
        "ffmpeg -nostdin -v error -i '" + dir.path(output) + "' -f null - >'" + dir.path("log") + "' 2>&1";
    EXPECT_EQ(std::system(decode.c_str()), 0) << output;
    EXPECT_EQ(dir.read("log"), "") << output;
  }
#endif
}

}  // namespace
}  // namespace korvat::test
