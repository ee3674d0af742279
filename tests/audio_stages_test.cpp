// The audio stages of -r on real MPEG audio: the finder is blind to chunking, and
// the clock and repair insert and drop the frames that the stamps call for.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <tuple>

#include "audio/ac3_format.h"
#include "audio/frame_finder.h"
#include "audio/mpeg_audio_format.h"
#include "format/ac3.h"
#include "strip/synced_audio.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

// sine.mp2: MPEG-1 Layer II, 48 kHz, 192 kbit/s: 125 frames of 576 bytes, 1152 samples each.
constexpr std::size_t kFrame = 576;
constexpr std::uint32_t kFrameTicks = 2160;  // 1152 samples at 48 kHz on the 90 kHz clock

const unsigned char* data(const Bytes& bytes) { return reinterpret_cast<const unsigned char*>(bytes.data()); }

// What the finder hands on: the frames, and bytes passed on as they came.
struct Collector final : FrameReceiver {
  Bytes frames, passed;
  std::vector<std::size_t> damagedAt;  // the frame bytes before each damage told
  FrameVerdict take(const FoundFrame& frame) override {
    frames.append(reinterpret_cast<const char*>(frame.data), frame.header.length);
    return FrameVerdict::Taken;
  }
  void damaged() override { damagedAt.push_back(frames.size()); }
  bool passOn(const unsigned char* bytes, std::size_t n) override {
    passed.append(reinterpret_cast<const char*>(bytes), n);
    return true;
  }
  void cannotRepair(const std::string&) override {}
};

// Feeds `stream` in chunks of the sizes `next` gives.
template <typename Sizes>
Collector findFrames(const Bytes& stream, Sizes next, const AudioFrameFormat& format = MpegAudioFormat()) {
  Collector out;
  FrameFinder finder(format, out);
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(next(), stream.size() - at);
    EXPECT_TRUE(finder.add(data(stream) + at, n, TimeStamp::unknown("none")));
    at += n;
  }
  EXPECT_TRUE(finder.finish());
  return out;
}

TEST(FrameFinder, SameFramesInAnyChunking) {
  const Bytes& audio = sourceAudio();
  const struct {
    const char* name;
    Bytes stream;
    std::size_t frames, passed;
  } cases[] = {
      {"whole stream", audio, 125, 0},
      // The frame before the junk is not followed where its length says: it is no frame.
      {"junk after frame 10", audio.substr(0, 10 * kFrame) + filler(300) + audio.substr(10 * kFrame), 124, 0},
      // A last frame cut short by the end is what there is of it, passed on.
      {"last frame cut short", audio.substr(0, audio.size() - 100), 124, kFrame - 100},
      {"no frame at all", filler(5000), 0, 5000},
      // A 417-byte frame of 44.1 kHz, false, whose end is where a 48 kHz frame begins: another stream.
      {"a false sync that leads to another stream", Bytes("\xFF\xFD\x80\x04", 4) + filler(413) + audio, 125, 0},
  };
  for (const auto& c : cases) {
    std::mt19937 random(7);
    const Collector whole = findFrames(c.stream, [&] { return c.stream.size(); });
    const Collector bytewise = findFrames(c.stream, [] { return std::size_t{1}; });
    const Collector chunked = findFrames(c.stream, [&] { return std::size_t{1} + random() % 1500; });
    EXPECT_EQ(whole.frames.size(), c.frames * kFrame) << c.name;
    EXPECT_EQ(whole.passed.size(), c.passed) << c.name;
    for (const Collector* other : {&bytewise, &chunked}) {
      EXPECT_TRUE(other->frames == whole.frames && other->passed == whole.passed) << c.name;
    }
  }
}

