// Files: bytes copied from a file that reads to files that write land as
// they were, whatever the reader does with its read-ahead meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "file/disk_file.h"
#include "format/mpeg.h"
#include "platform/platform.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

// Bytes whose every position differs from its neighbours', so that a piece
// out of place shows.
Bytes counting(std::size_t n) {
  Bytes bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// One step of a script: the reader copies to output `to`, or another call
// moves its read-ahead, or the output takes back its last n bytes or writes
// over two bytes n before its end; `n` is a length or a distance.
enum class Step { CopyTo, Read, Skip, Back, Peek, LookFar, WriteOwn, CutBack, WriteOver };
struct Action {
  Step step;
  int to;  // output 0 or 1
  std::uint32_t n;
};

constexpr std::uint32_t kLend = DiskFile::kLendAtLeast;
constexpr std::uint32_t kBuffer = DiskFile::kBufferSize;

TEST(Files, CopiesLandAsTheyWereWhateverTheReaderDoesMeanwhile) {
  const Bytes source = counting(3 << 20);
  const Bytes own = "own bytes";
  struct Case {
    const char* name;
    std::vector<Action> script;
  };
  const std::vector<Case> cases = {
      {"two outputs in turn, across refills",
       {{Step::CopyTo, 0, kLend},
        {Step::CopyTo, 1, 20000},
        {Step::CopyTo, 0, 60000},
        {Step::CopyTo, 1, kLend - 1},
        {Step::CopyTo, 0, 200000},
        {Step::CopyTo, 1, 300000},
        {Step::CopyTo, 0, kLend + 1}}},
      {"longer than the read-ahead", {{Step::CopyTo, 0, 3 * kBuffer + 5}, {Step::CopyTo, 1, kBuffer}}},
      {"own writes between",
       {{Step::CopyTo, 0, 30000},
        {Step::WriteOwn, 0, 0},
        {Step::CopyTo, 0, 30000},
        {Step::WriteOwn, 0, 0},
        {Step::CopyTo, 0, 250000},
        {Step::WriteOwn, 0, 0}}},
      {"a peek moves the read-ahead",
       {{Step::CopyTo, 0, kBuffer - 20000},
        {Step::Peek, 0, DiskFile::kMaxPeek},
        {Step::CopyTo, 0, 40000},
        {Step::CopyTo, 1, 100000}}},
      {"a far look grows it",
       {{Step::CopyTo, 0, 100000}, {Step::LookFar, 0, 0}, {Step::CopyTo, 1, 50000}, {Step::CopyTo, 0, 900000}}},
      {"reads, skips and steps back",
       {{Step::CopyTo, 0, 50000},
        {Step::Read, 0, 3000},
        {Step::CopyTo, 1, 10000},
        {Step::Back, 0, 10000},
        {Step::CopyTo, 0, 10000},
        {Step::Skip, 0, 700000},
        {Step::CopyTo, 1, 90000},
        {Step::CopyTo, 0, 16000}}},
      {"to the end of the file and past it", {{Step::Skip, 0, (3 << 20) - 30000}, {Step::CopyTo, 0, 50000}}},
      {"taken back and written over, gathered, lent or written",
       {{Step::CopyTo, 0, 30000},
        {Step::CutBack, 0, 1000},
        {Step::WriteOwn, 0, 0},
        {Step::CopyTo, 0, 200},
        {Step::CutBack, 0, 300},
        {Step::WriteOver, 0, 20000},
        {Step::CopyTo, 1, 20000},
        {Step::CopyTo, 0, 300000},
        {Step::WriteOver, 0, 310000},
        {Step::CutBack, 0, 250000},
        {Step::CopyTo, 0, 40000},
        {Step::WriteOver, 0, 2},
        {Step::CutBack, 1, 20000},
        {Step::CopyTo, 1, 5000}}},
      // After a whole buffer, the next is read in the background while it is used.
      {"a peek across the end takes what was read meanwhile, after the bytes unread",
       {{Step::CopyTo, 0, kBuffer - 100},
        {Step::Peek, 0, DiskFile::kMaxPeek},
        {Step::Back, 0, 100},
        {Step::CopyTo, 1, 200},
        {Step::CopyTo, 0, kBuffer - 200},
        {Step::Peek, 0, 8},
        {Step::CopyTo, 0, 70000}}},
      {"skips into what was read meanwhile, past it, and back before it",
       {{Step::CopyTo, 0, 1000},
        {Step::Skip, 0, kBuffer},
        {Step::CopyTo, 1, 5000},
        {Step::Back, 0, 3000},
        {Step::CopyTo, 0, kBuffer},
        {Step::Skip, 0, 2 * kBuffer},
        {Step::CopyTo, 0, 5000},
        {Step::Back, 0, 600000},
        {Step::CopyTo, 1, 70000}}},
      {"a long read or a far look while a read is under way",
       {{Step::CopyTo, 0, kBuffer + 1000},
        {Step::Read, 0, kBuffer + 5},
        {Step::CopyTo, 0, kBuffer},
        {Step::LookFar, 0, 0},
        {Step::CopyTo, 1, kBuffer + kLend}}},
      {"a short copy that refills after a long one",
       {{Step::CopyTo, 0, 3000},
        {Step::CopyTo, 0, kBuffer - 6000},
        {Step::CopyTo, 0, 3500},
        {Step::CopyTo, 1, kLend - 1},
        {Step::CopyTo, 1, kBuffer - 2 * kLend},
        {Step::CopyTo, 1, kLend - 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("in", source);
    Bytes expected[2];
    {
      DiskFile input(dir.path("in"), Disposition::OpenExisting);
      DiskFile out0(dir.path("out0"), Disposition::CreateNew), out1(dir.path("out1"), Disposition::CreateNew);
      DiskFile* outputs[2] = {&out0, &out1};
      std::size_t at = 0;
      for (const Action& a : c.script) {
        const unsigned char* data = nullptr;
        Bytes scratch(a.n, '\0');
        switch (a.step) {
          case Step::CopyTo: {
            const bool whole = input.copyTo(*outputs[a.to], a.n);
            const std::size_t arrived = std::min<std::size_t>(a.n, source.size() - at);
            EXPECT_EQ(whole, arrived == a.n);
            expected[a.to] += source.substr(at, arrived);
            at += arrived;
            break;
          }
          case Step::Read:
            EXPECT_EQ(input.read(scratch.data(), a.n), a.n);
            EXPECT_TRUE(scratch == source.substr(at, a.n));
            at += a.n;
            break;
          case Step::Skip:
          case Step::Back:
            EXPECT_TRUE(input.seekCur(a.step == Step::Skip ? a.n : -static_cast<std::int64_t>(a.n)));
            at = a.step == Step::Skip ? at + a.n : at - a.n;
            break;
          case Step::Peek:
            EXPECT_EQ(input.peek(a.n, data), a.n);
            EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(data), a.n) == source.substr(at, a.n));
            break;
          case Step::LookFar:
            EXPECT_EQ(input.lookAhead(DiskFile::kMaxLookAhead - 100, 100, data), 100u);
            EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(data), 100) ==
                        source.substr(at + DiskFile::kMaxLookAhead - 100, 100));
            break;
          case Step::CutBack:
            expected[a.to].resize(expected[a.to].size() - a.n);
            EXPECT_TRUE(outputs[a.to]->cutBackTo(expected[a.to].size()));
            break;
          case Step::WriteOver:
            expected[a.to].replace(expected[a.to].size() - a.n, 2, "XY");
            EXPECT_TRUE(outputs[a.to]->overwrite(expected[a.to].size() - a.n, "XY", 2));
            break;
          case Step::WriteOwn:
            EXPECT_EQ(outputs[a.to]->write(own.data(), static_cast<std::uint32_t>(own.size())), own.size());
            expected[a.to] += own;
            break;
        }
        EXPECT_EQ(input.tell(), at);
        EXPECT_EQ(out0.tell(), expected[0].size());
        EXPECT_EQ(out1.tell(), expected[1].size());
      }
      EXPECT_TRUE(out0.close());
      // out1 is closed after the input, as the files of a run may be.
    }
    EXPECT_TRUE(dir.read("out0") == expected[0]);
    EXPECT_TRUE(dir.read("out1") == expected[1]);
  }
}

