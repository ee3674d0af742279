// The video side's stages run directly on real video: whatever pieces its
// bytes come in, each stage hands on the same start codes, writes the same
// video and lays the same time line.
#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "file/disk_file.h"
#include "format/av_packet.h"
#include "format/mpeg.h"
#include "tests/harness.h"
#include "video/clean_cut.h"
#include "video/picture_clock.h"
#include "video/start_codes.h"
#include "video/timeline.h"

namespace korvat::test {
namespace {

struct VideoPacket {
  Bytes payload;  // less its prefix
  TimeStamp stamp;
};

// The video packets of a recording that the packing tool made of `video`.
std::vector<VideoPacket> videoPackets(const Bytes& video) {
  pack::PackOptions options;
  options.leadIn = false;  // the first packet begins with the sequence header
  options.prefixPercent = 100;
  const Bytes recording = packRecording(video, sourceAudio(), options);
  std::vector<VideoPacket> packets;
  forEachPacket(recording, [&](const PacketView& view) {
    const char* payload = recording.data() + view.offset + AVheader::kSize;
    if (view.streamId != AVheader::kVideoStream || (view.flags & AVheader::kVideoPrefixFlag) == 0) return;
    packets.push_back({Bytes(payload + AVheader::kVideoPrefixSize, view.length - AVheader::kVideoPrefixSize),
                       TimeStamp::of(videoPrefixStamp(reinterpret_cast<const unsigned char*>(payload)))});
  });
  return packets;
}

// Marked: random pieces, with the prefixes in them found beforehand, as the
// thread that reads a recording ahead finds them.
enum class Pieces { Whole, Bytes, Random, Marked };
constexpr Pieces kEveryPieces[] = {Pieces::Whole, Pieces::Bytes, Pieces::Random};

template <class Next>
bool cut(StartCodeFinder& finder, Next& next) {
  return finder.cut(next);
}
bool cut(StartCodeFinder&, PictureClock&) { return true; }  // alone, the clock is not told of damage

// Hands each packet's payload to the stage after the finder in pieces; the
// three packets from `lost` on are lost, and the finder told.
constexpr std::size_t kNoneLost = SIZE_MAX;
template <class Next>
void feed(const std::vector<VideoPacket>& packets, Pieces pieces, Next& next, std::size_t lost = kNoneLost) {
  StartCodeFinder finder;
  std::mt19937 random(7);
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (lost != kNoneLost && i >= lost && i < lost + 3) {
      ASSERT_TRUE(cut(finder, next));
      continue;
    }
    finder.packetBegins(packets[i].stamp);
    const auto* bytes = reinterpret_cast<const unsigned char*>(packets[i].payload.data());
    std::vector<std::uint32_t> prefixes;
    findStartCodePrefixes(bytes, static_cast<std::uint32_t>(packets[i].payload.size()), prefixes);
    for (std::size_t at = 0, n = 0; at < packets[i].payload.size(); at += n) {
      const std::size_t left = packets[i].payload.size() - at;
      n = pieces == Pieces::Whole   ? left
          : pieces == Pieces::Bytes ? 1
                                    : std::min<std::size_t>(left, 1 + random() % 900);
      const auto from = [&](std::size_t offset) {
        return prefixes.data() + (std::lower_bound(prefixes.begin(), prefixes.end(), offset) - prefixes.begin());
      };
      const ReadMarks marks{bytes, from(at), from(at + n)};
      ASSERT_TRUE(finder.feed(bytes + at, n, next, pieces == Pieces::Marked ? &marks : nullptr));
    }
  }
}

struct Codes {
  std::vector<std::string> seen;  // where, in which packet, the header
  bool take(const VideoChunk& chunk) {
    for (const StartCode& code : chunk.startCodes) {
      seen.push_back(std::to_string(code.at) + " " + std::to_string(code.packet) + " " +
                     Bytes(reinterpret_cast<const char*>(code.header), code.size));
    }
    return true;
  }
  bool cut() { return true; }
};

// Finds the first prefix wherever it lies, and never looks past the end.
template <class Find>
void findsEveryPrefix(const Bytes& noise, const Find& find) {
  for (std::size_t n = 0; n <= 200; ++n) {
    for (std::size_t from : {0, 1, 63}) {  // any alignment
      EXPECT_EQ(find(noise, from, n), n);
      for (std::size_t at = 0; at + 3 <= n; ++at) {
        for (const Bytes& prefix : {Bytes("\0\0\1", 3), Bytes("\0\0\0\1", 4)}) {
          if (at + prefix.size() > n) continue;
          Bytes bytes = noise;
          bytes.replace(from + at, prefix.size(), prefix);
          ASSERT_EQ(find(bytes, from, n), at + prefix.size() - 3) << n << " " << at;
          // The bytes past n are not looked at.
          if (at + prefix.size() < n) continue;
          ASSERT_EQ(find(bytes, from, n - 1), n - 1) << n << " " << at;
        }
      }
    }
  }
}

// The search that every byte of the video passes through finds the first
// prefix wherever it lies: in the wide steps, in the last bytes, or as the
// first prefix in a run of zeros.
TEST(VideoStages, StartCodePrefixFoundWhereverItLies) {
  std::mt19937 random(3);
  Bytes noise(300, '\0');
  for (char& c : noise) c = static_cast<char>(1 + random() % 255);  // no zero: no prefix
  for (const PrefixSearch way :
       {PrefixSearch::Avx512, PrefixSearch::Avx2, PrefixSearch::Sse2, PrefixSearch::ByteByByte}) {
    if (!processorHas(way)) continue;
    SCOPED_TRACE("way " + std::to_string(static_cast<int>(way)));
    const auto find = [way](const Bytes& bytes, std::size_t from, std::size_t n) {
      return findStartCodePrefix(way, reinterpret_cast<const unsigned char*>(bytes.data()) + from, n);
    };
    findsEveryPrefix(noise, find);
  }
}

TEST(VideoStages, StartCodesAreTheSameInAnyPieces) {
  for (const Bytes& video : {sourceVideo(), sourceVideoWithB(), pack::syntheticVideo(400000, 60, 3)}) {
    const std::vector<VideoPacket> packets = videoPackets(video);
    Codes whole;
    feed(packets, Pieces::Whole, whole);
    EXPECT_GT(whole.seen.size(), 20u);
    for (const Pieces pieces : {Pieces::Bytes, Pieces::Random, Pieces::Marked}) {
      Codes codes;
      feed(packets, pieces, codes);
      EXPECT_EQ(codes.seen, whole.seen);
    }
  }
}

// The clean cut as -r drives it: a payload that it lets pass is written to
// the file by the caller, as it comes, after the clean cut saw it.
struct PassingCut {
  CleanCut& clean;
  DiskFile& out;
  std::uint64_t packet = UINT64_MAX;
  bool passes = false;
  bool take(const VideoChunk& chunk) {
    if (chunk.packet != packet) {
      packet = chunk.packet;
      passes = clean.payloadBegins() == CleanCut::Payload::WrittenAsItComes;
    }
    const auto n = static_cast<std::uint32_t>(chunk.size);
    return clean.take(chunk) && (!passes || out.write(chunk.data, n) == n);
  }
  bool cut() { return clean.cut(); }
};

// What the clean cut and the picture clock make of the video, in words;
// `held`: every payload held by the clean cut, as when nothing lets it pass.
std::string cleanRun(const std::vector<VideoPacket>& packets, Pieces pieces, std::size_t lost, bool held = true) {
  TempDir dir;
  PictureClock clock(PictureClock::Follows::EveryPicture);
  std::string said = "|first ";
  {
    DiskFile out(dir.path("video.m2v"), Disposition::CreateNew);
    CleanCut clean(out, clock);
    PassingCut passing{clean, out};
    if (held) {
      feed(packets, pieces, clean, lost);
    } else {
      feed(packets, pieces, passing, lost);
    }
    EXPECT_TRUE(clean.finish() && out.close());
    clock.finish();
    said += std::to_string(clock.firstPicture().ticks) + " base " + std::to_string(clock.timelineBase().ticks);
  }
  for (const VideoTimeline::Cut& cut : clock.timeline().cuts()) {
    said += " cut at " + std::to_string(cut.at) + " of " + std::to_string(cut.pictures);
  }
  said += " end " + std::to_string(clock.timeline().end()) + " shifts";
  for (std::int64_t moment = 0; moment < clock.timeline().end() + 7200; moment += 1800) {
    said += " " + std::to_string(clock.timeline().shiftAt(moment));
  }
  return dir.read("video.m2v") + said;
}

// The video with every P-picture sent twice, as the two fields of a frame
// come, with one temporal reference.
Bytes withEveryPTwice(const Bytes& video) {
  const Bytes prefix("\0\0\1", 3);
  std::vector<std::size_t> units;  // where each picture, group and sequence begins
  for (std::size_t at = 0; (at = video.find(prefix, at)) != Bytes::npos && at + 3 < video.size(); at += 3) {
    const auto code = static_cast<unsigned char>(video[at + 3]);
    if (code == kPictureStart || code == kGroupStart || code == kSequenceHeader) units.push_back(at);
  }
  units.push_back(video.size());
  Bytes twice = video.substr(0, units.front());
  for (std::size_t i = 0; i + 1 < units.size(); ++i) {
    const Bytes unit = video.substr(units[i], units[i + 1] - units[i]);
    const auto* header = reinterpret_cast<const unsigned char*>(unit.data());
    const bool p = header[3] == kPictureStart && pictureCodingType(header) == 2;
    twice += p ? unit + unit : unit;
  }
  return twice;
}

// Each group's pictures as written: (temporal reference, the rest of the picture).
std::vector<std::vector<std::pair<std::uint16_t, Bytes>>> groupsWritten(const Bytes& video) {
  std::vector<std::vector<std::pair<std::uint16_t, Bytes>>> groups(1);
  const Bytes prefix("\0\0\1", 3);
  for (std::size_t at = video.find(prefix); at != Bytes::npos && at + 8 <= video.size();) {
    const std::size_t next = video.find(prefix, at + 3);
    const auto* header = reinterpret_cast<const unsigned char*>(video.data() + at);
    if (header[3] == kGroupStart) groups.emplace_back();
    if (header[3] == kPictureStart) {
      const std::size_t end = next == Bytes::npos ? video.size() : next;
      groups.back().push_back({temporalReference(header), video.substr(at + 6, end - at - 6)});
    }
    at = next;
  }
  return groups;
}

// Damage that cuts a group short leaves its pictures numbered without a gap,
// and the two fields of a frame, in the file already or held, one number.
void expectGroupsNumberedWithoutGaps(const std::string& run) {
  for (const auto& group : groupsWritten(run.substr(0, run.rfind("|first")))) {
    std::set<std::uint16_t> numbers;
    for (std::size_t i = 0; i < group.size(); ++i) {
      numbers.insert(group[i].first);
      if (i > 0 && group[i].second == group[i - 1].second) {
        EXPECT_EQ(group[i].first, group[i - 1].first);
      }
    }
    EXPECT_TRUE(numbers.empty() || (*numbers.begin() == 0 && *numbers.rbegin() == numbers.size() - 1));
  }
}

TEST(VideoStages, CleanCutAndClockAreTheSameInAnyPieces) {
  // Ended by the recording's end right after a picture's header: that picture is still shown.
  const Bytes video = sourceVideoWithB().substr(0, sourceVideoWithB().rfind(Bytes("\0\0\1\0", 4)) + 8);
  // Open groups, whose leading B-pictures refer to the group before, and
  // whose P-pictures come as two fields.
  const Bytes openGroups = withEveryPTwice(pack::syntheticVideo(900000, 72, 5));
  for (const Bytes* source : {&video, &openGroups}) {
    const std::vector<VideoPacket> packets = videoPackets(*source);
    const std::string whole = cleanRun(packets, Pieces::Whole, kNoneLost);
    if (source == &video) {
      // Undamaged, every byte goes out, the first picture keeps the packer's
      // stamp, and the last picture ends as many pictures of 25 a second later.
      std::size_t pictures = 0;
      for (std::size_t at = 0; (at = video.find(Bytes("\0\0\1\0", 4), at)) != Bytes::npos; ++at) ++pictures;
      EXPECT_TRUE(
          isPrefix(video + "|first 90000 base 90000 end " + std::to_string(pictures * 3600) + " shifts 0 0", whole));
    }
    for (const Pieces pieces : kEveryPieces) {
      EXPECT_EQ(cleanRun(packets, pieces, kNoneLost), whole);
      EXPECT_EQ(cleanRun(packets, pieces, kNoneLost, false), whole);
    }
    // Damaged, pictures are dropped, and the ones after it shown earlier;
    // the packets lost end a group in different places: of the open groups,
    // in every picture.
    const std::size_t places = source == &video ? 6 : 30, step = source == &video ? 1 : 4;
    for (std::size_t lost = packets.size() / 3; lost < packets.size() / 3 + places * step; lost += step) {
      SCOPED_TRACE("lost from packet " + std::to_string(lost));
      const std::string damaged = cleanRun(packets, Pieces::Whole, lost);
      EXPECT_NE(damaged, whole);
      if (source == &video) {
        EXPECT_NE(damaged.find(" cut ", damaged.rfind("|first")), std::string::npos);
      }
      if (source == &openGroups) expectGroupsNumberedWithoutGaps(damaged);
      for (const Pieces pieces : kEveryPieces) {
        EXPECT_EQ(cleanRun(packets, pieces, lost), damaged);
        // Written as it comes, taken back and numbered anew in the file.
        EXPECT_EQ(cleanRun(packets, pieces, lost, false), damaged);
      }
    }
  }
}

TEST(VideoStages, FirstPictureIsTheSameInAnyPieces) {
  for (const Pieces pieces : kEveryPieces) {
    PictureClock clock(PictureClock::Follows::FirstPicture);
    feed(videoPackets(sourceVideo()), pieces, clock);
    clock.finish();
    EXPECT_TRUE(clock.firstPicture().known) << clock.firstPicture().missing;
    EXPECT_EQ(clock.firstPicture().ticks, 90000u);
  }
}

// The time line believes a new shift once two pictures in a row have it, or
// the one that has it is the last before a cut, or after one; a moment whose
// pictures were lost goes with the next picture shown.
TEST(VideoStages, TimeLineTrustsAShiftTwoPicturesShare) {
  const struct {
    const char* name;
    std::vector<std::array<std::int64_t, 2>> pictures;  // stamp, shift
    std::int64_t shiftAt7200;
    std::size_t cutAfter = SIZE_MAX;  // the video is cut after this picture
  } cases[] = {
      {"in step", {{0, 0}, {3600, 0}, {7200, 0}, {10800, 0}}, 0},
      {"one moved alone", {{0, 0}, {3600, 0}, {7200, 5000}, {10800, 0}}, 0},
      {"two moved alike", {{0, 0}, {3600, 0}, {7200, 5000}, {10800, 5000}}, 5000},
      {"two moved unlike", {{0, 0}, {3600, 0}, {7200, 5000}, {10800, 9000}}, 0},
      {"pictures lost", {{0, 0}, {3600, 0}, {14400, 7200}, {18000, 7200}}, 7200},
      // No picture after it can agree: the last before a cut, or after one at the end.
      {"the last before a cut moved alone", {{0, 0}, {3600, 0}, {7200, 5000}, {10800, 0}}, 5000, 2},
      {"the last, after a cut, moved alone", {{0, 0}, {3600, 0}, {7200, 5000}}, 5000, 1},
      {"the last moved alone, no cut: the end cut its group short", {{0, 0}, {3600, 0}, {7200, 5000}}, 0},
  };
  for (const auto& c : cases) {
    VideoTimeline timeline;
    for (std::size_t i = 0; i < c.pictures.size(); ++i) {
      timeline.add(c.pictures[i][0], c.pictures[i][1], 3600);
      if (i == c.cutAfter) timeline.noneAfter();
    }
    timeline.ended();
    EXPECT_EQ(timeline.shiftAt(7200), c.shiftAt7200) << c.name;
  }
}

// The fields a frame picture is shown for, by its coding extension's
// top_field_first (0x80) and repeat_first_field (0x02): film at a higher rate
// repeats a field, a progressive sequence whole frames.
TEST(VideoStages, FieldsAPictureIsShownFor) {
  const struct {
    unsigned char flags;
    bool progressiveSequence;
    unsigned fields;
  } cases[] = {{0x00, false, 2}, {0x80, false, 2}, {0x02, false, 3},
               {0x82, false, 3}, {0x02, true, 4},  {0x82, true, 6}};
  for (const auto& c : cases) {
    const unsigned char extension[8] = {0, 0, 1, kExtensionStart, 0x80, 0, 0, c.flags};
    EXPECT_EQ(fieldsShown(repeatFlags(extension), c.progressiveSequence), c.fields)
        << int{c.flags} << c.progressiveSequence;
  }
}

}  // namespace
}  // namespace korvat::test
