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

}  // namespace
}  // namespace korvat::test