// What the thread that reads ahead marks in the bytes is what a look at
// the bytes themselves finds, however they are taken: copied or lent, after
// a peek across the end of the read-ahead, a skip into the bytes read
// meanwhile, or a step back.
TEST(Files, MarksMadeWhileReadingAreWhatTheBytesHold) {
  Bytes source = counting(6 << 20);
  // Start code prefixes every few hundred bytes, and across the ends of reads.
  for (std::size_t at = 0; at + 3 < source.size(); at += 397) source.replace(at, 3, "\0\0\1", 3);
  for (std::size_t end = kBuffer; end < source.size(); end += kBuffer) source.replace(end - 1, 3, "\0\0\1", 3);
  TempDir dir;
  dir.write("in", source);
  DiskFile input(dir.path("in"), Disposition::OpenExisting), out(dir.path("out"), Disposition::CreateNew);
  std::size_t chunks = 0, marked = 0;
  std::uint64_t seenAt = 0;
  const auto look = [&](const unsigned char* data, std::uint32_t n) {
    ++chunks;
    ASSERT_TRUE(Bytes(reinterpret_cast<const char*>(data), n) == source.substr(seenAt, n));
    seenAt += n;
    ReadMarks marks;
    if (!input.marksIn(data, n, marks)) return;
    ++marked;
    std::vector<std::uint32_t> whole, found;
    for (const std::uint32_t* mark = marks.first; mark != marks.last; ++mark) {
      const unsigned char* at = marks.base + *mark;
      ASSERT_TRUE(at >= data && at < data + n);
      EXPECT_TRUE(at[0] == 0 && at[1] == 0 && at[2] == 1);
      if (at + 3 <= data + n) whole.push_back(static_cast<std::uint32_t>(at - data));
    }
    findStartCodePrefixes(data, n, found);
    EXPECT_EQ(whole, found);
  };
  const auto copy = [&](std::uint32_t n) {
    seenAt = input.tell();
    return input.copyTo(out, n, look);
  };
  // Marking begins while a read is under way: its bytes are not marked.
  ASSERT_TRUE(copy(kBuffer + 1000));
  input.markWhileReading(findStartCodePrefixes);
  chunks = 0;
  const unsigned char* peeked = nullptr;
  for (int round = 0; round < 15; ++round) {
    for (const std::uint32_t n : {100u, 3000u, kLend, 5000u, 33000u, 70000u}) ASSERT_TRUE(copy(n));
    // A header; or, 300 bytes before the end of what is read ahead, as far
    // as a peek goes, which takes the next bytes after those 300.
    const std::uint32_t unread = input.readAheadBytes(peeked);
    if (round % 2 == 1 && unread > 300) {
      ASSERT_TRUE(copy(unread - 300));
    }
    const std::uint32_t peek = round % 2 == 0 ? 8 : DiskFile::kMaxPeek;
    ASSERT_EQ(input.peek(peek, peeked), peek);
    ASSERT_TRUE(input.seekCur(round % 3 == 0 ? std::int64_t{kBuffer / 2} : std::int64_t{-1000}));
  }
  EXPECT_GT(marked, chunks / 4) << "the thread that reads ahead marked too few of the chunks for the test to hold";
}

