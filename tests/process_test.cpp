// Runs that need a process of their own: stopped half-way, at a terminal, on
// a full disk, as another user, and with faults injected into their system
// calls. korvat ends cleanly, says why, and keeps every byte it collected.
#include <gtest/gtest.h>

#ifdef _WIN32
TEST(ChildProcess, PosixOnly) {
  GTEST_SKIP() << "signals, terminals, limits, users and strace: the Linux build runs these";
}
#else

#include <csignal>
#include <filesystem>
#include <fstream>

#include "format/av_packet.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

namespace fs = std::filesystem;

// Enough that korvat's output fills the pipe and its buffers many times over.
struct LongRecording {
  Bytes video = pack::syntheticVideo(16 << 20, (8 << 20) / 960, 5);  // as long as the audio
  Bytes audio = pack::syntheticAudio(8 << 20, 5);
  Bytes pes;
  Bytes recording = packRecording(video, audio, {}, &pes);
};

const LongRecording& longRecording() {
  static const LongRecording source;
  return source;
}

const std::string kInLoop = " skipped\r";
const std::vector<std::string> kSplitNames = {"rec", "rec.m2v", "rec.mp2"};

TEST(Interrupts, StopAfterThePacketInHand) {
  const LongRecording& source = longRecording();
  for (const std::string* marker : {&kInLoop, &kStripHeading}) {
    for (const int signal : {SIGINT, SIGTERM}) {
      SCOPED_TRACE(*marker + std::to_string(signal));
      TempDir dir;
      dir.write("rec", source.recording);
      const Outcome run =
          runChild(dir, {"rec"}, {}, *marker, [signal](int korvat) { return kill(korvat, signal) == 0; });
      EXPECT_EQ(run.status, 130);
      const Bytes video = dir.read("rec.m2v"), audio = dir.read("rec.mp2");
      EXPECT_TRUE(isPrefix(video, source.video));
      EXPECT_TRUE(isPrefix(audio, source.audio));
      EXPECT_LT(audio.size(), source.audio.size());
      if (*marker == kInLoop) {
        // The audio collected so far is still stripped, and the temporary file removed.
        EXPECT_LT(video.size(), source.video.size());
        EXPECT_NE(run.out.find("\ninterrupted\n" + kStripHeading), std::string::npos);
        EXPECT_EQ(run.out.substr(run.out.size() - 2 - kEndOfInput.size()), "\r\n" + kEndOfInput);
        EXPECT_EQ(dir.names(), kSplitNames);
      } else {
        EXPECT_TRUE(video == source.video);
        const std::string kept = "\ninterrupted\n" + tempKept(dir.tempFile());
        EXPECT_EQ(run.out.substr(run.out.size() - kept.size()), kept);
        EXPECT_TRUE(dir.read(dir.tempFile()) == source.pes);
      }
    }
  }
  // With -r the video ends before the picture that the interrupt cut short
  // (its group's pictures may be numbered anew, so it is no prefix).
  TempDir dir;
  dir.write("rec", source.recording);
  const Outcome run = runChild(dir, {"-r", "rec"}, {}, kInLoop, [](int korvat) { return kill(korvat, SIGINT) == 0; });
  EXPECT_EQ(run.status, 130);
  const Bytes video = dir.read("rec.m2v");
  ASSERT_LT(video.size(), source.video.size());
  const Bytes next = source.video.substr(video.size(), 4);
  EXPECT_TRUE(next == Bytes("\0\0\1\0", 4) || next == Bytes("\0\0\1\xB3", 4) || next == Bytes("\0\0\1\xB8", 4))
      << "the video ends " << video.size() << " bytes in, inside a picture";
}