// An AC3 frame counts where the next begins where its length says, or
// where its CRCs hold: then also before junk, where damage cut what followed.
TEST(FrameFinder, Ac3FrameWhoseCrcsHoldNeedsNoFrameAfterIt) {
  constexpr std::size_t kAc3Frame = 256;
  const Bytes ac3 = syntheticAc3(20 * kAc3Frame, 5);
  Bytes broken = ac3;
  broken[10 * kAc3Frame - 50] ^= 0x10;  // in frame 9, after its first five eighths
  const struct {
    const char* name;
    Bytes stream;
    std::size_t frames;
  } cases[] = {
      {"whole stream", ac3, 20},
      {"junk after frame 9", ac3.substr(0, 10 * kAc3Frame) + filler(300) + ac3.substr(10 * kAc3Frame), 20},
      {"junk after frame 9, its CRC broken",
       broken.substr(0, 10 * kAc3Frame) + filler(300) + broken.substr(10 * kAc3Frame), 19},
      {"frame 9 cut short", ac3.substr(0, 10 * kAc3Frame - 7) + ac3.substr(10 * kAc3Frame), 19},
      {"junk before the first", filler(1000) + ac3, 20},
  };
  for (const auto& c : cases) {
    std::mt19937 random(9);
    const Ac3Format format;
    const Collector whole = findFrames(
        c.stream, [&] { return c.stream.size(); }, format);
    const Collector bytewise = findFrames(
        c.stream, [] { return std::size_t{1}; }, format);
    const Collector chunked = findFrames(
        c.stream, [&] { return std::size_t{1} + random() % 700; }, format);
    EXPECT_EQ(whole.frames.size(), c.frames * kAc3Frame) << c.name;
    for (const Collector* other : {&bytewise, &chunked}) EXPECT_TRUE(other->frames == whole.frames) << c.name;
  }
}

// A silent AC3 frame has the layout and the length of the frames around it,
// and CRCs that hold, at every coding mode, rate and size; a bit changed
// anywhere breaks them.
TEST(Ac3, SilentFrameKeepsTheLayoutAndItsCrcsHold) {
  EXPECT_EQ(ac3Crc(data(Bytes("123456789")), 9), 0xFEE8);  // the check value of this CRC
  const struct {
    std::uint8_t rateCode, sizeCode;
    std::uint32_t length;
  } sizes[] = {{0, 0, 128}, {0, 30, 1792}, {1, 0, 138}, {1, 1, 140}, {1, 37, 2788}, {2, 17, 768}, {2, 37, 3840}};
  for (const auto& size : sizes) {
    for (std::uint8_t acmod = 0; acmod < 8; ++acmod) {
      for (const bool lfe : {false, true}) {
        Ac3Layout like;
        like.sampleRateCode = size.rateCode;
        like.frameSizeCode = size.sizeCode;
        like.length = size.length;
        like.bsid = 6;
        like.bsmod = 1;
        like.acmod = acmod;
        like.centreMix = (acmod & 1) != 0 && acmod != 1 ? 2 : 0;
        like.surroundMix = (acmod & 4) != 0 ? 1 : 0;
        like.surroundMode = acmod == 2 ? 2 : 0;
        like.lfe = lfe;
        like.dialogueLevel = 27;
        std::vector<unsigned char> frame = silentAc3Frame(like);
        SCOPED_TRACE(testing::Message() << "rate " << +size.rateCode << ", size " << +size.sizeCode << ", mode "
                                        << +acmod << ", LFE " << lfe);
        ASSERT_EQ(frame.size(), size.length);
        EXPECT_EQ(ac3FrameLength(frame.data()), size.length);
        Ac3Layout read;
        ASSERT_TRUE(Ac3Layout::parse(frame.data(), read));
        EXPECT_EQ(std::tie(read.sampleRateCode, read.frameSizeCode, read.bsid, read.bsmod, read.acmod, read.centreMix,
                           read.surroundMix, read.surroundMode, read.lfe, read.dialogueLevel),
                  std::tie(like.sampleRateCode, like.frameSizeCode, like.bsid, like.bsmod, like.acmod, like.centreMix,
                           like.surroundMix, like.surroundMode, like.lfe, like.dialogueLevel));
        EXPECT_TRUE(ac3CrcsHold(frame.data(), size.length));
        for (std::size_t at = 2; at < frame.size(); at += 37) {
          frame[at] ^= 0x04;
          EXPECT_FALSE(ac3CrcsHold(frame.data(), size.length)) << "byte " << at;
          frame[at] ^= 0x04;
        }
      }
    }
  }
}

