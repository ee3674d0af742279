// The command line and the set-up of a run: names, options, and what each
// failure prints, returns and leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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

using Files = std::map<std::string, Bytes>;

struct NamingCase {
  std::vector<std::string> args;
  std::string out;
  int status;
  Files after;        // what the run leaves besides "rec", the directory "sub" and `before`
  Files before = {};  // laid down first, and never touched by the run
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
      {{"-x", "rec", "a.mp2", "-"}, kRunOutput + kStripOutput, 0, {{"a.mp2", strippedAudio}, {"rec.m2v", video}}},
      {{"rec", "-pq", "a", "v"}, kRunOutput, 0, {{"a", kAudioPes}, {"v", video}}},
      {{"-ifoo", "rec", "-p"},
       demuxProgress(0, 0, 1, 0, 0, 0) + demuxProgress(1, 0, 1, 0, 0, 0) + demuxProgress(1, 0, 2, 0, 0, 0) +
           kEndOfInput,
       0, {{"rec.m2v", filler(6) + video}, {"rec.mp2", kAudioPes}}},
      {{"missing"}, "error opening input stream 'missing'\n", 2, {}},
      {{"sub"}, "error opening input stream 'sub'\n", 2, {}},
      {{"rec", "a", "none/v"}, "error creating output file 'none/v'\n", 2, {}},
      {{"rec", "none/a", "-p"}, "error creating output file 'none/a'\n", 2, {{"rec.m2v", ""}}},
      {{"rec", "none/a"}, "error creating output file 'none/a'\n", 2, {{"rec.m2v", ""}}},
      // Existing outputs stop the run, the video before any audio file is
      // touched; an existing audio file stops a default run before a
      // temporary file is made.
      {{"rec"}, "error creating output file 'rec.m2v'\n", 2, {}, {{"rec.m2v", "old"}}},
      {{"rec", "sub"}, "error creating output file 'sub'\n", 2, {{"rec.m2v", ""}}},
      {{"rec", "b", "-p"}, "error creating output file 'b'\n", 2, {{"rec.m2v", ""}}, {{"b", "old"}}},
      {{"rec", "b", "v"}, "error creating output file 'b'\n", 2, {{"v", ""}}, {{"b", "old"}}},
  };
  for (const NamingCase& c : cases) {
    std::string label;
    for (const std::string& arg : c.args) label += arg + " ";
    SCOPED_TRACE(label);
    TempDir dir;
    dir.write("rec", kRecording);
    dir.makeDir("sub");
    for (const auto& [name, bytes] : c.before) dir.write(name, bytes);
    const Outcome run = runKorvat(dir, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    Files expected = c.after;
    expected.insert(c.before.begin(), c.before.end());
    std::vector<std::string> expectedNames = {"rec", "sub"};
    for (const auto& [name, bytes] : expected) {
      expectedNames.push_back(name);
      EXPECT_EQ(dir.read(name), bytes) << name;
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(dir.names(), expectedNames);
  }
}

TEST(CommandLine, InputHeldByAnotherRunIsNotOpened) {
  TempDir dir;
  dir.write("rec", kRecording);
  Outcome run;
  {
    // Held as korvat holds its files: no one else may open it meanwhile.
    DiskFile holder(dir.path("rec"), Disposition::OpenExisting);
    ASSERT_EQ(holder.error(), FileError::Ok);
    run = runKorvat(dir, {"rec"});
  }
  EXPECT_EQ(run.out, "error opening input stream 'rec'\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"rec"});
}

}  // namespace
}  // namespace korvat::test
