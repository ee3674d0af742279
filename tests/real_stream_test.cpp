// Real MPEG-2 video and MPEG-1 Layer II audio, packed as a receiver records
// them: what korvat writes must be the source streams byte for byte.
#include <gtest/gtest.h>

#include "tests/harness.h"
#include "tools/recording_packer.h"

namespace korvat::test {
namespace {

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

}  // namespace
}  // namespace korvat::test