// Damage is told with the first frame that does not lie wholly before it:
// a frame whose end came before the break, but whose successor's header did
// not, is handed on before it (here the header's first bytes before the
// break and the rest after it make one); so is one that ends at the break.
TEST(FrameFinder, DamageToldWithTheFirstFrameAfterIt) {
  const Bytes& audio = sourceAudio();
  const struct {
    const char* name;
    std::size_t before, after;  // the bytes before the break, and where those after it begin
  } cases[] = {{"a header cut by the break", 4 * kFrame + 2, 9 * kFrame + 2}, {"whole frames", 4 * kFrame, 9 * kFrame}};
  for (const auto& c : cases) {
    MpegAudioFormat format;
    Collector out;
    FrameFinder finder(format, out);
    EXPECT_TRUE(finder.add(data(audio), c.before, TimeStamp::unknown("none")));
    EXPECT_TRUE(finder.breakHere());
    EXPECT_TRUE(finder.add(data(audio) + c.after, 15 * kFrame - c.after, TimeStamp::unknown("none")));
    EXPECT_TRUE(finder.finish());
    EXPECT_TRUE(out.frames == audio.substr(0, 4 * kFrame) + audio.substr(9 * kFrame, 6 * kFrame)) << c.name;
    EXPECT_EQ(out.damagedAt, std::vector<std::size_t>{4 * kFrame}) << c.name;
  }
}

constexpr int kNoStamp = INT_MIN;
constexpr std::uint32_t kBase = 1000000;  // the stamp the video's time line counts from

// 20 frames, each in a packet stamped so many frames from the base, moved `by` in [from, until).
std::vector<int> stamped(int from, int by, int until = 20, int unstamped = -1) {
  std::vector<int> positions;
  for (int i = 0; i < 20; ++i) positions.push_back(i == unstamped ? kNoStamp : i >= from && i < until ? i + by : i);
  return positions;
}
// What the file holds: 'a' for each frame of the audio, 's' for each silent one.
std::string framesOf(std::size_t audio, std::size_t silentAt = 0, std::size_t silent = 0) {
  return std::string(audio, 'a').insert(silentAt, silent, 's');
}