// Keeps the test's thread, and the threads it starts, on the first processor
// it may use; lets it go again at the end.
class OneProcessor {
 public:
  OneProcessor() {
#ifdef __linux__
    pinned = sched_getaffinity(0, sizeof before, &before) == 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE && pinned; ++cpu) {
      if (!CPU_ISSET(cpu, &before)) continue;
      CPU_SET(cpu, &one);
      pinned = sched_setaffinity(0, sizeof one, &one) == 0;
      break;
    }
#endif
  }
  ~OneProcessor() {
#ifdef __linux__
    if (pinned) sched_setaffinity(0, sizeof before, &before);
#endif
  }
  OneProcessor(const OneProcessor&) = delete;
  OneProcessor& operator=(const OneProcessor&) = delete;
  bool holds() const { return pinned; }

 private:
  bool pinned = false;
#ifdef __linux__
  cpu_set_t before;
#endif
};

// A read handed to the reading thread comes back whole, whether it is taken
// at once or after the thread has stopped watching for it, and asked for at
// once or after the thread has stopped watching for work and sleeps; with
// processors to spare, and on one, where neither side may keep the
// processor watching for the other.
TEST(Files, ReadsOnTheOtherThreadArriveHoweverLongEitherSideWaits) {
  constexpr std::uint32_t kPiece = 4096;
  const Bytes source = counting(16 * kPiece);
  TempDir dir;
  dir.write("in", source);
  struct Case {
    const char* name;
    int pauseBeforeAsking, pauseBeforeTaking;  // milliseconds: far longer than either side watches
    bool oneProcessor;
  };
  const std::vector<Case> cases = {
      {"asked and taken at once", 0, 0, false},
      {"taken after the reader has gone to sleep", 0, 2, false},
      {"asked after the reader has gone to sleep", 2, 0, false},
      {"on one processor, at once", 0, 0, true},
      {"on one processor, asked after the reader has gone to sleep", 2, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<OneProcessor> pinned;
    if (c.oneProcessor) {
      pinned = std::make_unique<OneProcessor>();
      if (!pinned->holds()) continue;  // no way here to keep to one processor
      EXPECT_EQ(platform::processorsAvailable(), 1u);
    }
    platform::OpenFailure why;
    const platform::FileHandle file = platform::openFile(dir.path("in").c_str(), Disposition::OpenExisting, why);
    ASSERT_NE(file, platform::kInvalidHandle);
    Bytes got(source.size(), '\0');
    auto reads = std::async(std::launch::async, [&] {
      platform::BackgroundRead reader;
      for (std::uint32_t at = 0; at < source.size(); at += kPiece) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseBeforeAsking));
        if (!reader.start(file, &got[at], kPiece)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseBeforeTaking));
        std::uint32_t delivered = 0;
        if (!reader.finish(delivered) || delivered != kPiece) return false;
      }
      return true;
    });
    if (reads.wait_for(std::chrono::seconds(kRunSeconds)) != std::future_status::ready) {
      abandonTest("a read handed to the reading thread never came back");
    }
    EXPECT_TRUE(reads.get());
    EXPECT_TRUE(got == source);
    EXPECT_TRUE(platform::closeFile(file));
  }
}

