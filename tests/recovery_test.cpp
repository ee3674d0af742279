// Recordings as receivers write them: damaged stretches that -r skips, and
// the audio delay that the time stamps give.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/harness.h"

namespace korvat::test {
namespace {

// With -k the outputs are exactly what the intact packets held, and the
// console counts what was skipped.
TEST(Recovery, SkipsDamageAndKeepsTheIntactPackets) {
  struct Case {
    const char* name;
    pack::Damage damage;
  };
  const std::vector<Case> cases = {
      {"cut-off start", {37, 0, 0, 0, 0, 0, {}}},
      {"garbage between packets", {0, 120, 999, 0, 0, 0, {}}},
      {"chunk missing from a video payload", {0, 0, 0, 150, 0, 100, {}}},
      {"chunk missing from an audio PES packet over two AV packets", {0, 0, 0, 0, 60, 100, {}}},
      {"all of them", {5, 30, 17, 200, 100, 333, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pack::PackOptions options;
    options.spanPercent = 50;
    options.damage = c.damage;
    pack::Intact intact;
    TempDir dir;
    dir.write("rec", packRecording(sourceVideo(), sourceAudio(), options, nullptr, &intact));
    ASSERT_GT(intact.damagedStretches, 0u);

    Outcome run = runKorvat(dir, {"-k", "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(kEndOfInput + summary(intact.damagedStretches, intact.damagedBytes) + kStripHeading),
              std::string::npos);
    EXPECT_TRUE(dir.read("rec.m2v") == intact.video);
    EXPECT_TRUE(dir.read("rec.mp2") == intact.audio);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2"}));

    run = runKorvat(dir, {"-K", "-p", "rec", "pes", "video"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("pes") == intact.pes);
    EXPECT_TRUE(dir.read("video") == intact.video);
  }
}

// Around damage, every packet that arrived whole is kept (-k: exactly). A PES
// packet that reaches past audio the loop dropped lost its end, even where
// its length happens to land on a start code; audio that does not begin with
// a start code (the tail of a packet whose start was lost) is skipped up to
// the next packet that counts, or to the next gap, each a skipped packet. A
// packet whose successor is damage is whole when the next header that counts
// lies at or past its end, also right after a skip, and also where its end is
// a gap; one whose length reaches past the end of the file is cut short by
// the end, unless whole packets inside it end where the file does.
TEST(Recovery, WholePacketsAroundDamage) {
  const Bytes lost = pesPacket(0xC0, "", "\xFF\xF1" + filler(40));              // 51 bytes
  const Bytes kept = "\xFF\xF2" + filler(20) + Bytes("\0\0\1", 3) + filler(5);  // its 00 00 01 where `lost` ends
  const Bytes video = sequenceStart(Bytes(8, '\0')) + Bytes("\0\0\1\0", 4) + Bytes(4, '\0');
  const Bytes audio = avPacket(2, 0, pesPacket(0xC0, pack::ptsField(1000), "\xFF\xF1" + filler(20)));
  std::vector<Bytes> pes, frames;
  for (char i = 1; i <= 6; ++i) {
    frames.push_back("\xFF\xF1" + Bytes(30, static_cast<char>('0' + i)));
    pes.push_back(pesPacket(0xC0, pack::ptsField(1000 * i), frames.back()));
  }
  const auto lossy = [](const Bytes& part) { return avPacket(2, 0, part, static_cast<int>(part.size()) + 10); };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Bytes recording, video, audio;
    std::string skipped;
  };
  const std::vector<Case> cases = {
      {"a PES packet across a gap",
       {"-k", "rec"},
       avPacket(1, 0, sequenceStart("v")) + avPacket(2, 0, "tail") + avPacket(2, 0, lost.substr(0, 20)) +
           avPacket(2, 0, lost.substr(20), 41) + avPacket(2, 0, pesPacket(0xC0, "", kept)),
       sequenceStart("v"),
       kept,
       summary(1, 39)},
      {"a packet between two damaged stretches",
       {"-k", "-p", "rec"},
       "\x11\x22\x33" + prefixedVideo(video, 900) + "ZZZZ" + prefixedVideo("second", 4500) + audio,
       video + "second",
       audio.substr(8),
       summary(2, 7)},
      {"a packet that damage cut, its length reaching past the end of the file",
       {"-k", "rec"},
       prefixedVideo(video) + avPacket(2, 0, pes[0]) + avPacket(2, 0, pes[1].substr(0, 10), 1000) +
           avPacket(2, 0, pes[2]),
       video,
       frames[0] + frames[2],
       summary(1, 18)},
      {"PES packets between cut ones",
       {"-K", "rec"},
       prefixedVideo(video) + avPacket(2, 0, pes[0]) + lossy(pes[1].substr(0, 20)) + avPacket(2, 0, pes[1].substr(20)) +
           avPacket(2, 0, pes[2]) + lossy(pes[3].substr(0, 20)) + avPacket(2, 0, pes[3].substr(20)) +
           lossy(pes[4].substr(0, 20)) + avPacket(2, 0, pes[4].substr(20)) + avPacket(2, 0, pes[5]),
       video,
       frames[0] + frames[2] + frames[5],
       summary(3, 84) + kStripHeading +
           stripLines({{1, 0, 0, 0}, {1, 0, 1, 0}, {2, 0, 1, 0}, {2, 0, 2, 0}, {2, 0, 3, 0}, {3, 0, 3, 0}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("rec", c.recording);
    const Outcome run = runKorvat(dir, c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(dir.read("rec.m2v"), c.video);
    EXPECT_EQ(dir.read("rec.mp2"), c.audio);
    EXPECT_NE(run.out.find(c.skipped), std::string::npos);
  }
}

// The delay is the first audio frame's PTS less the first picture's stamp,
// to the nearest millisecond, modulo the 2^32 ticks of the video stamps. The
// first picture is the first whose start code follows the first sequence
// header; the prefix of the packet in which its start code begins stamps it,
// unless an earlier picture begins there.
TEST(AudioDelay, FromTheTimeStamps) {
  const auto packed = [](std::uint32_t videoClock, std::uint64_t audioClock, unsigned prefixPercent = 100,
                         bool audioTimeStamps = true, const Bytes& video = sourceVideo()) {
    pack::PackOptions options;
    options.leadIn = false;
    options.videoClock = videoClock;
    options.audioClock = audioClock;
    options.prefixPercent = prefixPercent;
    options.audioTimeStamps = audioTimeStamps;
    return packRecording(video, sourceAudio(), options);
  };
  const Bytes audio = avPacket(2, 0, pesPacket(0xC0, pack::ptsField(90000 + 900), "\xFF\xF1"));
  const Bytes sequence = sequenceStart("seq"), picture("\0\0\1\0pic", 7);
  // A picture's start code split over packets: its first bytes, and what follows.
  const Bytes zero("\0", 1), zeros("\0\0", 2), rest("\1\0pic", 5);
  const auto v = [](const Bytes& video, std::uint32_t stamp) { return prefixedVideo(video, stamp); };
  const std::string known = "audio delay: ", unknown = "audio delay: unknown (", first = unknown + "first picture: ";
  const std::vector<std::tuple<std::string, Bytes, std::string>> cases = {
      {"", packed(90000, 90000 + 135), known + "+2 ms\n"},
      {"", packed(90000, 90000 - 44), known + "+0 ms\n"},
      {"", packed(0xFFFFFFFF - 1799, (std::uint64_t{1} << 32) + 1800), known + "+40 ms\n"},
      {"", packed(3600, (std::uint64_t{1} << 33) - 3600), known + "-80 ms\n"},
      {"", packed(0, 0, 0), first + "no time stamp on its video packet)\n"},
      {"", packed(0, 0, 100, false), unknown + "no time stamp on the first frame's PES packet)\n"},
      {"-i", packed(0, 0), unknown + "-i copies video from before its first sequence header)\n"},
      {"-p", packed(0, 0), unknown + "-p keeps the audio in PES packets)\n"},
      {"", packed(0, 0, 100, true, sequenceStart(pack::randomBytes(1100000, 1)) + picture + picture),
       first + "no picture start near the first sequence header)\n"},
      {"", v(sequence + picture, 90000) + audio, known + "+10 ms\n"},
      {"", v("lead-in", 1) + v(sequence, 2) + v("x" + picture, 90000 - 900) + audio, known + "+20 ms\n"},
      {"", v(sequence + zeros, 90000) + v(rest, 7) + audio, known + "+10 ms\n"},
      {"", v(picture + sequence + picture, 90000) + audio, first + "its packet stamps an earlier picture)\n"},
      {"", v(sequence + zero, 90000) + v(zero, 1) + v(Bytes("\1\0", 2), 2) + audio, known + "+10 ms\n"},
      {"", v(sequenceStart("x"), 1) + v(zeros, 90000) + v(rest, 3) + audio, known + "+10 ms\n"},
      {"", v(sequence + zeros, 90000) + v("", 5) + v(rest, 3) + audio, known + "+10 ms\n"},
      {"", prefixedVideo(sequence, 90000) + audio, first + "no picture in the video)\n"},
  };
  for (const auto& [option, recording, line] : cases) {
    SCOPED_TRACE(line);
    TempDir dir;
    dir.write("rec", recording);
    const Outcome run =
        runKorvat(dir, option.empty() ? std::vector<std::string>{"rec"} : std::vector<std::string>{option, "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, line);
  }
}

}  // namespace
}  // namespace korvat::test