TEST(AudioRepair, InsertsAndDropsWhatTheStampsCallFor) {
  const struct {
    const char* name;
    std::vector<int> positions;
    int breakBefore;
    std::string written;
    std::uint32_t startMoved;                         // in frames
    std::int64_t lastPicture = 20 * kTicksPerSecond;  // its stamp: the video ends 3600 ticks later
  } cases[] = {
      {"in step", stamped(0, 0), -1, framesOf(20), 0},
      // A stamped frame that ends at the break would be the one to meet the damage: frame 4 has none.
      {"3 late after a break: believed at once", stamped(5, 3, 20, 4), 5, framesOf(20, 5, 3), 0},
      {"3 late after a break, told two frames on: the silence goes at the break",
       {0, 1, 2, 3, kNoStamp, kNoStamp, kNoStamp, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22},
       5,
       framesOf(20, 5, 3),
       0},
      {"3 late, no break: believed when the next agrees, silence before the first", stamped(5, 3), -1,
       framesOf(20, 5, 3), 0},
      {"one garbled stamp", stamped(5, 3, 6), -1, framesOf(20), 0},
      {"2 early after a break: 2 dropped", stamped(5, -2, 20, 4), 5, framesOf(18), 0},
      {"clock restarted", stamped(5, -100), -1, framesOf(20), 0},
      {"clock restarted after a break", stamped(5, -100, 20, 4), 5, framesOf(20), 0},
      {"clock restarted, then 3 lost at a break",
       {0, 1, 2, 3, 4, -95, kNoStamp, -90, -89, -88, -87, -86, -85, -84, -83, -82, -81, -80, -79, -78},
       7,
       framesOf(20, 7, 3),
       0},
      {"first stamp, a break, then the clock restarted", stamped(2, -100, 20, 1), 2, framesOf(20), 0},
      // Back further than a restart, but the stamps after it go on with the old clock.
      {"one stamp garbled back", stamped(5, -100, 6), -1, framesOf(20), 0},
      {"one stamp garbled back after a break", stamped(5, -100, 6, 4), 5, framesOf(20), 0},
      // The video ends at 16 2/3 frames: silence fills it, and the audio stamped past it has no place.
      {"5 late after a break, near the end of the video", stamped(14, 5, 20, 13), 14, framesOf(14, 14, 2), 0, 32400},
      {"first stamp garbled: the start moves", stamped(1, 3), -1, framesOf(20), 3},
  };
  const Bytes& audio = sourceAudio();
  for (const auto& c : cases) {
    VideoTimeline timeline;
    timeline.add(0, 0, 3600);
    timeline.add(c.lastPicture, 0, 3600);
    TempDir dir;
    DiskFile file(dir.path("audio"), Disposition::CreateNew);
    FileSink sink(file);
    SyncedAudio synced(sink, std::make_unique<MpegAudioFormat>(), timeline, TimeStamp::of(kBase));
    for (int i = 0; i < 20; ++i) {
      EXPECT_TRUE(i != c.breakBefore || synced.breakHere());
      const int at = c.positions[i];
      const TimeStamp stamp = at == kNoStamp ? TimeStamp::unknown("none") : TimeStamp::of(kBase + at * kFrameTicks);
      EXPECT_TRUE(synced.add(data(audio) + i * kFrame, kFrame, stamp));
    }
    EXPECT_TRUE(synced.finish() && file.close());
    const Bytes written = dir.read("audio");
    ASSERT_EQ(written.size() % kFrame, 0u) << c.name;
    std::string frames;  // a silent frame is a header and zeros
    for (std::size_t at = 0; at < written.size(); at += kFrame) {
      frames += written.find_first_not_of('\0', at + 4) < at + kFrame ? 'a' : 's';
    }
    EXPECT_EQ(frames, c.written) << c.name;
    EXPECT_EQ(synced.firstFrame(TimeStamp::unknown("")).ticks, kBase + c.startMoved * kFrameTicks) << c.name;
  }
}

// Frame lengths as the tables of MPEG-1 and MPEG-2 audio give them; a frame
// of another rate is another stream; reserved codes and free format begin none.
TEST(FrameFinder, MpegAudioFrameHeaders) {
  const std::vector<std::pair<Bytes, std::uint32_t>> cases = {
      {"\xFF\xFD\xA4\x00", 576},  // MPEG-1 Layer II, 192 kbit/s, 48 kHz
      {"\xFF\xFB\x92\x00", 418},  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, padded
      {"\xFF\xFF\xC8\x00", 576},  // MPEG-1 Layer I, 384 kbit/s, 32 kHz
      {"\xFF\xFF\xC4\x00", 384},  // MPEG-1 Layer I, 384 kbit/s, 48 kHz
      {"\xFF\xF7\xE4\x00", 512},  // MPEG-2 Layer I, 256 kbit/s, 24 kHz
      {"\xFF\xF3\x80\x00", 208},  // MPEG-2 Layer III, 64 kbit/s, 22.05 kHz
      {"\xFF\xFD\xAC\x00", 0},    // a reserved sample rate
      {"\xFF\xFD\xF4\x00", 0},    // a reserved bit rate
      {"\xFF\xFD\x04\x00", 0},    // free format
  };
  MpegAudioFormat format;
  FrameHeader first, header;
  ASSERT_TRUE(format.parse(data(cases[0].first), first));
  for (const auto& [bytes, length] : cases) {
    EXPECT_EQ(format.parse(data(bytes), header) ? header.length : 0, length);
    if (length != 0) {
      EXPECT_EQ(header.sameStream(first), length == 576 && bytes[1] == '\xFD');
    }
  }
}

}  // namespace
}  // namespace korvat::test