// The files that hold lent bytes may end before the file that lent them, or
// after it: either way every byte lands.
TEST(Files, LentBytesLandWhicheverFileEndsFirst) {
  const Bytes source = counting(1 << 20);
  for (const bool inputFirst : {false, true}) {
    SCOPED_TRACE(inputFirst ? "the input ends first" : "the output ends first");
    TempDir dir;
    dir.write("in", source);
    auto input = std::make_unique<DiskFile>(dir.path("in"), Disposition::OpenExisting);
    auto output = std::make_unique<DiskFile>(dir.path("out"), Disposition::CreateNew);
    EXPECT_TRUE(input->copyTo(*output, 100000));
    if (inputFirst) {
      input.reset();
      output.reset();
    } else {
      output.reset();
      // The read-ahead changes with no file left to write what it lent.
      Bytes rest(600000, '\0');
      EXPECT_EQ(input->read(rest.data(), 600000), 600000u);
      EXPECT_TRUE(rest == source.substr(100000, 600000));
      input.reset();
    }
    EXPECT_TRUE(dir.read("out") == source.substr(0, 100000));
  }
}

// One file may take bytes lent by two: each lands in its place.
TEST(Files, TwoLendersToOneFile) {
  const Bytes first = counting(1 << 20), second = counting(1 << 20).substr(5000) + "tail";
  TempDir dir;
  dir.write("a", first);
  dir.write("b", second);
  DiskFile a(dir.path("a"), Disposition::OpenExisting), b(dir.path("b"), Disposition::OpenExisting);
  DiskFile out(dir.path("out"), Disposition::CreateNew);
  Bytes expected;
  std::size_t atA = 0, atB = 0;
  for (const std::uint32_t n : {20000u, 9000u, 100000u, 300000u, 12000u}) {
    EXPECT_TRUE(a.copyTo(out, n) && b.copyTo(out, n));
    expected += first.substr(atA, n) + second.substr(atB, n);
    atA += n;
    atB += n;
  }
  EXPECT_TRUE(out.close());
  EXPECT_TRUE(dir.read("out") == expected);
}

#ifndef _WIN32
// A pipe delivers what its writer has sent so far, a pipe's worth at the
// most: each call still gets all it asks for, up to the end.
TEST(Files, APipeGivesEachCallAllItAsks) {
  const Bytes source = counting(3 << 20);
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = open(dir.path("fifo").c_str(), O_WRONLY);
    for (std::size_t at = 0; fd != -1 && at < source.size();) {
      const ssize_t put = write(fd, source.data() + at, std::min<std::size_t>(source.size() - at, 10000 + at % 7777));
      if (put <= 0) break;
      at += static_cast<std::size_t>(put);
    }
    if (fd != -1) close(fd);
  });
  DiskFile input(dir.path("fifo"), Disposition::OpenExisting);
  Bytes read(kBuffer + 5, '\0');
  EXPECT_EQ(input.read(read.data(), kBuffer + 5), kBuffer + 5);
  std::size_t at = kBuffer + 5;
  EXPECT_TRUE(read == source.substr(0, at));
  const unsigned char* data = nullptr;
  EXPECT_EQ(input.peek(DiskFile::kMaxPeek, data), DiskFile::kMaxPeek);
  EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(data), DiskFile::kMaxPeek) == source.substr(at, DiskFile::kMaxPeek));
  EXPECT_EQ(input.lookAhead(DiskFile::kMaxLookAhead - 100, 100, data), 100u);
  EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(data), 100) == source.substr(at + DiskFile::kMaxLookAhead - 100, 100));
  // The rest, and the end, whatever came before: the writer never waits on a reader gone.
  bool inPlace = true;
  for (std::uint32_t got = 1; got > 0; at += got) {
    got = input.read(read.data(), kBuffer + 5);
    inPlace = inPlace && read.substr(0, got) == source.substr(at, got);
  }
  EXPECT_TRUE(inPlace);
  EXPECT_EQ(at, source.size());
  writer.join();
}
#endif

}  // namespace
}  // namespace korvat::test
