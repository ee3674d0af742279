// Full disks: a file-size limit swept across the whole size of the outputs of
// a real recording. Whatever the limit, a run that could not write everything
// says so and ends with status 2, every output holds a prefix of what an
// unlimited run writes, no progress line counts data the files lack, and no
// audio is lost without a word.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/harness.h"
#include "tools/recording_packer.h"

namespace korvat::test {
namespace {

// The bytes written for the first n audio and the first n video packets of a
// recording split with -i.
struct PacketSizes {
  std::vector<std::uint64_t> audio{0}, video{0};  // running totals
};

PacketSizes packetSizes(const Bytes& recording) {
  PacketSizes sizes;
  for (std::size_t at = 0; at + 8 <= recording.size();) {
    const auto* header = reinterpret_cast<const unsigned char*>(recording.data() + at);
    const std::uint64_t length = header[6] * 256u + header[7];
    if (header[2] == 2) sizes.audio.push_back(sizes.audio.back() + length);
    if (header[2] == 1) sizes.video.push_back(sizes.video.back() + length - ((header[5] & 0x10) ? 4 : 0));
    at += 8 + length;
  }
  return sizes;
}

// The packet counts of the loop's last progress line (0 and 0 without one).
std::pair<std::size_t, std::size_t> lastCounts(const std::string& out) {
  const std::size_t end = out.rfind(" skipped\r");
  const std::size_t start = end == std::string::npos ? end : out.find_last_of("\r\n", end) + 1;
  unsigned audio = 0, video = 0, kb = 0;
  if (start != std::string::npos) std::sscanf(out.c_str() + start, "%u (%u kb) audio, %u", &audio, &kb, &video);
  return {audio, video};
}

TEST(WriteFailures, FileSizeLimitSweep) {
  if (!kHasFileSizeLimits) GTEST_SKIP() << "no file-size limits to make a write fail on this platform";
  Bytes pes;
  const Bytes audio = readSample("sine.mp2");
  const Bytes recording = pack::packRecording(readSample("testsrc.m2v"), audio, {}, &pes);
  const PacketSizes sizes = packetSizes(recording);
  TempDir unlimited;
  unlimited.write("rec", recording);
  ASSERT_EQ(runKorvat(unlimited, {"-i", "-p", "rec"}).status, 0);
  const Bytes video = unlimited.read("rec.m2v");
  const std::uint64_t largest = std::max(video.size(), pes.size());

  for (std::uint64_t limit = 1; limit <= largest + 1; limit += 4099) {
    for (const bool stripped : {false, true}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (stripped ? " default mode" : " -p"));
      TempDir dir;
      dir.write("rec", recording);
      const Outcome run = runKorvat(dir, {"-i", stripped ? "-x" : "-p", "rec"}, {limit});
      const bool fits = limit >= largest;
      EXPECT_EQ(run.status, fits ? 0 : 2);
      EXPECT_EQ(run.out.find("\nerror writing to ") != std::string::npos, !fits);

      const Bytes videoOut = dir.read("rec.m2v"), audioOut = dir.read("rec.mp2");
      EXPECT_TRUE(isPrefix(videoOut, video));
      EXPECT_TRUE(isPrefix(audioOut, stripped ? audio : pes));
      const auto [audioPackets, videoPackets] = lastCounts(run.out);
      EXPECT_GE(videoOut.size(), sizes.video.at(videoPackets));
      if (!stripped) {
        EXPECT_GE(audioOut.size(), sizes.audio.at(audioPackets));
      }

      const std::vector<std::string> names = dir.names();
      if (names.front().rfind("kvt", 0) == 0) {
        EXPECT_NE(run.out.find("\ntemporary file '" + std::string(kCurrentDirPrefix) + names.front() + "' kept\n"),
                  std::string::npos);
        EXPECT_TRUE(isPrefix(dir.read(names.front()), pes));
      } else {
        EXPECT_EQ(names, (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2"}));
      }
    }
  }
}

// Errors the OS reports where a plain run cannot provoke them, injected: a
// read error where the input would end is no end, and a failure reported only
// when an output is closed is a failed write.
TEST(WriteFailures, InjectedErrors) {
  if (!kHasStrace) GTEST_SKIP() << "no strace to inject errors with";
  const Bytes video = sequenceStart("v"), pes = pesPacket(0xC0, "", "\xFF\xF1");
  const std::string failed = kReadWriteError;
  struct Case {
    std::vector<std::string> args;
    std::string file, fault, outEnd;
    std::vector<std::string> leftOver;  // besides rec, a.mp2 and v.m2v
  };
  const std::vector<Case> cases = {
      {{"-p", "rec", "a.mp2", "v.m2v"}, "rec", "read:error=EIO:when=2+", failed, {}},
      {{"-p", "rec", "a.mp2", "v.m2v"}, "v.m2v", "close:error=EIO", "\nerror writing to video-file\n" + failed, {}},
      {{"-p", "rec", "a.mp2", "v.m2v"}, "a.mp2", "close:error=EIO", "\nerror writing to audio-file\n" + failed, {}},
      {{"rec", "a.mp2", "v.m2v"}, "a.mp2", "close:error=EIO", "\nerror writing to output file !\n", {"kvt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.fault);
    TempDir dir;
    dir.write("rec", avPacket(1, 0, video) + avPacket(2, 0, pes));
    Limits limits;
    limits.wrapper = injecting(dir.path(c.file), c.fault);
    const Outcome run = runKorvat(dir, c.args, limits);
    EXPECT_EQ(run.status, 2);
    const std::vector<std::string> names = dir.names();
    std::string out = run.out;
    if (!c.leftOver.empty()) {
      const std::string temp = names.at(1);  // after a.mp2
      ASSERT_EQ(temp.rfind("kvt", 0), 0u);
      const std::string kept = "\ntemporary file '" + std::string(kCurrentDirPrefix) + temp + "' kept\n";
      ASSERT_GE(out.size(), kept.size());
      EXPECT_EQ(out.substr(out.size() - kept.size()), kept);
      out.resize(out.size() - kept.size());
      EXPECT_EQ(dir.read(temp), pes);
    }
    ASSERT_GE(out.size(), c.outEnd.size()) << run.out;
    EXPECT_EQ(out.substr(out.size() - c.outEnd.size()), c.outEnd) << run.out;
    EXPECT_EQ(names.size(), 3 + c.leftOver.size());
  }
}

}  // namespace
}  // namespace korvat::test
