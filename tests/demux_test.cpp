// The demultiplexing loop end to end, with -p so that the audio output holds
// exactly what the loop wrote.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/harness.h"

namespace korvat::test {
namespace {

struct RecordingCase {
  const char* name;
  Bytes recording;
  std::string out;
  int status;
  Bytes audio, video;
  std::vector<std::string> extraArgs = {};
  std::uint64_t fileSizeLimit = 0;
};

Bytes cut(const Bytes& bytes, std::size_t keep) { return bytes.substr(0, keep); }

void expectRun(const RecordingCase& c) {
  SCOPED_TRACE(c.name);
  TempDir dir;
  dir.write("rec", c.recording);
  std::vector<std::string> args = {"rec", "-p"};
  args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
  const Outcome run = runKorvat(dir, args, {c.fileSizeLimit});
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(dir.read("rec.mp2"), c.audio);
  EXPECT_EQ(dir.read("rec.m2v"), c.video);
}

const Bytes kAudio = filler(10);
const Bytes kAudioPacket = avPacket(2, 0, kAudio);
const std::string kFirstAudioLine = demuxProgress(1, 0, 0, 0, 0, 0);

TEST(Demultiplex, EveryWayARunEnds) {
  const Bytes video = sequenceStart(filler(10, 'k'));
  const Bytes bigAudio = filler(65535, 'q');
  const std::vector<RecordingCase> cases = {
      {"worked run",
       kAudioPacket + prefixedVideo("zz" + video) + avPacket(3, 0, filler(5)),
       kFirstAudioLine + demuxProgress(1, 0, 1, 0, 1, 0) + demuxProgress(1, 0, 1, 0, 2, 0) + kEndOfInput,
       0, kAudio, video},
      {"empty recording", "", kReadWriteError, 2, "", ""},
      {"garbage after the last packet", kAudioPacket + "garbage!",
       kFirstAudioLine + "\ninvalid AVheader\n" + kReadWriteError, 2, kAudio, ""},
      {"audio cut short", cut(kAudioPacket + avPacket(2, 0, filler(100, 'm')), 18 + 8 + 40),
       kFirstAudioLine + kEndOfInput, 0, kAudio + filler(40, 'm'), ""},
      {"video cut short after the start",
       avPacket(1, 0, video) + cut(avPacket(1, 0, filler(50)), 8 + 20),
       demuxProgress(0, 0, 1, 0, 0, 0) + kEndOfInput, 0, "", video + filler(20)},
      {"video cut short before the start", cut(avPacket(1, 0, video), 12), kEndOfInput, 0, "", ""},
      {"start code split across payloads", avPacket(1, 0, Bytes("xx\0\0", 4)) + avPacket(1, 0, "\1\xB3yy"),
       demuxProgress(0, 0, 0, 0, 1, 0) + demuxProgress(0, 0, 0, 0, 2, 0) + kEndOfInput, 0, "", ""},
      {"-i copies from the first packet", avPacket(1, 0, "ab") + prefixedVideo("cde"),
       demuxProgress(0, 0, 1, 0, 0, 0) + demuxProgress(0, 0, 2, 0, 1, 0) + kEndOfInput, 0, "", "abcde",
       {"-i"}},
      {"prefix flag on a packet too short for it",
       avPacket(1, 0x10, "xy") + kAudioPacket + avPacket(1, 0x10, ""),
       demuxProgress(0, 0, 0, 0, 1, 0) + demuxProgress(1, 0, 0, 0, 1, 0) + demuxProgress(1, 0, 0, 0, 2, 0) +
           kEndOfInput,
       0, kAudio, ""},
      {"prefix only, before and after the start",
       prefixedVideo("") + avPacket(1, 0, video) + prefixedVideo(""),
       demuxProgress(0, 0, 0, 0, 2, 0) + demuxProgress(0, 0, 1, 0, 2, 0) + demuxProgress(0, 0, 2, 0, 3, 0) +
           kEndOfInput,
       0, "", video},
      {"skipped packet past the end", avPacket(0, 0, "abc", 1000),
       demuxProgress(0, 0, 0, 0, 1, 0) + kEndOfInput, 0, "", ""},
      {"kilobytes and empty audio", avPacket(2, 0, bigAudio) + avPacket(2, 0, ""),
       demuxProgress(1, 63, 0, 0, 0, 0) + demuxProgress(2, 63, 0, 0, 0, 0) + kEndOfInput, 0, bigAudio, ""},
  };
  for (const RecordingCase& c : cases) expectRun(c);
  for (std::size_t stray = 1; stray <= 7; ++stray) {
    expectRun({"stray bytes after the last packet", kAudioPacket + cut(kAudioPacket, stray),
               kFirstAudioLine + kEndOfInput, 0, kAudio, ""});
  }
}

TEST(Demultiplex, FailedWritesEndTheRun) {
  if (!kHasFileSizeLimits) GTEST_SKIP() << "no file-size limits to make a write fail on this platform";
  const Bytes bigVideo = sequenceStart(filler(3000));
  const Bytes bigAudio = filler(3000, 'r');
  const std::string audioFailed = "\nerror writing to audio-file\n" + std::string(kReadWriteError);
  const std::string videoFailed = "\nerror writing to video-file\n" + std::string(kReadWriteError);
  const std::vector<RecordingCase> cases = {
      {"audio", kAudioPacket + avPacket(2, 0, bigAudio) + kAudioPacket, kFirstAudioLine + audioFailed, 2,
       kAudio + bigAudio.substr(0, 990), "", {}, 1000},
      {"video at its start", kAudioPacket + avPacket(1, 0, "ab" + bigVideo), kFirstAudioLine + videoFailed, 2,
       kAudio, bigVideo.substr(0, 1000), {}, 1000},
      {"video after its start", kAudioPacket + avPacket(1, 0, bigVideo), kFirstAudioLine + videoFailed, 2,
       kAudio, bigVideo.substr(0, 1000), {"-i"}, 1000},
  };
  for (const RecordingCase& c : cases) expectRun(c);
}

// Positions and counters are 64-bit: packets whose headers lie beyond 4 GiB
// are found and the progress line shows the true totals. The skipped
// payloads are holes, so the file costs almost no disk.
TEST(Demultiplex, RecordingsBeyondFourGibibytes) {
  TempDir dir;
  const Bytes skipped = avPacket(3, 0, "", 65535);
  const std::uint64_t packetSize = skipped.size() + 65535;
  const std::uint64_t skippedPackets = (std::uint64_t{1} << 32) / packetSize + 1;
  {
    std::ofstream recording(dir.path("rec"), std::ios::binary);
    for (std::uint64_t i = 0; i < skippedPackets; ++i) {
      recording.seekp(static_cast<std::streamoff>(i * packetSize)) << skipped;
    }
    recording.seekp(static_cast<std::streamoff>(skippedPackets * packetSize))
        << kAudioPacket + avPacket(1, 0, sequenceStart("v"));
    ASSERT_TRUE(recording.good());
  }

  const Outcome run = runKorvat(dir, {"-p", "rec"});
  const int skippedKb = static_cast<int>(skippedPackets * 65535 >> 10);
  const auto count = static_cast<int>(skippedPackets);
  const std::string last = demuxProgress(1, 0, 0, 0, count, skippedKb) +
                           demuxProgress(1, 0, 1, 0, count, skippedKb) + kEndOfInput;
  ASSERT_GE(run.out.size(), last.size());
  EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir.read("rec.mp2"), kAudio);
  EXPECT_EQ(dir.read("rec.m2v"), sequenceStart("v"));
}

}  // namespace
}  // namespace korvat::test