// What must not keep korvat from splitting the whole recording: signals
// ignored at start (nohup, a script's background job), a console reader that
// goes away (korvat | head), closed standard descriptors (which no file of
// korvat's may take, or it would receive the console text), and a link put
// in place of the temporary file (which is never opened by name again).
TEST(Interrupts, WhatDoesNotStopTheSplit) {
  TempDir dir;
  const auto linkInPlaceOfTemp = [&dir](int) {
    const fs::path temp = dir.path(dir.tempFile());
    fs::remove(temp);
    fs::create_symlink(dir.path("victim"), temp);
    return true;
  };
  const auto send = [](int signal) { return [signal](int korvat) { return kill(korvat, signal) == 0; }; };
  struct Case {
    int ignoredSignal;
    bool closedStdio;
    AtMarker atMarker;
  };
  const std::vector<Case> cases = {{SIGINT, false, send(SIGINT)},
                                   {SIGHUP, false, send(SIGHUP)},
                                   {0, false, [](int) { return false; }},
                                   {0, true, nullptr},
                                   {0, false, linkInPlaceOfTemp}};
  const TempDir traces;
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases.data());
    for (const std::string& name : dir.names()) fs::remove(dir.path(name));
    dir.write("rec", longRecording().recording);
    dir.write("victim", "not korvat's");
    ChildSetup setup;
    setup.ignoredSignal = c.ignoredSignal;
    if (c.closedStdio) setup.wrapper = withStdioClosed(traces.path("opens"));
    const Outcome run = runChild(dir, {"rec"}, setup, kInLoop, c.atMarker);
    if (c.closedStdio && hasStrace()) {
      // The run's own files, opened by relative names: the recording, its outputs, the temporary file.
      const std::string trace = traces.read("opens"), call = "openat(AT_FDCWD, \"";
      std::size_t files = 0;
      for (std::size_t at = 0; (at = trace.find(call, at)) != std::string::npos; at += call.size()) {
        if (trace[at + call.size()] == '/') continue;
        ++files;
        EXPECT_GT(std::atoi(&trace[trace.find(") = ", at) + 4]), 2);
      }
      EXPECT_EQ(files, 4u);
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.read("rec.m2v") == longRecording().video);
    EXPECT_TRUE(dir.read("rec.mp2") == longRecording().audio);
    EXPECT_EQ(dir.read("victim"), "not korvat's");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rec", "rec.m2v", "rec.mp2", "victim"}));
  }
}

// How far korvat has read its input, by what the OS says of its descriptors.
std::uint64_t readPosition(int pid, const std::string& input) {
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const fs::directory_entry& fd : fs::directory_iterator(fds, error)) {
    if (fs::read_symlink(fd.path(), error) != fs::path(input)) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd.path().filename().string());
    std::string key;
    std::uint64_t position = 0;
    while (info >> key >> position && key != "pos:") {
    }
    return position;
  }
  return UINT64_MAX;
}

// A recording cut short, or one that grows, while korvat reads it: korvat
// reads what is there when it gets there, and ends as on a file that had
// been that long from the start, in every mode: no crash, the same files,
// messages and status.
TEST(ChangingInput, CutShortOrGrownWhileRead) {
  // Small packets, and packets as large as the format allows, which go from
  // the read-ahead straight to the files.
  pack::PackOptions large;
  large.video = {16000, 65000};
  large.audio = {9000, 30000};
  const LongRecording& small = longRecording();
  // Lines for tiny packets of another stream first, many times what a pipe
  // and korvat's buffers hold: its output, unread, stops it before it gets to
  // the large packets, which print few lines.
  Bytes lines;
  for (int i = 0; i < 20000; ++i) lines += avPacket(9, 0, "x");
  const std::vector<Bytes> recordings = {small.recording, lines + packRecording(small.video, small.audio, large)};
  const std::vector<std::vector<std::string> > modes = {{}, {"-p"}, {"-r"}, {"-k"}, {"-i"}, {"-r", "-p"}};
  for (const Bytes& whole : recordings) {
    // Inside a packet, and far past what korvat reads before its output, unread, stops it.
    const std::size_t cut = whole.size() / 2 + 1001;
    const Bytes part = whole.substr(0, cut);
    for (const bool grows : {false, true}) {
      for (const std::vector<std::string>& mode : modes) {
        std::vector<std::string> args = mode;
        args.push_back("rec");
        SCOPED_TRACE((grows ? "grows, " : "cut short, ") + ::testing::PrintToString(mode) +
                     (&whole == &recordings.front() ? ", small packets" : ", large packets"));
        TempDir settled;
        settled.write("rec", grows ? whole : part);
        const Outcome expected = runChild(settled, args);

        TempDir dir;
        dir.write("rec", grows ? part : whole);
        std::uint64_t readBefore = UINT64_MAX, readAfter = UINT64_MAX;
        const Outcome run = runChild(dir, args, {}, kInLoop, [&](int korvat) {
          readBefore = readPosition(korvat, dir.path("rec"));
          if (grows) {
            std::ofstream(dir.path("rec"), std::ios::binary | std::ios::app)
                .write(whole.data() + cut, static_cast<std::streamsize>(whole.size() - cut));
          } else {
            fs::resize_file(dir.path("rec"), cut);
          }
          readAfter = readPosition(korvat, dir.path("rec"));
          return true;
        });
        // korvat was far from the change while the file changed, held by its unread output.
        ASSERT_LE(readBefore, readAfter);
        ASSERT_LT(readAfter, cut / 2) << "korvat read too far while the file changed for the test to hold";
        EXPECT_EQ(run.status, expected.status);
        EXPECT_EQ(run.out, expected.out);
        EXPECT_EQ(run.err, expected.err);
        EXPECT_EQ(dir.names(), settled.names());
        for (const std::string& name : settled.names()) EXPECT_TRUE(dir.read(name) == settled.read(name)) << name;
      }
    }
  }
}

