// The command line and the set-up of a run: names, options, and what each
// failure prints, returns and leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>

#include "file/disk_file.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

const std::string kUsage =
    "KORVAT - dvb-s audio/video extractor - v0.3\n\n"
    "korvat [-i] input [audio] [video]\n\n"
    " -i        : ungueltige video-pakete mitkopieren\n"
    " -p        : Audiostream inklusive PES-Daten kopieren\n"
    "             (erzeugt eine MPP-Datei)\n"
    "\n"
    " input     : DVB-s Audio/Video Datei\n"
    "\n"
    " audio     : MP2-Audiodatei (optional)\n"
    " video     : M2V-Videodatei (optional)\n"
    "\n";

// Lead-in video, one audio PES packet, then the start of the video.
const Bytes kAudioPes = pesPacket(0xC0, "", "\xFF\xF3" "abcd");
const Bytes kRecording = avPacket(1, 0, filler(6)) + avPacket(2, 0, kAudioPes) +
                         avPacket(1, 0, sequenceStart("xy"));
const std::string kRunOutput = demuxProgress(0, 0, 0, 0, 1, 0) + demuxProgress(1, 0, 0, 0, 1, 0) +
                               demuxProgress(1, 0, 1, 0, 1, 0) + kEndOfInput;
const std::string kStripOutput = std::string(kStripHeading) + stripProgress(1, 0, 0, 0) + "\n" +
                                 kEndOfInput;

struct NamingCase {
  std::vector<std::string> args;
  std::string out;
  int status;
  // The directory afterwards, besides "rec": each name with its content.
  std::vector<std::pair<std::string, Bytes>> files;
};

TEST(CommandLine, NamesOptionsAndSetUpFailures) {
  const Bytes video = sequenceStart("xy");
  const Bytes strippedAudio = "\xFF\xF3" "abcd";
  const std::vector<NamingCase> cases = {
      {{}, kUsage, 1, {}},
      {{"-i"}, "zu wenig Parameter!\n", 1, {}},
      {{"-p", "-I"}, "zu wenig Parameter!\n", 1, {}},
      {{"rec", "a", "v", "w"}, "zu viele Parameter!\n", 1, {}},
      {{"rec"}, kRunOutput + kStripOutput, 0, {{"rec.m2v", video}, {"rec.mp2", strippedAudio}}},
      {{"-P", "rec"}, kRunOutput, 0, {{"rec.m2v", video}, {"rec.mp2", kAudioPes}}},
      {{"-x", "rec", "a.mp2", "-"}, kRunOutput + kStripOutput, 0,
       {{"a.mp2", strippedAudio}, {"rec.m2v", video}}},
      {{"rec", "-pq", "a", "v"}, kRunOutput, 0, {{"a", kAudioPes}, {"v", video}}},
      {{"-ifoo", "rec", "-p"},
       demuxProgress(0, 0, 1, 0, 0, 0) + demuxProgress(1, 0, 1, 0, 0, 0) +
           demuxProgress(1, 0, 2, 0, 0, 0) + kEndOfInput,
       0, {{"rec.m2v", filler(6) + video}, {"rec.mp2", kAudioPes}}},
      {{"missing"}, "error opening input stream 'missing'\n", 2, {}},
      {{"rec", "a", "none/v"}, "error creating output file 'none/v'\n", 2, {}},
      {{"rec", "none/a", "-p"}, "error creating output file 'none/a'\n", 2, {{"rec.m2v", ""}}},
      {{"sub"}, "error opening input stream 'sub'\n", 2, {}},
      // An existing audio file stops a default run before a temporary file is made.
      {{"rec", "sub"}, "error creating output file 'sub'\n", 2, {{"rec.m2v", ""}}},
  };
  for (const NamingCase& c : cases) {
    std::string label;
    for (const std::string& arg : c.args) label += arg + " ";
    SCOPED_TRACE(label);
    TempDir dir;
    dir.write("rec", kRecording);
    dir.makeDir("sub");
    const Outcome run = runKorvat(dir, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    std::vector<std::string> expectedNames = {"rec", "sub"};
    for (const auto& [name, bytes] : c.files) {
      expectedNames.push_back(name);
      EXPECT_EQ(dir.read(name), bytes) << name;
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(dir.names(), expectedNames);
  }
}

TEST(CommandLine, ExistingOutputsAreNeverTouched) {
  TempDir dir;
  dir.write("rec", kRecording);
  dir.write("rec.m2v", "old video");
  Outcome run = runKorvat(dir, {"rec"});
  EXPECT_EQ(run.out, "error creating output file 'rec.m2v'\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.read("rec.m2v"), "old video");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v"}));

  dir.write("b.mp2", "old audio");
  for (const char* mode : {"-p", "-i"}) {
    SCOPED_TRACE(mode);
    run = runKorvat(dir, {"rec", "b.mp2", mode, std::string("v") + mode});
    EXPECT_EQ(run.out, "error creating output file 'b.mp2'\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(dir.read("b.mp2"), "old audio");
    EXPECT_EQ(dir.read(std::string("v") + mode), "");
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"b.mp2", "rec", "rec.m2v", "v-i", "v-p"}));
}

TEST(CommandLine, InputHeldByAnotherRunIsNotOpened) {
  TempDir dir;
  dir.write("rec", kRecording);
  Outcome run;
  {
    // Held as korvat holds its files: no one else may open it meanwhile.
    DiskFile holder(dir.path("rec").c_str(), FileMode::Read, false, false);
    ASSERT_EQ(holder.error(), FileError::Ok);
    run = runKorvat(dir, {"rec"});
  }
  EXPECT_EQ(run.out, "error opening input stream 'rec'\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"rec"});
}

}  // namespace
}  // namespace korvat::test
