// Runs that fail: standard error says why a file could not be opened or made,
// names every file the run made with what it holds, and after a damaged header
// offers a command that goes on as given. No file that was there is touched.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>

#include "tests/harness.h"

namespace korvat::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, Bytes>;

// The line that names a file the run made, its size as it lies in `dir`.
std::string made(const TempDir& dir, const std::string& name, const std::string& holds) {
  const std::size_t size = dir.read(name).size();
  return "korvat: this run made '" + name + "': " + (size == 0 ? "empty" : std::to_string(size) + " bytes, " + holds) +
         "\n";
}

const std::string kExists = "it exists already; korvat never writes over a file\n";
const std::string kExistsEmpty =
    "it exists already and is empty, likely left by a run that failed; korvat never writes over a file\n";

TEST(FailedRun, SaysWhyAFileCannotBeOpened) {
  const Bytes rec = avPacket(2, 0,
                             pesPacket(0xC0, "",
                                       "\xFF\xF1"
                                       "ab")) +
                    avPacket(1, 0, sequenceStart("v"));
  const struct {
    std::vector<std::string> args;
    Files before;  // laid down first, never touched; "/" makes a directory
    std::string err;
    std::vector<std::string> names;  // besides "rec" and those before
  } cases[] = {
      {{"rec"}, {{"rec.mp2", "old"}}, "korvat: cannot create 'rec.mp2': " + kExists, {}},
      {{"rec"}, {{"rec.m2v", ""}}, "korvat: cannot create 'rec.m2v': " + kExistsEmpty, {}},
      {{"-p", "rec", "a", "v"}, {{"a", ""}, {"v", "x"}}, "korvat: cannot create 'v': " + kExists, {}},
      {{"rec", "a", "sub"}, {{"sub", "/"}}, "korvat: cannot create 'sub': it is a directory\n", {}},
      {{"rec", "x", "x"}, {}, "korvat: cannot create 'x': it is the video file's name too\n", {}},
      {{"rec", "./x", "x"}, {}, "korvat: cannot create './x': it is the video file's name too\n", {}},
      {{"rec", "none/a"}, {}, "korvat: cannot create 'none/a': its directory does not exist\n", {}},
      {{"missing"}, {}, "korvat: cannot read 'missing': it does not exist\n", {}},
      {{"sub"}, {{"sub", "/"}}, "korvat: cannot read 'sub': it is a directory\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    dir.write("rec", rec);
    std::vector<std::string> names = c.names;
    names.push_back("rec");
    for (const auto& [name, bytes] : c.before) {
      if (bytes == "/") {
        fs::create_directory(dir.path(name));
      } else {
        dir.write(name, bytes);
      }
      names.push_back(name);
    }
    const Outcome run = runKorvat(dir, c.args);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind("error ", 0), 0u) << run.out;
    for (const auto& [name, bytes] : c.before) {
      if (bytes != "/") {
        EXPECT_EQ(dir.read(name), bytes) << name;
      }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(dir.names(), names);
  }
}

Files contents(const TempDir& dir) {
  Files files;
  for (const std::string& name : dir.names()) files[name] = dir.read(name);
  return files;
}

// Words as a POSIX shell splits them (a Windows shell's double quotes too).
std::vector<std::string> shellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'' || c == '"') {
      const std::size_t end = line.find(c, i + 1);
      word += line.substr(i + 1, end - i - 1);
      i = end;
    } else {
      word += c == '\\' ? line[++i] : c;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

#ifdef _WIN32
const std::string kQuoted = "\"it's rec\" \"a b-3\" v-3";
#else
const std::string kQuoted = "'it'\\''s rec' 'a b-3' v-3";
#endif

// A real recording with junk where a packet header should be: a plain run
// stops there, and the command it offers splits it all with -r.
TEST(FailedRun, TheCommandOfferedRunsAsGiven) {
  pack::PackOptions withTrack;
  withTrack.tracks = {{0xBD, syntheticAc3(40000, 7)}};
  const Bytes whole = packRecording(sourceVideo(), sourceAudio(), withTrack);
  std::size_t damageAt = 0;
  forEachPacket(whole, [&](const PacketView& packet) {
    if (damageAt == 0 && packet.offset > whole.size() / 3) damageAt = packet.offset;
  });
  const Bytes damaged = whole.substr(0, damageAt) + "JUNKJUNK" + whole.substr(damageAt);
  const std::string at = " up to the damaged packet header at byte " + std::to_string(damageAt) + " of the input";
  const struct {
    std::vector<std::string> args;
    std::string input;
    Files before;
    std::string command;
    std::vector<std::string> made;  // in the order named, with what each holds
  } cases[] = {
      // A track's file counts: its name in the command must be free too.
      {{"rec"},
       "rec",
       {{"rec-2.ac3", "x"}},
       "korvat -r rec rec-3.mp2 rec-3.m2v",
       {"rec.m2v", "the video", "rec.mp2", "the audio", "rec.ac3", "audio track bd"}},
      {{"-p", "-i", "it's rec", "a b", "v"},
       "it's rec",
       {{"a b-2", ""}},
       "korvat -i -p -r " + kQuoted,
       {"v", "the video", "a b", "the audio in PES packets"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    TempDir dir, fresh;
    dir.write(c.input, damaged);
    fresh.write(c.input, damaged);
    for (const auto& [name, bytes] : c.before) dir.write(name, bytes);
    const Outcome failed = runKorvat(dir, c.args);
    EXPECT_EQ(failed.status, 2);
    std::string told;
    for (std::size_t i = 0; i < c.made.size(); i += 2) told += made(dir, c.made[i], c.made[i + 1] + at);
    const std::string hint = "korvat: damaged packet header at byte " + std::to_string(damageAt) +
                             "; -r skips damaged stretches:\nkorvat:   ";
    EXPECT_NE(failed.err.find(told + hint + c.command + "\n"), std::string::npos) << failed.err;
    const std::size_t commandAt = failed.err.rfind(hint);
    ASSERT_NE(commandAt, std::string::npos);
    const std::string line = failed.err.substr(commandAt + hint.size());
    std::vector<std::string> words = shellWords(line.substr(0, line.find('\n')));
    ASSERT_GE(words.size(), 2u);
    EXPECT_EQ(words[0], "korvat");
    words.erase(words.begin());

    // What the failed run left stays as it was, beside what a fresh -r split writes.
    Files expected = contents(dir);
    const Outcome goOn = runKorvat(dir, words), asFresh = runKorvat(fresh, words);
    EXPECT_EQ(goOn.status, 0) << goOn.err;
    EXPECT_EQ(goOn.out, asFresh.out);
    const Files written = contents(fresh);
    expected.insert(written.begin(), written.end());
    EXPECT_TRUE(contents(dir) == expected);
  }
}

#ifndef _WIN32
const std::string kInLoop = " skipped\r";

TEST(FailedRun, NamesWhatAnInterruptOrAFailedWriteLeft) {
  // The stripping pass must print far more after its heading than a pipe and
  // one read of it hold, or it may end before the interrupt reaches it.
  const Bytes recording = packRecording(pack::syntheticVideo(4 << 20, 500, 3), pack::syntheticAudio(16 << 20, 3), {});
  // In the loop, and in the stripping pass, which keeps the temporary file.
  for (const std::string* marker : {&kInLoop, &kStripHeading}) {
    TempDir dir;
    dir.write("rec", recording);
    const Outcome stopped = runChild(dir, {"rec"}, {}, *marker, [](int korvat) { return kill(korvat, SIGINT) == 0; });
    EXPECT_EQ(stopped.status, 130);
    const bool inLoop = marker == &kInLoop;
    const std::string temp = kCurrentDirPrefix + dir.tempFile();
    const std::string told =
        made(dir, "rec.m2v", inLoop ? "the video up to the interrupt" : "the video to the end of the input") +
        made(dir, "rec.mp2", "the audio up to the interrupt") +
        (inLoop ? "" : made(dir, temp, "the audio in PES packets to the end of the input"));
    EXPECT_NE(stopped.err.find(told), std::string::npos) << stopped.err;
  }

  TempDir full;
  full.write("rec", recording);
  ChildSetup limited;
  limited.fileSizeLimit = 5000;
  const Outcome cut = runChild(full, {"-p", "-i", "rec"}, limited);
  EXPECT_EQ(cut.status, 2);
  // A file the limit cut off ends at its own failed write, the other where the loop stopped.
  const bool videoCut = full.read("rec.m2v").size() == 5000, audioCut = full.read("rec.mp2").size() == 5000;
  const std::string first = cut.out.find("error writing to video-file") != std::string::npos ? "video" : "audio";
  const auto write = [&](bool own, const std::string& file) {
    return " up to the failed write to the " + (own ? file : first) + " file";
  };
  EXPECT_TRUE(videoCut || audioCut);
  EXPECT_NE(cut.err.find(made(full, "rec.m2v", "the video" + write(videoCut, "video")) +
                         made(full, "rec.mp2", "the audio in PES packets" + write(audioCut, "audio"))),
            std::string::npos)
      << cut.err;
}

// Root ignores permissions, so the runs are made as an unprivileged user.
TEST(FailedRun, SaysWhatPermissionsRefuse) {
  TempDir dir;
  dir.write("rec", avPacket(1, 0, sequenceStart("v")));
  dir.write("locked", "");
  fs::create_directory(dir.path("out"));
  fs::permissions(dir.path("out"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  fs::permissions(dir.path("locked"), fs::perms::none);
  ChildSetup setup;
  setup.unprivileged = true;
  const Outcome unwritable = runChild(dir, {"rec", "out/a", "out/v"}, setup);
  EXPECT_EQ(unwritable.err, "korvat: cannot create 'out/v': its directory is not writable\n");
  const Outcome unreadable = runChild(dir, {"locked", "a", "v"}, setup);
  EXPECT_EQ(unreadable.err, "korvat: cannot read 'locked': it is not readable\n");
  EXPECT_EQ(unwritable.status + unreadable.status, 4);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"locked", "out", "rec"}));
}
#endif

}  // namespace
}  // namespace korvat::test
