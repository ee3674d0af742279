// A recording that comes through a pipe, read forward only, splits as the
// same bytes do from a file: the outputs, the console text, the status.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "tests/harness.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvat::test {
namespace {

constexpr std::size_t kMiB = 1 << 20;

Bytes undamaged() {
  pack::PackOptions options;
  options.spanPercent = 50;
  return packRecording(sourceVideo(), sourceAudio(), options);
}

struct StrayHeader {
  std::size_t at;  // in the garbage
  std::uint16_t length;
};

// A stretch of garbage after the 40th packet, with packet headers in it;
// `at` is set to where it begins.
Bytes withGarbage(std::size_t bytes, const std::vector<StrayHeader>& headers, std::size_t* at = nullptr) {
  pack::PackOptions options;
  options.spanPercent = 50;
  options.damage.garbageAfter = 40;
  options.damage.garbageBytes = bytes;
  Bytes damaged = packRecording(sourceVideo(), sourceAudio(), options);
  const Bytes plain = undamaged();
  std::size_t start = 0;
  while (damaged[start] == plain[start]) ++start;
  for (const StrayHeader& stray : headers) {
    const Bytes header =
        Bytes("AV\2\0\0\0", 6) + static_cast<char>(stray.length >> 8) + static_cast<char>(stray.length & 0xFF);
    damaged.replace(start + stray.at, header.size(), header);
  }
  if (at) *at = start;
  return damaged;
}

// Longer than a search for the next packet looks ahead, with headers whose
// packets end just inside and just past that reach.
Bytes longGarbage() {
  return withGarbage(2 * kMiB + 3000, {{kMiB - 60000, 50000}, {kMiB - 20000, 30000}, {2 * kMiB - 100, 40}});
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& names) {
  args.insert(args.end(), names.begin(), names.end());
  return args;
}

void expectSameFiles(const TempDir& fromFile, const TempDir& fromPipe) {
  std::vector<std::string> names = fromFile.names();
  names.erase(std::find(names.begin(), names.end(), "rec"));
  EXPECT_EQ(fromPipe.names(), names);
  for (const std::string& name : names) EXPECT_TRUE(fromPipe.read(name) == fromFile.read(name)) << name;
}

TEST(Pipe, SplitsAsTheFileDoes) {
  const Bytes clean = undamaged();
  pack::PackOptions damagedOptions;
  damagedOptions.spanPercent = 50;
  damagedOptions.damage = {5, 30, 17, 200, 100, 333, {}};
  // Packets as large as the format allows, which go from the read-ahead
  // straight to the files, with other streams' to skip between.
  pack::PackOptions largeOptions;
  largeOptions.video = {16000, 65000};
  largeOptions.audio = {9000, 30000};
  largeOptions.other = {20000, 65000};
  largeOptions.otherPercent = 20;
  const struct {
    const char* name;
    Bytes recording;
    int plainStatus;  // without -r or -k
  } recordings[] = {
      {"undamaged", clean, 0},
      {"damaged", packRecording(sourceVideo(), sourceAudio(), damagedOptions), 2},
      {"a stretch of garbage longer than a search looks", longGarbage(), 2},
      {"cut off inside a packet", clean.substr(0, clean.size() - 700), 0},
      {"cut off inside a packet of another stream", clean + avPacket(9, 0, filler(3000)).substr(0, 1000), 0},
      {"empty", "", 2},
      {"large packets",
       packRecording(pack::syntheticVideo(4 * kMiB, 2 * kMiB / 960, 3), pack::syntheticAudio(2 * kMiB, 3),
                     largeOptions),
       0},
  };
  const std::vector<std::vector<std::string>> modes = {{}, {"-p"}, {"-r"}, {"-k"}, {"-r", "-p"}, {"-i"}};
  for (const auto& recording : recordings) {
    for (const auto& mode : modes) {
      SCOPED_TRACE(std::string(recording.name) + " with '" + (mode.empty() ? "" : mode[0]) +
                   (mode.size() > 1 ? " " + mode[1] : "") + "'");
      TempDir fromFile, fromPipe;
      fromFile.write("rec", recording.recording);
      const Outcome file = runKorvat(fromFile, with(mode, {"rec", "a", "v"}));
      const Outcome pipe = runKorvatOnPipe(fromPipe, with(mode, {"-", "a", "v"}), recording.recording);
      EXPECT_EQ(pipe.status, file.status);
      EXPECT_EQ(pipe.out, file.out);
      // A failed run's words name the input, and tell how to give it again.
      if (file.status == 0) {
        EXPECT_EQ(pipe.err, file.err);
      }
      expectSameFiles(fromFile, fromPipe);
      const bool skips = !mode.empty() && (mode[0] == "-r" || mode[0] == "-k");
      if (recording.recording.empty()) {
        EXPECT_EQ(file.status, 2);
      } else {
        EXPECT_EQ(file.status, skips ? 0 : recording.plainStatus);
      }
    }
  }
}

// Garbage is one stretch, however many steps the search takes over it, also
// where it holds a header whose packet reaches past the search and past the
// packet after the garbage.
TEST(Pipe, ALongDamagedStretchIsOneStretch) {
  const struct {
    std::size_t bytes;
    std::vector<StrayHeader> headers;
  } cases[] = {
      {2 * kMiB + 3000, {}},
      {kMiB + 3000, {{kMiB - 1000, 65000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    TempDir dir;
    const Outcome run = runKorvatOnPipe(dir, {"-k", "-", "a", "v"}, withGarbage(c.bytes, c.headers));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(summary(1, c.bytes)), std::string::npos) << run.out.substr(run.out.size() - 200);
  }
}

#ifndef _WIN32
// Standard input as another program leaves it: a file it read the start of,
// a directory.
TEST(Pipe, StandardInputAsOthersLeaveIt) {
  const Bytes recording = undamaged();
  TempDir dir, plain;
  plain.write("rec", recording);
  dir.write("rec", "16 bytes before." + recording);
  const Outcome fromFile = runKorvat(plain, {"rec", "a", "v"});
  {
    const int file = open(dir.path("rec").c_str(), O_RDONLY);
    char before[16];
    ASSERT_EQ(read(file, before, sizeof before), 16);
    const int saved = dup(0);
    dup2(file, 0);
    close(file);
    const Outcome fromOffset = runKorvat(dir, {"-", "a", "v"});
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(fromOffset.status, 0);
    EXPECT_EQ(fromOffset.out, fromFile.out);
    for (const char* name : {"a", "v"}) EXPECT_TRUE(dir.read(name) == plain.read(name)) << name;
  }
  TempDir directory;
  const int saved = dup(0);
  dup2(open(directory.dir().c_str(), O_RDONLY), 0);
  const Outcome fromDirectory = runKorvat(directory, {"-", "a", "v"});
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(fromDirectory.status, 2);
  EXPECT_EQ(fromDirectory.err, "korvat: cannot read '-': it is a directory\n");
  EXPECT_TRUE(directory.names().empty());
}

// korvat with the FIFO "fifo" of its directory on standard input; `started`
// is told its process id.
ChildSetup readingFifo(std::promise<int>& started) {
  ChildSetup setup;
  setup.wrapper = {"sh", "-c", "exec \"$@\" <fifo", "sh"};
  setup.started = [&started](int pid) { started.set_value(pid); };
  return setup;
}

// A pipe whose writer falls silent holds korvat no longer than until the
// user stops the run.
TEST(Pipe, AnInterruptEndsTheWaitForASilentWriter) {
  std::size_t garbageAt = 0;
  const Bytes damaged = withGarbage(3000, {}, &garbageAt);
  const std::size_t afterDamage = garbageAt + 3000;
  const struct {
    const char* name;
    Bytes recording;
    std::size_t paused, sent;  // the writer pauses after `paused` bytes, and again after `sent`
  } cases[] = {
      {"inside a packet", undamaged(), 50000, 50000},
      {"inside damage", damaged, garbageAt + 1500, garbageAt + 1500},
      // Less than a search for the next packet looks at once.
      {"packets after damage", damaged, afterDamage + 30000, afterDamage + 30000},
      {"packets after damage, the first header after it sent in two", damaged, afterDamage + 4, afterDamage + 30000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    std::promise<int> started;
    std::promise<void> runEnded;
    std::thread writer([&, korvat = started.get_future(), ended = runEnded.get_future()]() mutable {
      const int fd = open(dir.path("fifo").c_str(), O_WRONLY);  // once the run opens it
      const auto first = static_cast<ssize_t>(c.paused), rest = static_cast<ssize_t>(c.sent - c.paused);
      bool wrote = fd != -1 && write(fd, c.recording.data(), c.paused) == first;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      wrote = wrote && write(fd, c.recording.data() + c.paused, c.sent - c.paused) == rest;
      // korvat reads what came, then waits for more; the user stops it.
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      if (wrote) kill(korvat.get(), SIGINT);
      ended.wait();
      if (fd != -1) close(fd);
    });
    const Outcome run = runChild(dir, {"-r", "-", "a", "v"}, readingFifo(started));
    runEnded.set_value();
    writer.join();
    EXPECT_EQ(run.status, 130);
    EXPECT_NE(run.out.find("\ninterrupted\n"), std::string::npos) << run.out;
    // What came before the writer fell silent was split as from a file that
    // ends there: what is read is split at once, not kept back for more.
    TempDir cut;
    cut.write("rec", c.recording.substr(0, c.sent));
    const Outcome split = runKorvat(cut, {"-r", "rec", "a", "v"});
    ASSERT_EQ(split.status, 0);
    for (const char* name : {"v", "a"}) {
      EXPECT_TRUE(dir.read(name) == cut.read(name))
          << name << ": " << dir.read(name).size() << " bytes, not " << cut.read(name).size();
    }
  }
}

// A FIFO by name: korvat waits for its writer, who may come late.
// A writer that goes on sending does not keep the run going: the pipe ends
// where the interrupt found it.
TEST(Pipe, AnInterruptEndsAPipeThatStillFlows) {
  const Bytes recording = undamaged();
  const std::size_t copies = (256 * kMiB) / recording.size(), interruptAfter = 8 * kMiB / recording.size();
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // the write after the run let go fails, and the writer ends
  std::promise<int> started;
  std::size_t sent = 0;
  std::thread writer([&, korvat = started.get_future()]() mutable {
    const int fd = open(dir.path("fifo").c_str(), O_WRONLY);  // once the run opens it
    const int pid = korvat.get();
    for (std::size_t i = 0; fd != -1 && i < copies; ++i, sent += recording.size()) {
      if (i == interruptAfter) kill(pid, SIGINT);
      if (write(fd, recording.data(), recording.size()) != static_cast<ssize_t>(recording.size())) break;
    }
    if (fd != -1) close(fd);
  });
  const Outcome run = runChild(dir, {"-p", "-", "a", "v"}, readingFifo(started));
  writer.join();
  EXPECT_EQ(run.status, 130);
  EXPECT_LT(sent, copies * recording.size());
  EXPECT_LT(dir.read("v").size(), recording.size() * (interruptAfter + 8));
}

TEST(Pipe, ReadsAFifoAsItsWriterWrites) {
  const Bytes recording = undamaged();
  TempDir fromFile, fromFifo;
  fromFile.write("rec", recording);
  const Outcome file = runKorvat(fromFile, {"-r", "rec", "a", "v"});
  ASSERT_EQ(mkfifo(fromFifo.path("rec").c_str(), 0600), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Without a reader after 60 s the test has failed already.
    int fd = -1;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((fd = open(fromFifo.path("rec").c_str(), O_WRONLY | O_NONBLOCK)) == -1 &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd == -1) return;
    fcntl(fd, F_SETFL, 0);
    for (std::size_t at = 0; at < recording.size();) {
      const ssize_t put = write(fd, recording.data() + at, std::min<std::size_t>(recording.size() - at, 5000));
      if (put <= 0) break;
      at += static_cast<std::size_t>(put);
    }
    close(fd);
  });
  const Outcome fifo = runKorvat(fromFifo, {"-r", "rec", "a", "v"});
  writer.join();
  EXPECT_EQ(fifo.status, 0);
  EXPECT_EQ(fifo.out, file.out);
  EXPECT_EQ(fifo.err, file.err);
  for (const char* name : {"a", "v"}) EXPECT_TRUE(fromFifo.read(name) == fromFile.read(name)) << name;
}
#endif

}  // namespace
}  // namespace korvat::test