// Root ignores permissions, so the run is made as an unprivileged user.
TEST(SetUp, ReadOnlyCurrentDirectory) {
  TempDir dir;
  dir.write("rec", avPacket(2, 0, pesPacket(0xC0, "", "\xFF\xF1")));
  fs::create_directory(dir.path("out"));
  fs::permissions(dir.path("out"), fs::perms::all);
  fs::permissions(dir.dir(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ChildSetup setup;
  setup.unprivileged = true;
  const Outcome run = runChild(dir, {"rec", "out/a.mp2", "out/v.m2v"}, setup);
  EXPECT_EQ(run.out, "error creating temp file !\n");
  EXPECT_EQ(run.err, "korvat: cannot create the temporary file in the current directory: it is not writable\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"out", "rec"}));
  // No empty output is left that would stop the next run.
  EXPECT_TRUE(fs::is_empty(dir.path("out")));
}

// What a terminal shows: the text after a progress line's "\r" paints over it.
std::string screen(const std::string& out) {
  std::string shown, row;
  bool overpaint = false;
  for (const char c : out) {
    if (c == '\n') shown += row + c, row.clear();
    if (c == '\r' || c == '\n') {
      overpaint = c == '\r';
    } else {
      if (overpaint) row.clear(), overpaint = false;
      row += c;
    }
  }
  return shown + row;
}

// At a terminal the progress line is repainted now and then, but the line
// before each message and the last one of each pass are the true ones.
TEST(Console, TerminalShowsTheTrueLastLines) {
  TempDir dir;
  dir.write("rec", readSample("sample.av"));
  const Outcome redirected = runKorvat(dir, {"rec", "a1", "v1"});
  ChildSetup setup;
  setup.onTerminal = true;
  const Outcome terminal = runChild(dir, {"rec", "a2", "v2"}, setup);
  EXPECT_EQ(terminal.status, 0);
  // Only there each line also says how much of its pass's input was read.
  const std::string shown = screen(terminal.out);
  std::string withoutPercentages = shown;
  for (std::size_t at; (at = withoutPercentages.find("%\n")) != std::string::npos;) {
    const std::size_t begin = withoutPercentages.rfind("  ", at);
    withoutPercentages.erase(begin, at + 1 - begin);
  }
  EXPECT_EQ(withoutPercentages, screen(redirected.out));
  EXPECT_NE(shown.find(" skipped  100%\nend of input file reached"), std::string::npos);
  EXPECT_NE(shown.find(" skipped packets  100%\n\nend of input file reached"), std::string::npos);
  EXPECT_EQ(redirected.out.find('%'), std::string::npos);
  EXPECT_LT(terminal.out.size(), redirected.out.size() / 2);
}

// Full disks: a file-size limit swept across the whole size of the outputs
// of a real recording. Whatever the limit, a run that could not write
// everything names the file that failed and ends with status 2, every output
// holds a prefix of what an unlimited run writes, and no audio is lost
// without a word.
TEST(WriteFailures, FileSizeLimitSweep) {
  Bytes pes;
  const Bytes& audio = sourceAudio();
  const Bytes recording = packRecording(sourceVideo(), audio, {}, &pes);
  TempDir unlimited;
  unlimited.write("rec", recording);
  ASSERT_EQ(runKorvat(unlimited, {"-i", "-p", "rec"}).status, 0);
  const Bytes video = unlimited.read("rec.m2v");
  const std::uint64_t largest = std::max(video.size(), pes.size());

  // With -p and -i every packet lands in a file as it comes; the default mode
  // from the first sequence header on, through its two passes.
  for (std::uint64_t limit = 1; limit <= largest + 1; limit += 4099) {
    for (const bool stripped : {false, true}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (stripped ? " default mode" : " -p"));
      TempDir dir;
      dir.write("rec", recording);
      ChildSetup setup;
      setup.fileSizeLimit = limit;
      const Outcome run = runChild(
          dir, stripped ? std::vector<std::string>{"rec"} : std::vector<std::string>{"-i", "-p", "rec"}, setup);
      const Bytes videoOut = dir.read("rec.m2v"), audioOut = dir.read("rec.mp2");
      const std::string temp = dir.tempFile();
      const bool fits = limit >= std::max(stripped ? sourceVideo().size() : video.size(), pes.size());
      EXPECT_EQ(run.status, fits ? 0 : 2);
      // The file that failed is the one the limit cut off.
      const char* failed =
          videoOut.size() == limit ? "\nerror writing to video-file\n" : "\nerror writing to audio-file\n";
      EXPECT_EQ(run.out.find(failed) != std::string::npos, !fits);

      EXPECT_TRUE(isPrefix(videoOut, stripped ? sourceVideo() : video));
      EXPECT_TRUE(isPrefix(audioOut, stripped ? audio : pes));
      if (!temp.empty()) {
        EXPECT_NE(run.out.find(tempKept(temp)), std::string::npos);
        EXPECT_TRUE(isPrefix(dir.read(temp), pes));
      } else {
        EXPECT_EQ(dir.names(), kSplitNames);
      }
    }
  }
}

// A track's file that the disk stops taking midway: standard error says so,
// the run fails, and the temporary file, which still holds the track, is kept.
TEST(WriteFailures, TrackFileFails) {
  if (!hasStrace()) GTEST_SKIP() << "no strace to inject faults with";
  Bytes recording = prefixedVideo(sequenceStart(Bytes("\0\0\1\0", 4)), 90000);
  const Bytes ac3 = syntheticAc3(1 << 20, 1);  // more than a file's buffer holds
  for (std::size_t at = 0; at < ac3.size(); at += 32768)
    recording += avPacket(2, 0, pesPacket(0xBD, "", ac3.substr(at, 32768)));
  TempDir dir;
  dir.write("rec", recording);
  ChildSetup setup;
  setup.wrapper = injecting(dir.path("a.ac3"), "write,writev:error=ENOSPC");
  const Outcome run = runChild(dir, {"rec", "a.mp2", "v.m2v"}, setup);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("korvat: error writing the audio track file 'a.ac3'\n"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find(tempKept(dir.tempFile())), std::string::npos) << run.out;
}

// Errors the OS reports where a plain run cannot provoke them, injected: a
// read error where the input would end is no end, a failure reported only
// when an output is closed is a failed write, and an interrupt that comes
// after the loop's last look (while the input is closed) stops the pass.
// With -r a cut writes new numbers over pictures already in the video file:
// a write there that fails is a failed write of the video like any other.
TEST(WriteFailures, NumbersWrittenOverTheVideoFail) {
  if (!hasStrace()) GTEST_SKIP() << "no strace to inject faults with";
  const Bytes video = pack::syntheticVideo(2 << 20, 120, 6);  // open groups of 12, 17 KiB a picture
  Bytes recording = packRecording(video, pack::syntheticAudio(120000, 6), {});
  // Bytes lost in the third open group's B-picture numbered 3: the P-picture
  // numbered 5 before it, in the file already, is numbered 3 anew.
  const Bytes bPicture3("\0\0\1\0\0\xD8\xFF\xF8", 8);
  const std::size_t inVideo = video.find(bPicture3, video.find(bPicture3, video.find(bPicture3) + 1) + 1) + 8000;
  std::size_t seen = 0, lostAt = 0;
  forEachPacket(recording, [&](const PacketView& p) {
    const std::size_t prefix = (p.flags & AVheader::kVideoPrefixFlag) != 0 ? AVheader::kVideoPrefixSize : 0;
    if (p.streamId != AVheader::kVideoStream || lostAt != 0) return;
    if (inVideo < seen + p.length - prefix) lostAt = p.offset + AVheader::kSize + prefix + (inVideo - seen);
    seen += p.length - prefix;
  });
  ASSERT_NE(lostAt, 0u);
  recording.erase(lostAt, 100);
  // Past the look at the file's position when it is opened: the seek back to
  // the picture, and the write of its number.
  for (const char* fault : {"lseek:error=EIO:when=2", "write:error=ENOSPC:when=1"}) {
    SCOPED_TRACE(fault);
    TempDir dir;
    dir.write("rec", recording);
    ChildSetup setup;
    setup.wrapper = injecting(dir.path("v.m2v"), fault);
    const Outcome run = runChild(dir, {"-r", "rec", "a.mp2", "v.m2v"}, setup);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("\nerror writing to video-file\n" + kReadWriteError + "skipped 1 damaged stretches of "),
              std::string::npos)
        << run.out.substr(run.out.size() - 200);
    EXPECT_NE(run.err.find("the video up to the failed write to the video file"), std::string::npos) << run.err;
  }
}

TEST(WriteFailures, InjectedFaults) {
  if (!hasStrace()) GTEST_SKIP() << "no strace to inject faults with";
  // Time stamps that would give a delay, were the audio written.
  const Bytes pes = pesPacket(0xC0, pack::ptsField(90000), "\xFF\xF1");
  const Bytes small = prefixedVideo(sequenceStart(Bytes("\0\0\1\0", 4)), 90000) + avPacket(2, 0, pes);
  // A video packet whose prefix reaches past the first 256 KiB read ahead.
  Bytes straddling = avPacket(3, 0, filler(65535)) + avPacket(3, 0, filler(65535)) + avPacket(3, 0, filler(65535));
  straddling += avPacket(3, 0, filler((1 << 18) - 2 - straddling.size() - 16)) + prefixedVideo(sequenceStart("v"));
  // Garbage after packet 20: -r's search for the next header reads past it
  // (the third read), then looks ahead at that packet again (the fourth).
  pack::PackOptions garbage;
  garbage.damage.garbageAfter = 20;
  garbage.damage.garbageBytes = 300000;
  const Bytes damaged = packRecording(sourceVideo(), sourceAudio(), garbage);
  // The same in the audio, for the stripping pass; the progress lines after it
  // hold korvat in the loop until its temporary file has the name strace watches.
  Bytes garbledAudio = small;
  for (int i = 0; i < 5; ++i) garbledAudio += avPacket(2, 0, filler(65000));
  for (int i = 0; i < 3; ++i) garbledAudio += avPacket(2, 0, pes);
  for (int i = 0; i < 3000; ++i) garbledAudio += avPacket(3, 0, "x");
  const std::string traced = "kvt-traced";
  struct Case {
    std::vector<std::string> options;
    std::string file, fault, outEnd;
    int status = 2;
    Bytes recording = {};
  };
  const std::string outputFailed = "\nerror writing to output file !\n", noDamage = summary(0, 0);
  // A single failed write of the video (the sample's outgrows the file's buffer) ends the run, with -r too.
  const std::string videoFailed = "\nerror writing to video-file\n" + kReadWriteError;
  const Bytes& sample = readSample("sample.av");
  // Payloads that go from the read-ahead straight to the files: a write of
  // them fails when the input reads on, and is told once all the same.
  pack::PackOptions large;
  large.video = {16000, 65000};
  large.audio = {9000, 30000};
  const Bytes largePackets =
      packRecording(pack::syntheticVideo(2 << 20, 200, 4), pack::syntheticAudio(1 << 20, 4), large);
  const std::vector<Case> cases = {
      {{"-p"}, "rec", "read:error=EIO:when=2+", kReadWriteError},
      {{"-p", "-r"}, "rec", "read:error=EIO:when=2+", kReadWriteError + noDamage},
      {{"-p"}, "rec", "read:error=EIO:when=2", kReadWriteError, 2, straddling},
      {{"-p", "-r"}, "rec", "read:error=EIO:when=2", kReadWriteError + noDamage, 2, straddling},
      {{"-p", "-r"}, "rec", "read:error=EIO:when=3", kReadWriteError + noDamage, 2, damaged},
      {{"-p", "-r"}, "rec", "read:error=EIO:when=4", kReadWriteError + noDamage, 2, damaged},
      {{"-p"}, "v.m2v", "close:error=EIO", "\nerror writing to video-file\n" + kReadWriteError},
      {{"-p"}, "a.mp2", "close:error=EIO", "\nerror writing to audio-file\n" + kReadWriteError},
      {{"-p"}, "v.m2v", "write,writev:error=ENOSPC:when=1", videoFailed, 2, sample},
      {{"-p", "-r"}, "v.m2v", "write,writev:error=ENOSPC:when=1", videoFailed + noDamage, 2, sample},
      {{"-p"}, "v.m2v", "write,writev:error=ENOSPC:when=2", videoFailed, 2, largePackets},
      {{"-p"},
       "a.mp2",
       "write,writev:error=ENOSPC:when=2",
       "\nerror writing to audio-file\n" + kReadWriteError,
       2,
       largePackets},
      {{}, "a.mp2", "close:error=EIO", "\n" + outputFailed},
      {{}, "a.mp2", "write,writev:error=ENOSPC", kStripHeading + outputFailed},
      {{}, "rec", "close:signal=INT", kStripHeading + "\ninterrupted\n", 130},
      {{}, "", "unlink:error=EBUSY", kEndOfInput, 0},
      {{"-r"}, traced, "read:error=EIO:when=2", kReadWriteError, 2, garbledAudio},
      {{}, traced, "lseek:error=EIO", kStripHeading + kReadWriteError, 2, garbledAudio},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.fault);
    TempDir dir;
    const Bytes& recording = c.recording.empty() ? small : c.recording;
    dir.write("rec", recording);
    ChildSetup setup;
    setup.wrapper = injecting(c.file.empty() ? "" : dir.path(c.file), c.fault);
    std::vector<std::string> args = {"rec", "a.mp2", "v.m2v"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    // The temporary file has no name known in advance: it takes one while korvat is in the loop.
    std::string temp;
    const Outcome run = runChild(dir, args, setup, kInLoop, [&](int) {
      if (c.file == traced) temp = dir.tempFile(), fs::rename(dir.path(temp), dir.path(traced));
      return true;
    });
    if (c.file == traced) fs::rename(dir.path(traced), dir.path(temp));
    EXPECT_EQ(run.status, c.status);
    temp = dir.tempFile();
    // A temporary file that cannot be removed is named on standard error.
    const bool named = !temp.empty() && run.err.find(temp + "' could not be removed") != std::string::npos;
    const std::string end = c.outEnd + (temp.empty() || named ? "" : tempKept(temp));
    ASSERT_GE(run.out.size(), end.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end);
    // A failed write is told once.
    const std::size_t told = run.out.find("\nerror writing to ");
    EXPECT_EQ(run.out.find("\nerror writing to ", told == std::string::npos ? told : told + 1), std::string::npos);
    Bytes payloads;  // what the loop writes to the temporary file: every audio packet's
    forEachPacket(recording, [&](const PacketView& p) {
      payloads += p.streamId == 2 ? recording.substr(p.offset + 8, p.length) : "";
    });
    EXPECT_TRUE(temp.empty() || dir.read(temp) == payloads);
    EXPECT_EQ(dir.names().size(), temp.empty() ? 3u : 4u);
    // No word of a delay for audio that never reached its file, nor of damage.
    EXPECT_EQ(run.err.find("audio delay: +"), c.status == 0 ? run.err.find("audio delay: +0 ms") : std::string::npos);
    EXPECT_EQ(run.err.find("damaged"), std::string::npos);
    EXPECT_EQ(named, c.fault.rfind("unlink", 0) == 0);
  }
}

}  // namespace
}  // namespace korvat::test
#endif
