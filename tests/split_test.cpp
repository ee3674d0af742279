// Runs of korvat on recordings built byte by byte: every way the command
// line, the set-up, the loop and the stripping pass end, with the console
// text, the exit status and every file left behind.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "tests/harness.h"

namespace korvat::test {
namespace {

using Files = std::map<std::string, Bytes>;

struct Case {
  const char* name;
  std::vector<std::string> args;
  Bytes recording;  // as "rec"
  std::string out;
  int status;
  Files after;                // every file besides "rec" and `before`
  Files before = {};          // laid down first, and never touched by the run
  const char* err = nullptr;  // standard error, when it matters
};

void expectRun(const Case& c) {
  SCOPED_TRACE(c.name);
  TempDir dir;
  dir.write("rec", c.recording);
  for (const auto& [name, bytes] : c.before) dir.write(name, bytes);
  const Outcome run = runKorvat(dir, c.args);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.status, c.status);
  if (c.err) {
    EXPECT_EQ(run.err, c.err);
  }
  Files expected = c.after;
  expected.insert(c.before.begin(), c.before.end());
  std::vector<std::string> names = {"rec"};
  for (const auto& [name, bytes] : expected) {
    names.push_back(name);
    EXPECT_EQ(dir.read(name), bytes) << name;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(dir.names(), names);
}

const std::string kUsage =
    "KORVAT - dvb-s audio/video extractor - v0.3\n\n"
    "korvat [-i] input [audio] [video]\n\n"
    " -i        : ungueltige video-pakete mitkopieren\n"
    " -p        : Audiostream inklusive PES-Daten kopieren\n"
    "             (erzeugt eine MPP-Datei)\n"
    " -r        : beschaedigte Stellen ueberspringen\n"
    " -k        : wie -r, aber nur unbeschaedigte Pakete, ohne Ton-Reparatur\n\n"
    " input     : DVB-s Audio/Video Datei\n\n"
    " audio     : MP2-Audiodatei (optional)\n"
    " video     : M2V-Videodatei (optional)\n\n";

TEST(Split, CommandLineAndSetUp) {
  // Lead-in video, one audio PES packet, then the start of the video.
  const Bytes pes = pesPacket(0xC0, "", "\377\363abcd"), audio = "\377\363abcd", video = sequenceStart("xy");
  const Bytes rec = avPacket(1, 0, filler(6)) + avPacket(2, 0, pes) + avPacket(1, 0, video);
  const std::string loop = demuxLines({{0, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 1, 0}, {1, 0, 1, 0, 1, 0}}) + kEndOfInput;
  const std::string copied = demuxLines({{0, 0, 1, 0, 0, 0}, {1, 0, 1, 0, 0, 0}, {1, 0, 2, 0, 0, 0}}) + kEndOfInput;
  const std::string stripped = loop + kStripHeading + stripLines({{1, 0, 0, 0}}) + "\n" + kEndOfInput;
  const std::string missing = "error creating output file 'none/a'\n", taken = "error creating output file 'b'\n";
  const std::vector<Case> cases = {
      {"no arguments", {}, rec, kUsage, 1, {}},
      {"--help", {"rec", "--help"}, rec, kUsage, 0, {}},
      {"-h", {"-H", "rec"}, rec, kUsage, 0, {}},
      {"--version", {"--version"}, rec, "korvat " KORVAT_VERSION "\n", 0, {}},
      {"options alone", {"-p", "-I"}, rec, "zu wenig Parameter!\n", 1, {}},
      {"four names", {"rec", "a", "v", "w"}, rec, "zu viele Parameter!\n", 1, {}},
      // Standard input names no files to derive the outputs' names from.
      {"standard input, no output names",
       {"-r", "-", "a"},
       rec,
       "",
       1,
       {},
       {},
       "korvat: with the recording on standard input ('-'), name the audio and video files too:"
       " korvat [options] - audio video\n"},
      {"standard input as an output",
       {"rec", "-", "v"},
       rec,
       "",
       1,
       {},
       {},
       "korvat: '-' names standard input, where only the recording comes from;"
       " give the audio and video files names of their own\n"},
      {"default names", {"rec"}, rec, stripped, 0, {{"rec.m2v", video}, {"rec.mp2", audio}}},
      {"-P first", {"-P", "rec"}, rec, loop, 0, {{"rec.m2v", video}, {"rec.mp2", pes}}},
      {"unknown options", {"-x", "rec", "a.mp2", "--resync"}, rec, stripped, 0, {{"a.mp2", audio}, {"rec.m2v", video}}},
      {"-p with more letters", {"rec", "-pq", "a", "v"}, rec, loop, 0, {{"a", pes}, {"v", video}}},
      {"-i", {"-ifoo", "rec", "-p"}, rec, copied, 0, {{"rec.m2v", filler(6) + video}, {"rec.mp2", pes}}},
      {"missing input", {"missing"}, rec, "error opening input stream 'missing'\n", 2, {}},
      {"a directory as input", {"."}, rec, "error opening input stream '.'\n", 2, {}},
      {"video in a missing directory", {"rec", "a", "none/v"}, rec, "error creating output file 'none/v'\n", 2, {}},
      // A missing directory stops the run before the video file is made.
      {"audio in a missing directory, -p", {"rec", "none/a", "-p"}, rec, missing, 2, {}},
      {"audio in a missing directory", {"rec", "none/a"}, rec, missing, 2, {}},
      {"existing video", {"rec"}, rec, "error creating output file 'rec.m2v'\n", 2, {}, {{"rec.m2v", "old"}}},
      // A taken audio name stops the run before the video file is made.
      {"existing audio, -p", {"rec", "b", "-p"}, rec, taken, 2, {}, {{"b", "old"}}},
      {"existing audio", {"rec", "b", "v"}, rec, taken, 2, {}, {{"b", "old"}}},
  };
  for (const Case& c : cases) expectRun(c);
}

// What korvat ignores of a command line it says on standard error, before
// anything else; the run goes on as it always did.
TEST(Split, IgnoredOptionsAreSaid) {
  const Bytes rec = avPacket(2, 0, pesPacket(0xC0, "", "\377\363abcd")) + avPacket(1, 0, sequenceStart("xy"));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-x", "rec"}, "korvat: option '-x' is not known and was ignored (korvat knows -i, -p, -r, -k and -h)\n"},
      {{"--resync", "rec"},
       "korvat: option '--resync' is not known and was ignored (korvat knows -i, -p, -r, -k and -h)\n"},
      {{"-pr", "rec"},
       "korvat: option '-pr' was taken as '-p'; 'r' after it was ignored (give each option on its own)\n"},
      {{"-Rp", "rec"},
       "korvat: option '-Rp' was taken as '-R'; 'p' after it was ignored (give each option on its own)\n"},
      {{"-P", "-r", "rec"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    // The same run with the options as korvat takes them.
    std::vector<std::string> taken;
    for (const std::string& arg : c.args) {
      if (arg[0] != '-') {
        taken.push_back(arg);
      } else if (arg.size() > 1 && std::string("iprkhIPRKH").find(arg[1]) != std::string::npos) {
        taken.push_back(arg.substr(0, 2));
      }
    }
    TempDir said, plain;
    said.write("rec", rec);
    plain.write("rec", rec);
    const Outcome withWords = runKorvat(said, c.args), asTaken = runKorvat(plain, taken);
    EXPECT_EQ(withWords.err, c.err + asTaken.err);
    EXPECT_EQ(withWords.out, asTaken.out);
    EXPECT_EQ(withWords.status, asTaken.status);
    EXPECT_EQ(said.names(), plain.names());
  }
}

const Bytes kAudio = filler(10);
const Bytes kAudioPacket = avPacket(2, 0, kAudio);
const std::string kFirstAudioLine = demuxLines({{1, 0, 0, 0, 0, 0}});

Case loopCase(const char* name, const Bytes& recording, const std::string& out, int status, const Bytes& audio,
              const Bytes& video, const char* err = nullptr, const char* option = "-p") {
  return {name, {"rec", "-p", option}, recording, out, status, {{"rec.mp2", audio}, {"rec.m2v", video}}, {}, err};
}

// With -p the audio file holds exactly what the loop wrote.
TEST(Split, EveryWayTheLoopEnds) {
  const Bytes video = sequenceStart(filler(10, 'k')), bigAudio = filler(65535, 'q');
  const auto cut = [](const Bytes& bytes, std::size_t keep) { return bytes.substr(0, keep); };
  std::vector<Case> cases = {
      loopCase("worked run", kAudioPacket + prefixedVideo("zz" + video) + avPacket(3, 0, filler(5)),
               kFirstAudioLine + demuxLines({{1, 0, 1, 0, 1, 0}, {1, 0, 1, 0, 2, 0}}) + kEndOfInput, 0, kAudio, video),
      loopCase("empty recording", "", kReadWriteError, 2, "", "",
               "korvat: 'rec' held no byte: there is nothing to split\n"
               "korvat: this run made 'rec.m2v': empty\nkorvat: this run made 'rec.mp2': empty\n"),
      loopCase("garbage after the last packet", kAudioPacket + "Agarbage",
               kFirstAudioLine + "\ninvalid AVheader\n" + kReadWriteError, 2, kAudio, "",
               "korvat: this run made 'rec.m2v': empty\n"
               "korvat: this run made 'rec.mp2': 10 bytes, the audio in PES packets up to the damaged packet header "
               "at byte 18 of the input\n"
               "korvat: damaged packet header at byte 18; -r skips damaged stretches:\n"
               "korvat:   korvat -p -r rec rec-2.mp2 rec-2.m2v\n"),
      loopCase("audio cut short", cut(kAudioPacket + avPacket(2, 0, filler(100, 'm')), 18 + 8 + 40),
               kFirstAudioLine + kEndOfInput, 0, kAudio + filler(40, 'm'), ""),
      loopCase("video cut short after the start", avPacket(1, 0, video) + cut(avPacket(1, 0, filler(50)), 8 + 20),
               demuxLines({{0, 0, 1, 0, 0, 0}}) + kEndOfInput, 0, "", video + filler(20)),
      loopCase("video cut short before the start", cut(avPacket(1, 0, video), 12), kEndOfInput, 0, "", ""),
      loopCase("start code split across payloads", avPacket(1, 0, Bytes("xx\0\0", 4)) + avPacket(1, 0, "\1\xB3yy"),
               demuxLines({{0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 2, 0}}) + kEndOfInput, 0, "", ""),
      loopCase("-i copies from the first packet", avPacket(1, 0, "ab") + prefixedVideo("cde"),
               demuxLines({{0, 0, 1, 0, 0, 0}, {0, 0, 2, 0, 1, 0}}) + kEndOfInput, 0, "", "abcde", nullptr, "-i"),
      loopCase("prefix flag on a packet too short for it",
               avPacket(1, 0x10, "xy") + kAudioPacket + avPacket(1, 0x10, ""),
               demuxLines({{0, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 2, 0}}) + kEndOfInput, 0, kAudio, ""),
      loopCase("prefix only, before and after the start", prefixedVideo("") + avPacket(1, 0, video) + prefixedVideo(""),
               demuxLines({{0, 0, 0, 0, 2, 0}, {0, 0, 1, 0, 2, 0}, {0, 0, 2, 0, 3, 0}}) + kEndOfInput, 0, "", video),
      // -r counts a packet that nothing of was written as skipped.
      loopCase("-r, prefix only, before and after the start",
               prefixedVideo("") + avPacket(1, 0, video) + prefixedVideo(""),
               demuxLines({{0, 0, 0, 0, 2, 0}, {0, 0, 0, 0, 2, 0}, {0, 0, 0, 0, 3, 0}, {0, 0, 1, 0, 4, 0}}) +
                   kEndOfInput + summary(0, 0),
               0, "", video, nullptr, "-r"),
      loopCase("skipped packet past the end", avPacket(0, 0, "abc", 1000),
               demuxLines({{0, 0, 0, 0, 1, 0}}) + kEndOfInput, 0, "", ""),
      // -r: a video packet dropped whole counts as skipped once bytes after it are dropped too.
      loopCase(
          "-r, video cut at damage", avPacket(1, 0, video) + "ZZZZ" + prefixedVideo("") + avPacket(1, 0, filler(20)),
          demuxLines(
              {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 2, 0}, {0, 0, 0, 0, 4, 0}, {0, 0, 0, 0, 5, 0}}) +
              kEndOfInput + summary(1, 4),
          0, "", "", nullptr, "-r"),
      loopCase("kilobytes and empty audio", avPacket(2, 0, bigAudio) + avPacket(2, 0, ""),
               demuxLines({{1, 63, 0, 0, 0, 0}, {2, 63, 0, 0, 0, 0}}) + kEndOfInput, 0, bigAudio, ""),
  };
  for (std::size_t stray = 1; stray <= 7; ++stray) {
    cases.push_back(loopCase("stray bytes after the last packet", kAudioPacket + cut(kAudioPacket, stray),
                             kFirstAudioLine + kEndOfInput, 0, kAudio, ""));
  }
  for (const Case& c : cases) expectRun(c);
}

// A default run over one video packet and these audio payloads; `passOut` is
// what the stripping pass prints after its heading.
Case strippedCase(const char* name, const std::vector<Bytes>& payloads, const std::string& passOut,
                  const Bytes& audio) {
  Bytes recording = avPacket(1, 0, sequenceStart("v"));
  std::string out = demuxLines({{0, 0, 1, 0, 0, 0}});
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    recording += avPacket(2, 0, payloads[i]);
    bytes += payloads[i].size();
    out += demuxLines({{i + 1, bytes >> 10, 1, 0, 0, 0}});
  }
  return {name,      {"rec"},
          recording, out + kEndOfInput + kStripHeading + passOut,
          0,         {{"rec.m2v", sequenceStart("v")}, {"rec.mp2", audio}}};
}

Case withFile(Case c, const std::string& name, const Bytes& bytes) {
  c.after[name] = bytes;
  return c;
}

TEST(Split, StrippingPass) {
  const std::string end = "\n" + kEndOfInput, skipping = "\nskipping non-audio packet...\n";
  const Bytes noBody("\0\0\1\xC0\0\x02\x80\x80", 8);  // too short to hold its header
  const std::vector<Case> cases = {
      strippedCase("worked pass", {pesPacket(0xC0, "12345", Bytes("\0\021\377\363abcd", 8))},
                   stripLines({{1, 0, 0, 0}}) + end, "\377\363abcd"),
      strippedCase("header data lengths change",
                   {pesPacket(0xC0, "", "\377\361a"), pesPacket(0xC0, "12345", "bc"), pesPacket(0xC0, "12", "d")},
                   stripLines({{1, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 0}}) + end, "\377\361abcd"),
      strippedCase(
          "sync mid-payload after packets without one",
          {pesPacket(0xC0, "12345", filler(20)), pesPacket(0xC0, "", "xy\377\372z"), pesPacket(0xC0, "1", "w")},
          stripLines({{0, 0, 1, 0}, {1, 0, 1, 0}, {2, 0, 1, 0}}) + end, "\377\372zw"),
      // The buffer still holds 0xF5 from the longer first packet right after
      // the second one's closing 0xFF; neither that nor the next packet's
      // 0xF3 completes a sync.
      strippedCase("no sync across payloads",
                   {pesPacket(0xC0, "", "abcd\xF5" + filler(10)), pesPacket(0xC0, "", "abc\xFF"),
                    pesPacket(0xC0, "", "\xF3x"), pesPacket(0xC0, "", "\xFF\xF4zz")},
                   stripLines({{0, 0, 1, 0}, {0, 0, 2, 0}, {0, 0, 3, 0}, {1, 0, 3, 0}}) + end, "\xFF\xF4zz"),
      // An odd MPEG audio id is a track of its own; 0xBD holds no AC3 frame
      // here. The audio file's stream is the first MPEG audio one with a sync.
      withFile(
          strippedCase("non-audio stream ids",
                       {pesPacket(0xC1, "", "\xFF\xF1q"), pesPacket(0xBD, "1", "\xFF\xF1q"),
                        pesPacket(0xE0, "", "\xFF\xF2r"), pesPacket(0xC2, "", "s"), pesPacket(0xC0, "", "\xFF\xF1t")},
                       skipping + skipping + stripLines({{1, 0, 2, 0}, {2, 0, 2, 0}, {3, 0, 2, 0}}) + end,
                       "\xFF\xF2rs\xFF\xF1t"),
          "rec.c1.mp2", "\xFF\xF1q"),
      strippedCase("bodies too short for their header", {noBody, pesPacket(0xC0, "", "\xFF\xF1"), noBody},
                   stripLines({{0, 0, 1, 0}, {1, 0, 1, 0}, {2, 0, 1, 0}}) + end, "\xFF\xF1"),
      strippedCase("temporary file cut short",
                   {pesPacket(0xC0, "", "\377\361abc"), pesPacket(0xC0, "12345", "defgh").substr(0, 16)},
                   stripLines({{1, 0, 0, 0}, {2, 0, 0, 0}}) + end, "\377\361abcde"),
      strippedCase("stray bytes after the last packet", {pesPacket(0xC0, "", "\xFF\xF1"), Bytes("\0\0\1", 3)},
                   stripLines({{1, 0, 0, 0}}) + end, "\xFF\xF1"),
      strippedCase("non-audio packet cut short",
                   {pesPacket(0xC0, "", "\xFF\xF1"), pesPacket(0xBD, "", filler(10)).substr(0, 8)},
                   stripLines({{1, 0, 0, 0}}) + skipping + end, "\xFF\xF1"),
      strippedCase("sync in the last bytes of a payload",
                   {pesPacket(0xC0, "", "ab\xFF\xF1"), pesPacket(0xC0, "", "cd")},
                   stripLines({{1, 0, 0, 0}, {2, 0, 0, 0}}) + end,
                   "\xFF\xF1"
                   "cd"),
      strippedCase("no sync anywhere", {pesPacket(0xC0, "", "\377a\377\017\377")}, stripLines({{0, 0, 1, 0}}) + end,
                   ""),
      strippedCase("no audio at all", {}, "\n", ""),
  };
  for (const Case& c : cases) expectRun(c);

  // A packet without its start code ends the pass; the audio stays in the
  // temporary file, which is kept and named.
  TempDir dir;
  dir.write("rec", avPacket(2, 0, "garbage"));
  const Outcome run = runKorvat(dir, {"rec"});
  const std::string temp = dir.tempFile();
  EXPECT_EQ(run.out, demuxLines({{1, 0, 0, 0, 0, 0}}) + kEndOfInput + kStripHeading +
                         "\ninvalid packet header found !\n" + tempKept(temp));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.read(temp), "garbage");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{temp, "rec", "rec.m2v", "rec.mp2"}));
}

// Positions and counters are 64-bit: packets whose headers lie beyond 4 GiB
// are found and the progress line shows the true totals. The skipped
// payloads are holes, so the file costs almost no disk.
TEST(Split, RecordingsBeyondFourGibibytes) {
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
  const std::uint64_t count = skippedPackets, kb = skippedPackets * 65535 >> 10;
  const std::string last = demuxLines({{1, 0, 0, 0, count, kb}, {1, 0, 1, 0, count, kb}}) + kEndOfInput;
  ASSERT_GE(run.out.size(), last.size());
  EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir.read("rec.mp2"), kAudio);
  EXPECT_EQ(dir.read("rec.m2v"), sequenceStart("v"));
}

}  // namespace
}  // namespace korvat::test
