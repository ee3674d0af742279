// Runs that are stopped half-way, and set-ups in places that cannot be
// written: korvat ends cleanly, says why, and keeps every byte it collected.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "tests/harness.h"
#include "tools/recording_packer.h"

namespace korvat::test {
namespace {

// Enough packets that korvat's output fills the pipe and its own buffers many
// times over in either pass.
struct LongRecording {
  Bytes video = pack::syntheticVideo(16 << 20, 5);
  Bytes audio = pack::syntheticAudio(8 << 20, 5);
  Bytes pes;
  Bytes recording = pack::packRecording(video, audio, {}, &pes);
};

TEST(Interrupts, StopAfterThePacketInHand) {
  if (!kHasSignals) GTEST_SKIP() << "no signals to send on this platform";
  const LongRecording source;
  struct Case {
    const char* name;
    int signal;
    std::string marker;  // what korvat has printed when the signal comes
    bool duringPass;
  };
  const std::vector<Case> cases = {
      {"Ctrl-C in the loop", SIGINT, " skipped\r", false},
      {"SIGTERM in the loop", SIGTERM, " skipped\r", false},
      {"Ctrl-C in the stripping pass", SIGINT, kStripHeading, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("rec", source.recording);
    const Outcome run = runKorvatAndSignal(dir, {"rec"}, c.marker, c.signal);
    EXPECT_EQ(run.status, 130);
    const Bytes video = dir.read("rec.m2v"), audio = dir.read("rec.mp2");
    EXPECT_TRUE(isPrefix(video, source.video));
    EXPECT_TRUE(isPrefix(audio, source.audio));
    EXPECT_LT(audio.size(), source.audio.size());
    const std::string interrupted = "\ninterrupted\n";
    const std::vector<std::string> names = dir.names();
    if (!c.duringPass) {
      // The audio collected so far is still stripped, and the temporary file removed.
      EXPECT_LT(video.size(), source.video.size());
      EXPECT_NE(run.out.find(interrupted + kStripHeading), std::string::npos);
      EXPECT_EQ(run.out.substr(run.out.size() - 2 - std::strlen(kEndOfInput)), "\r\n" + std::string(kEndOfInput));
      EXPECT_EQ(names, (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2"}));
    } else {
      EXPECT_TRUE(video == source.video);
      ASSERT_EQ(names.size(), 4u);
      const std::string kept = interrupted + "\ntemporary file '" + kCurrentDirPrefix + names[0] + "' kept\n";
      EXPECT_EQ(run.out.substr(run.out.size() - kept.size()), kept);
      EXPECT_TRUE(dir.read(names[0]) == source.pes);
    }
  }
}

// A console reader that goes away (korvat | head) does not stop the split.
TEST(Interrupts, ConsoleReaderGoneDoesNotStopTheSplit) {
  if (!kHasSignals) GTEST_SKIP() << "this platform's runner cannot close korvat's output half-way";
  const LongRecording source;
  TempDir dir;
  dir.write("rec", source.recording);
  const Outcome run = runKorvatAndSignal(dir, {"rec"}, " skipped\r", 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(dir.read("rec.m2v") == source.video);
  EXPECT_TRUE(dir.read("rec.mp2") == source.audio);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2"}));
}

// Signals that were ignored when korvat started stay ignored, as under nohup
// or in a script's background job: the split runs to its end.
TEST(Interrupts, SignalsIgnoredAtStartStayIgnored) {
  if (!kHasSignals) GTEST_SKIP() << "no signals to send on this platform";
  const LongRecording source;
  for (const int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    dir.write("rec", source.recording);
    Limits limits;
    limits.ignoredSignal = signal;
    const Outcome run = runKorvatAndSignal(dir, {"rec"}, " skipped\r", signal, limits);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("rec.m2v") == source.video);
    EXPECT_TRUE(dir.read("rec.mp2") == source.audio);
  }
}

// An interrupt that comes after the loop's last look (here while the input
// is closed) still stops the run: the stripping pass does not go on.
TEST(Interrupts, InterruptAfterTheLoopStopsThePass) {
  if (!kHasStrace) GTEST_SKIP() << "no strace to inject a signal with";
  TempDir dir;
  dir.write("rec", avPacket(1, 0, sequenceStart("v")) + avPacket(2, 0, pesPacket(0xC0, "", "\xFF\xF1")));
  Limits limits;
  limits.wrapper = injecting(dir.path("rec"), "close:signal=INT");
  const Outcome run = runKorvat(dir, {"rec"}, limits);
  EXPECT_EQ(run.status, 130);
  const std::string temp = dir.names().front();
  EXPECT_NE(run.out.find(std::string(kStripHeading) + "\ninterrupted\n\ntemporary file '" + kCurrentDirPrefix + temp +
                         "' kept\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(dir.read(temp), pesPacket(0xC0, "", "\xFF\xF1"));
}

// Closed standard descriptors are not handed to korvat's files: the console
// text goes nowhere, never into the video file.
TEST(SetUp, ClosedStandardDescriptors) {
  if (!kIsPosix) GTEST_SKIP() << "Windows hands no descriptor numbers to files";
  const LongRecording source;
  TempDir dir;
  dir.write("rec", source.recording);
  Limits limits;
  limits.closedStdio = true;
  const Outcome run = runKorvat(dir, {"rec"}, limits);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(dir.read("rec.m2v") == source.video);
  EXPECT_TRUE(dir.read("rec.mp2") == source.audio);
}

// The temporary file is never opened by name again: a link put in its place
// during the run is neither followed nor read, and the audio is complete.
TEST(SetUp, TemporaryFileReplacedByALink) {
  if (!kHasSignals) GTEST_SKIP() << "this platform's runner cannot pause korvat half-way";
  namespace fs = std::filesystem;
  const LongRecording source;
  TempDir dir;
  dir.write("rec", source.recording);
  dir.write("victim", "not korvat's");
  const Outcome run = runKorvatAndAct(dir, {"rec"}, " skipped\r", [&dir] {
    const fs::path temp = dir.path(dir.names().front());
    fs::remove(temp);
    fs::create_symlink(dir.path("victim"), temp);
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(dir.read("rec.mp2") == source.audio);
  EXPECT_EQ(dir.read("victim"), "not korvat's");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2", "victim"}));
}

// Root ignores permissions, so the run is made as an unprivileged user.
TEST(SetUp, ReadOnlyCurrentDirectory) {
  if (!kHasUnprivilegedUser) GTEST_SKIP() << "no unprivileged user to run as on this platform";
  namespace fs = std::filesystem;
  TempDir dir;
  dir.write("rec", avPacket(2, 0, pesPacket(0xC0, "", "\xFF\xF1")));
  dir.makeDir("out");
  fs::permissions(dir.path("out"), fs::perms::all);
  fs::permissions(dir.dir(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const Outcome run = runKorvat(dir, {"rec", "out/a.mp2", "out/v.m2v"}, {0, false, true});
  fs::permissions(dir.dir(), fs::perms::owner_all);
  EXPECT_EQ(run.out, "error creating temp file !\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"out", "rec"}));
  EXPECT_EQ(fs::file_size(dir.path("out/v.m2v")), 0u);
  EXPECT_EQ(fs::file_size(dir.path("out/a.mp2")), 0u);
}

}  // namespace
}  // namespace korvat::test
