// Real MPEG-2 video and MPEG-1 Layer II audio, packed as a receiver records
// them: what korvat writes must be the source streams byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "format/ac3.h"
#include "strip/extra_tracks.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

TEST(RealStreams, BundledSampleIsThePackedSources) {
  ASSERT_FALSE(sourceVideo().empty());
  EXPECT_TRUE(readSample("sample.av") == packRecording(sourceVideo(), sourceAudio(), {}));
}

TEST(RealStreams, SplitGivesTheSourcesBack) {
  for (std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    pack::PackOptions options;
    options.seed = seed;
    Bytes pes;
    TempDir dir;
    dir.write("rec", packRecording(sourceVideo(), sourceAudio(), options, &pes));

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

// Every audio track is kept: the audio file holds the stream of the first
// MPEG audio packet with a frame sync, and every other MPEG audio stream and
// AC3 go to files of their own, from their first frame on.
TEST(RealStreams, EveryAudioTrackKept) {
  const Bytes ac3 = syntheticAc3(40000, 3), second = pack::syntheticAudio(60000, 4), &mp2 = sourceAudio();
  struct Case {
    const char* name;
    Bytes audio;
    std::vector<pack::PackOptions::Track> tracks;
    bool tracksFirst;
    std::map<std::string, Bytes> files;  // besides rec and rec.m2v
  };
  const std::vector<Case> cases = {
      {"AC3 alone", "", {{0xBD, ac3}}, false, {{"rec.mp2", ""}, {"rec.ac3", ac3}}},
      {"MPEG audio and AC3", mp2, {{0xBD, ac3}}, false, {{"rec.mp2", mp2}, {"rec.ac3", ac3}}},
      {"two MPEG audio streams", mp2, {{0xC2, second}}, false, {{"rec.mp2", mp2}, {"rec.c2.mp2", second}}},
      {"an odd MPEG audio id", mp2, {{0xC1, second}}, false, {{"rec.mp2", mp2}, {"rec.c1.mp2", second}}},
      {"0xC2 before 0xC0", mp2, {{0xC2, second}}, true, {{"rec.mp2", second}, {"rec.c0.mp2", mp2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pack::PackOptions options;
    options.tracks = c.tracks;
    options.tracksFirst = c.tracksFirst;
    TempDir dir;
    dir.write("rec", packRecording(sourceVideo(), c.audio, options));
    const Outcome run = runKorvat(dir, {"rec"});
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> names = {"rec", "rec.m2v"};
    for (const auto& [name, bytes] : c.files) {
      EXPECT_TRUE(dir.read(name) == bytes) << name;
      names.push_back(name);
      if (name != "rec.mp2") {
        EXPECT_NE(run.err.find("in '" + name + "'\naudio delay of '" + name + "': +48 ms\n"), std::string::npos)
            << run.err;
      }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(dir.names(), names);
  }
  // A track's file that exists already is never overwritten; nothing is
  // lost: the temporary file is kept and named, and the run fails.
  pack::PackOptions options;
  options.tracks = {{0xBD, ac3}};
  TempDir dir;
  dir.write("rec", packRecording(sourceVideo(), sourceAudio(), options));
  dir.write("rec.ac3", "mine");
  const Outcome run = runKorvat(dir, {"rec"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.read("rec.ac3"), "mine");
  EXPECT_TRUE(dir.read("rec.mp2") == sourceAudio());
  EXPECT_NE(run.err.find("'rec.ac3' cannot be made"), std::string::npos) << run.err;
  ASSERT_FALSE(dir.tempFile().empty());
  EXPECT_EQ(run.out.substr(run.out.size() - tempKept(dir.tempFile()).size()), tempKept(dir.tempFile()));
}

// A track's file is named after the audio file, in place of its extension;
// a dot in a directory's name, or one that begins a file's, is none.
TEST(RealStreams, TrackFileNames) {
  const std::vector<std::array<std::string, 3>> cases = {{"rec.mp2", "rec.ac3", "rec.c2.mp2"},
                                                         {"a", "a.ac3", "a.c2.mp2"},
                                                         {".mp2", ".mp2.ac3", ".mp2.c2.mp2"},
                                                         {"dir.x/a", "dir.x/a.ac3", "dir.x/a.c2.mp2"},
                                                         {"dir\\.a", "dir\\.a.ac3", "dir\\.a.c2.mp2"}};
  for (const auto& [audio, ac3, second] : cases) {
    EXPECT_EQ(trackName(audio, 0xBD), ac3);
    EXPECT_EQ(trackName(audio, 0xC2), second);
  }
}

// AC3 frame lengths as A/52's table gives them, and no frame without both
// bytes of the sync word or with a reserved code.
TEST(RealStreams, Ac3FrameLengths) {
  const std::vector<std::pair<Bytes, std::uint32_t>> cases = {
      {Bytes("\x0B\x77\0\0\x08", 5), 256}, {Bytes("\x0B\x77\0\0\x48", 5), 278},  {Bytes("\x0B\x77\0\0\x49", 5), 280},
      {Bytes("\x0B\x77\0\0\x88", 5), 384}, {Bytes("\x0B\x77\0\0\x1E", 5), 1792}, {Bytes("\x0B\x00\0\0\x08", 5), 0},
      {Bytes("\x00\x77\0\0\x08", 5), 0},   {Bytes("\x0B\x77\0\0\xC8", 5), 0},    {Bytes("\x0B\x77\0\0\x26", 5), 0}};
  for (const auto& [header, length] : cases) {
    EXPECT_EQ(ac3FrameLength(reinterpret_cast<const unsigned char*>(header.data())), length);
  }
}

}  // namespace
}  // namespace korvat::test
