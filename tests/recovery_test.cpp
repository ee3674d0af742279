// Recordings as receivers write them: damaged stretches that -r skips, and
// the audio delay that the time stamps give.
#include <gtest/gtest.h>

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

std::string summary(std::uint64_t stretches, std::uint64_t bytes) {
  return "skipped " + std::to_string(stretches) + " damaged stretches of " + std::to_string(bytes) + " bytes in all\n";
}

// With -r the outputs are exactly what the intact packets held, and the
// console counts what was skipped; without it the run stops at the damage.
TEST(Recovery, SkipsDamageAndKeepsTheIntactPackets) {
  struct Case {
    const char* name;
    pack::Damage damage;
  };
  const std::vector<Case> cases = {
      {"cut-off start", {37, 0, 0, 0, 0, 0}},
      {"garbage between packets", {0, 120, 999, 0, 0, 0}},
      {"chunk missing from a video payload", {0, 0, 0, 150, 0, 100}},
      {"chunk missing from an audio PES packet over two AV packets", {0, 0, 0, 0, 60, 100}},
      {"all of them", {5, 30, 17, 200, 100, 333}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pack::PackOptions options;
    options.spanPercent = 50;
    options.damage = c.damage;
    pack::Intact intact;
    TempDir dir;
    dir.write("rec", pack::packRecording(sourceVideo(), sourceAudio(), options, nullptr, &intact));
    ASSERT_GT(intact.damagedStretches, 0u);

    Outcome run = runKorvat(dir, {"-r", "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(kEndOfInput + summary(intact.damagedStretches, intact.damagedBytes) + kStripHeading),
              std::string::npos);
    EXPECT_TRUE(dir.read("rec.m2v") == intact.video);
    EXPECT_TRUE(dir.read("rec.mp2") == intact.audio);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2"}));

    run = runKorvat(dir, {"-R", "-p", "rec", "pes", "video"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("pes") == intact.pes);
    EXPECT_TRUE(dir.read("video") == intact.video);

    run = runKorvat(dir, {"-p", "rec", "a", "v"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("\ninvalid AVheader\n"), std::string::npos);
    EXPECT_NE(run.err.find("; -r skips damaged stretches\n"), std::string::npos);
  }
}

// A PES packet that reaches past audio the loop dropped lost its end, even
// where its length happens to land on a start code.
TEST(Recovery, AudioPacketAcrossAGap) {
  const Bytes lost = pesPacket(0xC0, "", "\xFF\xF1" + filler(40));              // 51 bytes
  const Bytes kept = "\xFF\xF2" + filler(20) + Bytes("\0\0\1", 3) + filler(5);  // its 00 00 01 where `lost` ends
  const Bytes recording = avPacket(1, 0, sequenceStart("v")) + avPacket(2, 0, lost.substr(0, 20)) +
                          avPacket(2, 0, lost.substr(20), 41) + avPacket(2, 0, pesPacket(0xC0, "", kept));
  TempDir dir;
  dir.write("rec", recording);
  const Outcome run = runKorvat(dir, {"-r", "rec"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir.read("rec.mp2"), kept);
  EXPECT_EQ(dir.read("rec.m2v"), sequenceStart("v"));
  EXPECT_NE(run.out.find(summary(1, 39)), std::string::npos);
}

// The delay is the first audio frame's PTS less the first picture's stamp,
// to the nearest millisecond, modulo the 2^32 ticks of the video stamps.
TEST(AudioDelay, FromTheTimeStamps) {
  struct Case {
    std::uint32_t videoClock;
    std::uint64_t audioClock;
    std::string line;
    std::vector<std::string> options = {};
    unsigned prefixPercent = 100;
    bool audioTimeStamps = true;
  };
  const std::string kUnknown = "audio delay: unknown (";
  const std::vector<Case> cases = {
      {90000, 90000 + 10800, "audio delay: +120 ms\n"},
      {900000, 900000 - 3600, "audio delay: -40 ms\n"},
      {90000, 90000 + 135, "audio delay: +2 ms\n"},
      {90000, 90000 - 44, "audio delay: +0 ms\n"},
      {0xFFFFFFFF - 1799, (std::uint64_t{1} << 32) + 1800, "audio delay: +40 ms\n"},
      {3600, (std::uint64_t{1} << 33) - 3600, "audio delay: -80 ms\n"},
      {90000, 90000, kUnknown + "first picture: no time stamp on its video packet)\n", {}, 0},
      {90000, 90000, kUnknown + "no time stamp on the first frame's PES packet)\n", {}, 100, false},
      {90000, 90000, kUnknown + "-i copies video from before its first sequence header)\n", {"-i"}},
      {90000, 90000, kUnknown + "-p keeps the audio in PES packets)\n", {"-p"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    pack::PackOptions options;
    options.leadIn = false;
    options.videoClock = c.videoClock;
    options.audioClock = c.audioClock;
    options.prefixPercent = c.prefixPercent;
    options.audioTimeStamps = c.audioTimeStamps;
    TempDir dir;
    dir.write("rec", pack::packRecording(sourceVideo(), sourceAudio(), options));
    std::vector<std::string> args = c.options;
    args.push_back("rec");
    const Outcome run = runKorvat(dir, args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, c.line);
  }
}

// The first picture is the first whose start code follows the first sequence
// header; the prefix of the packet in which its start code begins stamps it,
// unless an earlier picture begins there.
TEST(AudioDelay, TheFirstPictureAndItsStamp) {
  const Bytes audio = avPacket(2, 0, pesPacket(0xC0, pack::ptsField(90000 + 900), "\xFF\xF1"));
  const Bytes sequence = sequenceStart("seq");
  const Bytes picture("\0\0\1\0pic", 7);
  struct Case {
    Bytes video;
    std::string line;
  };
  const std::vector<Case> cases = {
      {prefixedVideo(sequence + picture, 90000), "audio delay: +10 ms\n"},
      {prefixedVideo("lead-in", 1) + prefixedVideo(sequence, 2) + prefixedVideo("x" + picture, 90000 - 900),
       "audio delay: +20 ms\n"},
      {prefixedVideo(sequence + Bytes("\0\0", 2), 90000) + prefixedVideo(Bytes("\1\0pic", 5), 7),
       "audio delay: +10 ms\n"},
      {prefixedVideo(picture + sequence + picture, 90000),
       "audio delay: unknown (first picture: its packet stamps an earlier picture)\n"},
      {prefixedVideo(sequence + Bytes("\0", 1), 90000) + prefixedVideo(Bytes("\0", 1), 1) +
           prefixedVideo(Bytes("\1\0", 2), 2),
       "audio delay: unknown (first picture: its start code spans three packets)\n"},
      {prefixedVideo(sequence, 90000), "audio delay: unknown (first picture: no picture in the video)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TempDir dir;
    dir.write("rec", c.video + audio);
    const Outcome run = runKorvat(dir, {"rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, c.line);
  }
  // A search for the first picture stops a mebibyte after the sequence header.
  pack::PackOptions options;
  options.leadIn = false;
  options.prefixPercent = 100;
  TempDir dir;
  dir.write("rec", pack::packRecording(pack::syntheticVideo(1100000, 1), sourceAudio(), options));
  EXPECT_EQ(runKorvat(dir, {"rec"}).err,
            "audio delay: unknown (first picture: no picture start near the first sequence header)\n");
}

}  // namespace
}  // namespace korvat::test
