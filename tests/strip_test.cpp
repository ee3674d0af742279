// The stripping pass of a default run, and what it keeps when it fails.
#include <gtest/gtest.h>

#include "file/disk_file.h"
#include "strip/strip_pes_audio.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

const Bytes kNoBody("\0\0\1\xC0\0\x02\x80\x80", 8);  // too short to hold its header

struct StripCase {
  const char* name;
  std::vector<Bytes> audioPayloads;  // one AV audio packet each; together the temporary file
  std::string passOut;               // what the pass prints after its heading
  Bytes audio;
  bool tempKept = false;
};

std::string concat(const std::vector<Bytes>& parts) {
  std::string all;
  for (const Bytes& part : parts) all += part;
  return all;
}

void expectDefaultRun(const StripCase& c) {
  SCOPED_TRACE(c.name);
  TempDir dir;
  Bytes recording = avPacket(1, 0, sequenceStart("v"));
  std::string out = demuxProgress(0, 0, 1, 0, 0, 0);
  std::uint64_t audioBytes = 0;
  for (std::size_t i = 0; i < c.audioPayloads.size(); ++i) {
    recording += avPacket(2, 0, c.audioPayloads[i]);
    audioBytes += c.audioPayloads[i].size();
    out += demuxProgress(static_cast<int>(i + 1), static_cast<int>(audioBytes >> 10), 1, 0, 0, 0);
  }
  dir.write("rec", recording);
  const Outcome run = runKorvat(dir, {"rec"});

  out += kEndOfInput + std::string(kStripHeading) + c.passOut;
  std::vector<std::string> names = {"rec", "rec.m2v", "rec.mp2"};
  if (c.tempKept) {
    const std::string temp = dir.names().front();
    ASSERT_EQ(temp.rfind("kvt", 0), 0u) << temp;
    out += "\ntemporary file '" + std::string(kCurrentDirPrefix) + temp + "' kept\n";
    names.insert(names.begin(), temp);
    EXPECT_EQ(dir.read(temp), concat(c.audioPayloads));
  }
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.status, c.tempKept ? 2 : 0);
  EXPECT_EQ(dir.read("rec.mp2"), c.audio);
  EXPECT_EQ(dir.names(), names);
}

TEST(StripPass, DefaultRuns) {
  const std::string end = "\n" + std::string(kEndOfInput);
  const std::string skipping = "\nskipping non-audio packet...\n";
  const std::vector<StripCase> cases = {
      {"worked pass", {pesPacket(0xC0, "12345", Bytes("\0\x11\xFF\xF3" "abcd", 8))},
       stripProgress(1, 0, 0, 0) + end, "\xFF\xF3" "abcd"},
      {"header data lengths change",
       {pesPacket(0xC0, "", "\xFF\xF1" "a"), pesPacket(0xC0, "12345", "bc"), pesPacket(0xC0, "12", "d")},
       stripProgress(1, 0, 0, 0) + stripProgress(2, 0, 0, 0) + stripProgress(3, 0, 0, 0) + end,
       "\xFF\xF1" "abcd"},
      {"sync mid-payload after packets without one",
       {pesPacket(0xC0, "12345", filler(20)), pesPacket(0xC0, "", "xy\xFF\xFA" "z"), pesPacket(0xC0, "1", "w")},
       stripProgress(0, 0, 1, 0) + stripProgress(1, 0, 1, 0) + stripProgress(2, 0, 1, 0) + end,
       "\xFF\xFA" "zw"},
      // The buffer still holds 0xF5 from the longer first packet right after
      // the second one's closing 0xFF; neither that nor the next packet's
      // 0xF3 completes a sync.
      {"no sync across payloads",
       {pesPacket(0xC0, "", "abcd\xF5" + filler(10)), pesPacket(0xC0, "", "abc\xFF"), pesPacket(0xC0, "", "\xF3x"),
        pesPacket(0xC0, "", "\xFF\xF4zz")},
       stripProgress(0, 0, 1, 0) + stripProgress(0, 0, 2, 0) + stripProgress(0, 0, 3, 0) +
           stripProgress(1, 0, 3, 0) + end,
       "\xFF\xF4zz"},
      {"non-audio stream ids",
       {pesPacket(0xC1, "", "\xFF\xF1q"), pesPacket(0xBD, "1", "\xFF\xF1q"), pesPacket(0xE0, "", "\xFF\xF2r")},
       skipping + skipping + stripProgress(1, 0, 2, 0) + end, "\xFF\xF2r"},
      {"bodies too short for their header", {kNoBody, pesPacket(0xC0, "", "\xFF\xF1"), kNoBody},
       stripProgress(0, 0, 1, 0) + stripProgress(1, 0, 1, 0) + stripProgress(2, 0, 1, 0) + end, "\xFF\xF1"},
      {"temporary file cut short",
       {pesPacket(0xC0, "", "\xFF\xF1" "abc"), pesPacket(0xC0, "12345", "defgh").substr(0, 16)},
       stripProgress(1, 0, 0, 0) + stripProgress(2, 0, 0, 0) + end, "\xFF\xF1" "abcde"},
      {"stray bytes after the last packet", {pesPacket(0xC0, "", "\xFF\xF1"), Bytes("\0\0\1", 3)},
       stripProgress(1, 0, 0, 0) + end, "\xFF\xF1"},
      {"non-audio packet cut short", {pesPacket(0xC0, "", "\xFF\xF1"), pesPacket(0xBD, "", filler(10)).substr(0, 8)},
       stripProgress(1, 0, 0, 0) + skipping + end, "\xFF\xF1"},
      {"no sync anywhere", {pesPacket(0xC0, "", "\xFF" "a\xFF\x0F\xFF")}, stripProgress(0, 0, 1, 0) + end, ""},
      {"no audio at all", {}, "\n", ""},
      {"packet without the start code", {"garbage"}, "\ninvalid packet header found !\n", "", true},
  };
  for (const StripCase& c : cases) expectDefaultRun(c);
}

// Failures that a default run cannot provoke by itself: the pass alone, on a
// temporary file laid down beforehand.
const Bytes kFrames = pesPacket(0xC0, "", "\xFF\xF1" + filler(998));
const Bytes kTemp = kFrames + kFrames + kFrames;

TEST(StripPass, FullDiskKeepsTheTemporaryFile) {
  if (!kHasFileSizeLimits) GTEST_SKIP() << "no file-size limits to make a write fail on this platform";
  TempDir dir;
  const Outcome run = runInChild(
      dir,
      [] {
        std::string name;
        std::unique_ptr<DiskFile> temp = DiskFile::createTemporary(name);
        temp->write(kTemp.data(), static_cast<std::uint32_t>(kTemp.size()));
        temp->flush();
        DiskFile audio("a.mp2", Disposition::CreateNew);
        limitFileSize(1500);  // the audio file's, not the temporary file's
        return finishStrippedAudio(temp, name, audio, 0) == PassEnd::Completed ? 0 : 1;
      });
  const std::string temp = dir.names().at(1);
  EXPECT_EQ(run.out, kStripHeading + stripProgress(1, 0, 0, 0) + "\nerror writing to output file !\n" +
                         "\ntemporary file '" + kCurrentDirPrefix + temp + "' kept\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(dir.read(temp), kTemp);
  EXPECT_EQ(dir.read("a.mp2"), (kFrames.substr(9) + kFrames.substr(9)).substr(0, 1500));
}

}  // namespace
}  // namespace korvat::test
