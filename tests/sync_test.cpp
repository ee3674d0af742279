// Damaged recordings split with -r come out in sync: the audio that survived
// is moved with the video that survived, by silent frames and dropped ones.
// What korvat must write is worked out here from what the packing tool says
// each damaged stretch took, picture by picture and frame by frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>

#include "audio/ac3_format.h"
#include "audio/mpeg_audio_format.h"
#include "format/ac3.h"
#include "format/mpeg.h"
#include "format/mpeg_audio.h"
#include "format/pes_packet.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

const unsigned char* bytesOf(const Bytes& bytes, std::size_t at) {
  return reinterpret_cast<const unsigned char*>(&bytes[at]);
}

// A unit of a video: from a sequence header, group or picture start code (or
// a sequence end) up to the next.
struct Unit {
  Bytes bytes;
  std::size_t at;
  bool picture = false, bidirectional = false;
  std::int64_t display = 0;  // of a picture: counted from the first group's first picture
};

std::vector<Unit> unitsOf(const Bytes& video) {
  std::vector<Unit> units;
  std::int64_t groupBase = 0, groupSize = 0;
  for (std::size_t at = 0; (at = video.find(Bytes("\0\0\1", 3), at)) != Bytes::npos && at + 8 <= video.size(); ++at) {
    const auto code = static_cast<unsigned char>(video[at + 3]);
    if (code != kPictureStart && code != kSequenceHeader && code != kGroupStart && code != kSequenceEnd) continue;
    if (!units.empty()) units.back().bytes = video.substr(units.back().at, at - units.back().at);
    units.push_back({"", at});
    if (code == kGroupStart) groupBase += groupSize, groupSize = 0;
    if (code != kPictureStart) continue;
    const std::int64_t reference = temporalReference(bytesOf(video, at));
    units.back().picture = true;
    units.back().bidirectional = pictureCodingType(bytesOf(video, at)) == kBidirectionalPicture;
    units.back().display = groupBase + reference;
    groupSize = std::max(groupSize, reference + 1);
  }
  if (!units.empty()) units.back().bytes = video.substr(units.back().at);
  return units;
}

// Whether an output unit is the source's: the same bytes, but for the
// temporal reference of a picture, which the clean cut may number anew.
bool sameUnit(const Bytes& out, const Bytes& source) {
  if (out.size() != source.size() || out.size() < kPictureHeaderBytes || out[3] != '\0') return out == source;
  return out.compare(0, 4, source, 0, 4) == 0 && ((out[5] ^ source[5]) & 0x3F) == 0 &&
         out.compare(6, Bytes::npos, source, 6, Bytes::npos) == 0;
}

// The units of the source that the output video holds, in its order. Each
// must be one of the source, whole, in the source's order; the video begins
// with a sequence header; no picture that damage touched is written, nor one
// whose reference pictures were not. A group numbers the pictures it shows
// from 0 and without a gap, in the source's order, also when it lost the
// B-pictures shown before its I-picture, or pictures to damage.
std::vector<Unit> sourceUnitsIn(const Bytes& out, const Bytes& source, const pack::Intact& intact) {
  EXPECT_TRUE(isPrefix(Bytes("\0\0\1\xB3", 4), out));
  const std::vector<Unit> units = unitsOf(source);
  std::vector<Unit> found;
  std::vector<bool> written(units.size());
  std::size_t next = 0;
  // Each, such as a repeated sequence header, that of the source next in
  // order whose bytes all arrived.
  const auto arrived = [&](const Unit& unit) {
    return std::any_of(intact.videoPieces.begin(), intact.videoPieces.end(), [&](const auto& piece) {
      return piece.first <= unit.at && unit.at + unit.bytes.size() <= piece.second;
    });
  };
  // Of the output group in hand: each picture's reference in the source, and in the output.
  std::vector<std::pair<std::int64_t, std::int64_t>> references;
  const auto checkGroup = [&] {
    std::sort(references.begin(), references.end());
    std::int64_t rank = -1;  // a picture that came twice is shown twice, with one number
    for (std::size_t i = 0; i < references.size(); ++i) {
      if (i == 0 || references[i].first != references[i - 1].first) ++rank;
      EXPECT_EQ(references[i].second, rank) << "source " << references[i].first;
    }
    references.clear();
  };
  for (const Unit& unit : unitsOf(out)) {
    if (unit.bytes.compare(0, 4, Bytes("\0\0\1\xB8", 4)) == 0) checkGroup();
    while (next < units.size() && (!sameUnit(unit.bytes, units[next].bytes) || !arrived(units[next]))) ++next;
    if (next == units.size()) {
      ADD_FAILURE() << "no unit of the source that arrived whole, in order, at byte " << unit.at << " of the video";
      break;
    }
    const Unit& from = units[next];
    written[next] = true;
    found.push_back(from);
    if (unit.picture) {
      references.push_back({temporalReference(bytesOf(from.bytes, 0)), temporalReference(bytesOf(unit.bytes, 0))});
    }
    if (from.picture) {
      // A P-picture refers to the last picture before it that is no
      // B-picture, a B-picture to the last two.
      std::size_t references = from.bidirectional ? 2 : pictureCodingType(bytesOf(from.bytes, 0)) == 2 ? 1 : 0;
      for (std::size_t i = next; references > 0 && i-- > 0;) {
        if (!units[i].picture || units[i].bidirectional) continue;
        EXPECT_TRUE(written[i]) << "a picture whose reference was not written, at byte " << from.at;
        --references;
      }
    }
    ++next;
  }
  checkGroup();
  return found;
}

// The moments of the source that the output video shows, in the order it
// shows them: a player shows a B-picture when it comes, any other when the
// next that is no B-picture comes.
std::vector<std::int64_t> shownDisplays(const std::vector<Unit>& units) {
  std::vector<std::int64_t> shown;
  std::int64_t held = -1;
  for (const Unit& unit : units) {
    if (!unit.picture) continue;
    if (unit.bidirectional) {
      shown.push_back(unit.display);
    } else {
      if (held >= 0) shown.push_back(held);
      held = unit.display;
    }
  }
  if (held >= 0) shown.push_back(held);
  return shown;
}

// A track's frames as the tests trace them: their format, how long each
// plays, and whether a frame that is none of the source's is one of silence
// in the stream of `like`.
struct FrameKind {
  const AudioFrameFormat& format;
  std::int64_t ticks;
  bool (*silent)(const Bytes& frame, const Bytes& like);
};

// MPEG audio: a header without CRC and a body of zeros. AC3: the layout and
// length of the frames around it, and CRCs that hold.
bool silentMpegAudio(const Bytes& frame, const Bytes&) {
  return (frame[1] & 1) && frame.find_first_not_of('\0', 4) == Bytes::npos;
}
bool silentAc3(const Bytes& frame, const Bytes& like) {
  Ac3Layout a, b;
  return Ac3Layout::parse(bytesOf(frame, 0), a) && Ac3Layout::parse(bytesOf(like, 0), b) &&
         std::tie(a.length, a.bsid, a.acmod, a.lfe) == std::tie(b.length, b.bsid, b.acmod, b.lfe) &&
         ac3CrcsHold(bytesOf(frame, 0), a.length);
}
const MpegAudioFormat kMpegAudio;
const Ac3Format kAc3;
const FrameKind kMp2Frames = {kMpegAudio, 2160, silentMpegAudio};  // 1152 samples at 48 kHz
const FrameKind kAc3Frames = {kAc3, 2880, silentAc3};              // 1536 samples at 48 kHz

// The output audio as frames of the source, each whole and in source order,
// or silent ones: for each the source frame it is, or -1.
std::vector<std::int64_t> framesIn(const Bytes& out, const Bytes& source, const FrameKind& kind = kMp2Frames) {
  const std::size_t headerSize = kind.format.headerSize();
  std::vector<Bytes> frames;
  FrameHeader header;
  for (std::size_t at = 0; at + headerSize <= source.size() && kind.format.parse(bytesOf(source, at), header);
       at += header.length)
    frames.push_back(source.substr(at, header.length));
  std::vector<std::int64_t> result;
  std::size_t next = 0, at = 0;
  for (; at + headerSize <= out.size() && kind.format.parse(bytesOf(out, at), header); at += header.length) {
    const Bytes frame = out.substr(at, header.length);
    const auto found = std::find(frames.begin() + static_cast<std::ptrdiff_t>(next), frames.end(), frame);
    if (found != frames.end()) {
      next = static_cast<std::size_t>(found - frames.begin()) + 1;
      result.push_back(static_cast<std::int64_t>(next) - 1);
    } else {
      EXPECT_TRUE(kind.silent(frame, frames.at(0)))
          << "an audio frame neither of the source nor silent, at byte " << at;
      result.push_back(-1);
    }
  }
  EXPECT_EQ(at, out.size()) << "the audio does not end with a whole frame";
  return result;
}

constexpr std::int64_t kPicture = 3600;  // 25 pictures a second
constexpr std::int64_t kPastTheEnd = std::numeric_limits<std::int64_t>::max(), kLost = kPastTheEnd - 1;

// Where the video shows the sound of a frame of `ticks` at `moment`: with
// the picture of the moment in its middle (before the first, as far before
// it), and nowhere when that picture was lost.
std::int64_t whereShown(const std::vector<std::int64_t>& shown, std::int64_t moment, std::int64_t ticks) {
  const std::int64_t middle = moment + ticks / 2;
  std::int64_t latest = -1;  // a picture shown after a later one tells nothing
  for (std::size_t rank = 0; rank < shown.size(); ++rank) {
    if (shown[rank] <= latest) continue;
    latest = shown[rank];
    if (shown[rank] * kPicture > middle && rank > 0) return kLost;
    if ((shown[rank] + 1) * kPicture > middle)
      return static_cast<std::int64_t>(rank) * kPicture + moment - shown[rank] * kPicture;
  }
  return kPastTheEnd;
}

// The line that tells a delay of so many ticks.
std::string delayLine(const std::string& of, std::int64_t delay) {
  return "audio delay" + of + ": " + (delay < 0 ? "-" : "+") + std::to_string((std::abs(delay) + 45) / 90) + " ms\n";
}

// A track in step with the video: it begins where its delay line (`of`
// names its file) says, counted from the first picture, and every frame of
// the source, `heard` in the output, plays within half a frame of where its
// moment is shown, also the first after a loss that left no trace but the
// stamps. `delay0`: how much later the track's first frame is stamped than
// the first picture.
void expectInStep(const std::string& err, const std::string& of, const std::vector<std::int64_t>& heard,
                  const std::vector<std::int64_t>& shown, std::int64_t delay0, std::int64_t frame) {
  const std::int64_t delay = delay0 + heard[0] * frame - shown[0] * kPicture;
  EXPECT_NE(err.find(delayLine(of, delay)), std::string::npos) << err;
  for (std::size_t j = 0; j < heard.size(); ++j) {
    if (heard[j] < 0) continue;
    const std::int64_t shownAt = whereShown(shown, delay0 + heard[j] * frame, frame);
    if (shownAt == kPastTheEnd) continue;
    EXPECT_TRUE(shownAt != kLost && std::abs(delay + static_cast<std::int64_t>(j) * frame - shownAt) <= frame / 2)
        << "source frame " << heard[j] << " is frame " << j << " of the output";
  }
}

// The video with its picture `i` (in stream order) twice over: as two
// pictures, or as the top and the bottom field of one frame.
Bytes repeated(const Bytes& video, std::size_t i, bool fields) {
  std::vector<Unit> pictures;
  for (const Unit& unit : unitsOf(video)) {
    if (unit.picture) pictures.push_back(unit);
  }
  const Unit& picture = pictures[i];
  Bytes top = picture.bytes, bottom = top;
  const std::size_t structure = top.find(Bytes("\0\0\1\xB5", 4)) + 6;  // of its coding extension
  if (fields) {
    top[structure] ^= 2;     // a frame (3) made the top field (1)
    bottom[structure] ^= 1;  // and the bottom one (2)
  }
  return video.substr(0, picture.at) + top + bottom + video.substr(picture.at + picture.bytes.size());
}

// About `bytes` lost from `from` on, from inside one packet to inside another.
// The stretch begins near the start of its first packet and ends near the
// end of its last, so that -r cannot take what is left of the first for a
// whole packet followed by damage. Of stream `only`, exactly one packet.
pack::LostStretch stretch(const Bytes& recording, std::uint64_t from, std::uint64_t bytes, int only = 0) {
  std::vector<PacketView> packets;
  forEachPacket(recording, [&](const PacketView& packet) { packets.push_back(packet); });
  auto first = std::find_if(packets.begin(), packets.end(),
                            [&](const PacketView& p) { return p.offset >= from && (only == 0 || p.streamId == only); });
  if (only != 0) return {first->offset, 8u + first->length};
  auto last = std::find_if(first, packets.end(), [&](const PacketView& p) { return p.offset >= from + bytes; });
  return {first->offset + 12, last->offset - 20 - first->offset - 12};
}

// With -p -r, each parting is told where -r cuts the video: at a picture
// of the output after which the source's pictures do not follow on.
void expectPartedWhereCut(const TempDir& dir, const std::string& err, const Bytes& source, const pack::Intact& intact) {
  TempDir cut;
  cut.write("rec", dir.read("rec"));
  ASSERT_EQ(runKorvat(cut, {"-r", "rec"}).status, 0);
  const std::vector<std::int64_t> shown = shownDisplays(sourceUnitsIn(cut.read("rec.m2v"), source, intact));
  std::vector<std::string> cuts;
  for (std::size_t rank = 1; rank < shown.size(); ++rank) {
    if (shown[rank] == shown[rank - 1] + 1) continue;
    const std::size_t ms = rank * 40;  // under a minute
    cuts.push_back("00:00:" + std::to_string(100 + ms / 1000).substr(1) + "." +
                   std::to_string(1000 + ms % 1000).substr(1) + ":");
  }
  const std::string line = "audio and video parted at ";
  std::size_t told = 0;
  for (std::size_t at = 0; (at = err.find(line, at)) != std::string::npos; at += line.size()) {
    if (err.compare(at + line.size(), 3, "00:") != 0) continue;  // the summary
    ++told;
    EXPECT_NE(std::find(cuts.begin(), cuts.end(), err.substr(at + line.size(), 13)), cuts.end()) << err;
  }
  EXPECT_GT(told, 0u);
}

// Through every damaged stretch the audio moves with the video: the video
// is whole units of the source, the audio whole frames of it or silent ones,
// and every frame kept is heard within half a frame of where the video shows
// its moment. Where the stamps that a repair needs are missing, and with -p,
// the audio stays as the intact packets had it; standard error says why, or
// (-p) how far the two parted.
TEST(Sync, TheAudioFollowsTheVideoThroughTheDamage) {
  struct Case {
    const char* name;
    const Bytes* video;
    bool pesAtFrames;
    unsigned spanPercent;
    std::vector<std::array<std::uint64_t, 3>> lost;  // as stretch() takes them
    std::array<std::uint64_t, 3> counts;             // silent frames inserted, frames dropped, pictures dropped
    std::uint64_t audioClock = 94320;
    std::string line = "";  // that standard error holds
    unsigned prefixPercent = 100;
    bool audioTimeStamps = true, pes = false;  // -p
  };
  const Bytes *noB = &sourceVideo(), *withB = &sourceVideoWithB();
  // A frame stamped within picture 4's time goes with its first showing.
  const Bytes twice = repeated(sourceVideo(), 4, false);
  const std::vector<std::array<std::uint64_t, 3>> cutAndLost = {{150000, 9000, 0}, {200000, 0, 2}};
  const std::string noVideoStamp = "audio not repaired: video: no picture has a time stamp\n";
  const std::string noAudioStamp = "audio not repaired: the first audio frame has no time stamp\n";
  const std::string lostCleanly =
      "audio repair at 00:00:00.336: 4 audio frames lost, 4 silent frames inserted, 0 frames dropped, 0 pictures "
      "dropped, offset left +0 ms\n";
  const std::string parted =
      "audio and video parted at 00:00:01.840: audio off by +512 ms, 2 audio frames lost, 14 pictures dropped\n"
      "audio and video parted at 1 damaged stretches, 14 pictures dropped; -p leaves the "
      "audio as it came, offset at the end +512 ms\n";
  const std::string partedThrice =
      "audio and video parted at 00:00:00.360: audio off by +456 ms, 6 audio frames lost, 12 pictures dropped\n"
      "audio and video parted at 00:00:00.680: audio off by +856 ms, 10 audio frames lost, 11 pictures dropped\n"
      "audio and video parted at 2 damaged stretches, 23 pictures dropped; -p leaves";
  const std::vector<std::array<std::uint64_t, 3>> three = {{60000, 12000, 0}, {200000, 31000, 0}, {250000, 3000, 0}};
  const std::vector<Case> cases = {
      {"no B-pictures, three stretches", noB, false, 0, three, {16, 52, 23}},
      {"B-pictures, whole frames per packet", withB, true, 0, {{30000, 9000, 0}, {140000, 4000, 0}}, {4, 52, 28}},
      {"B-pictures, packets over two", withB, false, 50, {{50000, 20000, 0}, {120000, 3000, 0}}, {14, 55, 26}},
      {"an audio packet lost cleanly", withB, false, 0, {{60000, 0, 2}}, {4, 0, 0}, 94320, lostCleanly},
      {"a picture that came twice, shown twice", &twice, false, 0, {{100000, 0, 2}}, {5, 0, 0}},
      {"the audio 200 ms ahead, lost before its last frame", withB, false, 0, {{258000, 1000, 0}}, {5, 0, 1}, 72000},
      {"the audio 200 ms ahead, lost with its last frames", withB, false, 0, {{260000, 1000, 0}}, {0, 0, 1}, 72000},
      {"no stamp on the video", withB, false, 0, cutAndLost, {}, 94320, noVideoStamp, 0},
      {"no stamp on the audio", withB, false, 0, cutAndLost, {}, 94320, noAudioStamp, 100, false},
      {"a fifth of the video stamped",
       withB,
       false,
       0,
       {{40000, 6000, 0}, {110000, 3000, 0}},
       {6, 47, 28},
       94320,
       "",
       20},
      {"-p", withB, false, 0, cutAndLost, {}, 94320, parted, 100, true, true},
      {"-p, three stretches", noB, false, 0, three, {}, 94320, partedThrice, 100, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pack::PackOptions options;
    options.prefixPercent = c.prefixPercent;
    options.audioTimeStamps = c.audioTimeStamps;
    options.pesAtFrames = c.pesAtFrames;
    options.spanPercent = c.spanPercent;
    options.audioClock = c.audioClock;
    const Bytes undamaged = packRecording(*c.video, sourceAudio(), options);
    for (const auto& [from, bytes, only] : c.lost)
      options.damage.lost.push_back(stretch(undamaged, from, bytes, static_cast<int>(only)));
    pack::Intact intact;
    TempDir dir;
    dir.write("rec", packRecording(*c.video, sourceAudio(), options, nullptr, &intact));
    ASSERT_FALSE(intact.lostFrames.empty());
    const bool repaired = c.prefixPercent > 0 && c.audioTimeStamps && !c.pes;

    const Outcome run =
        runKorvat(dir, c.pes ? std::vector<std::string>{"-r", "-p", "rec"} : std::vector<std::string>{"-r", "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(summary(intact.damagedStretches, intact.damagedBytes)), std::string::npos);
    const Bytes video = dir.read("rec.m2v"), audio = dir.read("rec.mp2");
    const std::vector<Unit> units = sourceUnitsIn(video, *c.video, intact);
    // The first pass's lines count the video written and nothing taken back
    // later: never more than in the end, which is all of it.
    std::uint64_t most = 0, last = 0;
    for (std::size_t at = 0; (at = run.out.find(" kb) video, ", at)) < run.out.find(kEndOfInput); ++at) {
      most = std::max(most, last = std::stoull(run.out.substr(run.out.rfind('(', at) + 1)));
    }
    EXPECT_EQ(most, video.size() >> 10);
    EXPECT_EQ(last, video.size() >> 10);
    if (!repaired) {
      EXPECT_TRUE(audio == (c.pes ? intact.pes : intact.audio));
    }
    std::size_t lines = 0;  // one for each repair, which the summary counts
    for (std::size_t at = 0; (at = run.err.find("audio repair at ", at)) != std::string::npos; ++at) ++lines;
    const std::string counts = "audio repairs: " + std::to_string(lines) + ", " + std::to_string(c.counts[0]) +
                               " silent frames inserted, " + std::to_string(c.counts[1]) + " frames dropped, " +
                               std::to_string(c.counts[2]) + " pictures dropped; offset at the end ";
    EXPECT_EQ(run.err.find(counts) != std::string::npos, repaired) << counts << "\n" << run.err;
    EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
    if (c.pes) expectPartedWhereCut(dir, run.err, *c.video, intact);
    if (!repaired) continue;

    const std::vector<std::int64_t> shown = shownDisplays(units);
    const std::vector<std::int64_t> heard = framesIn(audio, sourceAudio());
    ASSERT_FALSE(heard.empty());
    ASSERT_GE(heard[0], 0);
    expectInStep(run.err, "", heard, shown, static_cast<std::int64_t>(options.audioClock) - options.videoClock,
                 kMp2Frames.ticks);
    // What is left over is less than a frame: the summary and each repair say so.
    for (const std::string& left : {std::string("offset at the end "), std::string("offset left ")}) {
      for (std::size_t at = 0; (at = run.err.find(left, at)) != std::string::npos; ++at)
        EXPECT_LE(std::abs(std::stoi(run.err.substr(at + left.size()))), 24) << run.err;
    }
  }
}

// Every track is kept in step with the video as the audio file is: AC3 and a
// second MPEG audio stream, each beginning at a moment of its own, through
// short losses and an outage, and left as they came where nothing was lost.
TEST(Sync, EveryTrackFollowsTheVideo) {
  const Bytes ac3 = syntheticAc3(100 * 256, 11), second = pack::syntheticAudio(140 * 576, 12);
  const struct {
    const char* file;
    const Bytes& source;
    const FrameKind& kind;
    std::int64_t start;  // after the audio file's, in ticks
    std::string of;      // in its lines
  } tracks[] = {{"rec.mp2", sourceAudio(), kMp2Frames, 0, ""},
                {"rec.ac3", ac3, kAc3Frames, -64 * 90, " of 'rec.ac3'"},
                {"rec.c2.mp2", second, kMp2Frames, 100 * 90, " of 'rec.c2.mp2'"}};
  const struct {
    const char* name;
    std::vector<std::array<std::uint64_t, 3>> lost;  // as stretch() takes them
  } cases[] = {{"no damage", {}},
               {"three short losses", {{60000, 12000, 0}, {200000, 31000, 0}, {250000, 3000, 0}}},
               {"an outage", {{80000, 150000, 0}}},
               {"audio packets lost without a trace", {{60000, 0, 2}, {90000, 0, 2}, {120000, 0, 2}, {150000, 0, 2}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pack::PackOptions options;
    options.tracks = {{0xBD, ac3, tracks[1].start}, {0xC2, second, tracks[2].start}};
    const Bytes undamaged = packRecording(sourceVideoWithB(), sourceAudio(), options);
    for (const auto& [from, bytes, only] : c.lost)
      options.damage.lost.push_back(stretch(undamaged, from, bytes, static_cast<int>(only)));
    pack::Intact intact;
    TempDir dir;
    dir.write("rec", packRecording(sourceVideoWithB(), sourceAudio(), options, nullptr, &intact));
    // Packets lost without a trace are no damaged stretch: no video is cut, nor parted from.
    const bool damaged = std::any_of(c.lost.begin(), c.lost.end(), [](const auto& lost) { return lost[2] == 0; });
    const Outcome run = runKorvat(dir, {"-r", "rec"});
    EXPECT_EQ(run.status, 0);
    const std::vector<std::int64_t> shown =
        shownDisplays(sourceUnitsIn(dir.read("rec.m2v"), sourceVideoWithB(), intact));
    for (const auto& track : tracks) {
      SCOPED_TRACE(track.file);
      const Bytes audio = dir.read(track.file);
      if (c.lost.empty()) {
        EXPECT_TRUE(audio == track.source);
      }
      const std::vector<std::int64_t> heard = framesIn(audio, track.source, track.kind);
      ASSERT_FALSE(heard.empty());
      ASSERT_GE(heard[0], 0);
      expectInStep(run.err, track.of, heard, shown,
                   static_cast<std::int64_t>(options.audioClock) + track.start - options.videoClock, track.kind.ticks);
      // Each track's lines name its file; the summary counts them.
      const std::string in = track.of.empty() ? "" : track.of.substr(4);
      const std::string line = "audio repair" + (in.empty() ? "" : " in " + in) + " at ";
      std::size_t lines = 0;
      for (std::size_t at = 0; (at = run.err.find(line, at)) != std::string::npos; ++at) ++lines;
      if (c.lost.empty() || damaged) {
        EXPECT_EQ(lines > 0, damaged);
      }
      const std::string summary =
          "audio repairs" + (in.empty() ? "" : " in " + in) + ": " + std::to_string(lines) + ", ";
      EXPECT_NE(run.err.find(summary), std::string::npos) << summary << "\n" << run.err;
    }
    // -p leaves every track as it came, and tells where each parted from the video.
    const Outcome pes = runKorvat(dir, {"-r", "-p", "rec", "rec.mpp", "pes.m2v"});
    EXPECT_EQ(pes.status, 0);
    for (const std::string noun : {"\naudio and", "\naudio track bd and", "\naudio track c2 and"}) {
      std::size_t lines = 0;  // a line at each parting, and the summary
      for (std::size_t at = 0; (at = ("\n" + pes.err).find(noun + " video parted at ", at)) != std::string::npos; ++at)
        ++lines;
      EXPECT_EQ(lines > 1, damaged) << noun << "\n" << pes.err;
      EXPECT_GE(lines, 1u);
    }
  }
}

// The video with every frame picture made two field pictures, top then bottom.
Bytes asFields(const Bytes& video) {
  Bytes fields;
  for (const Unit& unit : unitsOf(video)) {
    if (!unit.picture) {
      fields += unit.bytes;
      continue;
    }
    Bytes top = unit.bytes, bottom = top;
    const std::size_t structure = top.find(Bytes("\0\0\1\xB5", 4)) + 6;  // of its coding extension
    top[structure] ^= 2;
    bottom[structure] ^= 1;
    fields += top + bottom;
  }
  return fields;
}

// The video with the frame rate code of its sequence headers set to `code`.
Bytes atRate(Bytes video, char code) {
  for (std::size_t at = 0; (at = video.find(Bytes("\0\0\1\xB3", 4), at)) != Bytes::npos; at += 4)
    video[at + 7] = static_cast<char>((video[at + 7] & 0xF0) | code);
  return video;
}

// Film carried at 29.97 pictures a second by 3:2 pulldown: every other
// picture repeats its first field.
Bytes pulledDown(const Bytes& video) {
  Bytes film = atRate(video, 4);
  bool repeat = false;
  for (std::size_t at = 0; (at = film.find(Bytes("\0\0\1\xB5", 4), at)) != Bytes::npos; at += 4) {
    if (!isPictureCodingExtension(bytesOf(film, at))) continue;
    film[at + 7] = static_cast<char>(repeat ? film[at + 7] | 0x02 : film[at + 7] & ~0x02);
    film[at + 8] = static_cast<char>(film[at + 8] | 0x80);  // progressive_frame, which a repeat needs
    repeat = !repeat;
  }
  return film;
}

// The video that begins with a closed group of its first picture alone, then
// goes on with its first open group, as an encoder writes a scene change at
// the second picture.
Bytes onePictureFirst(const Bytes& video) {
  const std::vector<Unit> units = unitsOf(video);
  Bytes first;
  std::size_t groups = 0;
  for (const Unit& unit : units) {
    groups += unit.bytes.compare(0, 4, Bytes("\0\0\1\xB8", 4)) == 0;
    if (groups == 1 && first.find(Bytes("\0\0\1\0", 4)) != Bytes::npos && unit.picture) continue;
    if (groups == 2 && (unit.bytes[3] == '\xB3')) continue;
    first += unit.bytes;
  }
  return first;
}

// MPEG-1 Layer II at 44.1 kHz, 192 kbit/s, without CRC: frames of 626 bytes
// and a padded one of 627 as often as the rate needs; the bodies are noise.
Bytes audioAt44100(std::size_t frames) {
  const Bytes noise = pack::randomBytes(627 * frames, 44);
  Bytes audio;
  std::uint32_t rest = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    rest += 144 * 192000 % 44100;
    const bool padded = rest >= 44100;
    if (padded) rest -= 44100;
    audio += Bytes(padded ? "\xFF\xFD\xA2\x00" : "\xFF\xFD\xA0\x00", 4) + noise.substr(627 * i, padded ? 623 : 622);
  }
  return audio;
}

// Where nothing was lost, -r writes what the default mode writes, byte for
// byte, repairs nothing and tells the same delay: over the kinds of stream
// broadcasts carry, each packed with a few seeds, so that the first picture
// is stamped in some and not in others.
TEST(Sync, NoDamageNoRepair) {
  const Bytes &noB = sourceVideo(), &withB = sourceVideoWithB();
  const Bytes garbled = "garbled";  // in the first sequence header of the recording: its rate code says 29.97
  const struct {
    const char* name;
    Bytes video;
    Bytes audio;
    unsigned prefixPercent;
    Bytes change = "";
    bool delayKnown = true;  // a first group of one picture stamps it only where its one packet does
  } cases[] = {
      {"no B-pictures, closed groups", noB, sourceAudio(), 50},
      {"B-pictures, open groups", withB, sourceAudio(), 50},
      {"a first group of one picture", onePictureFirst(withB), sourceAudio(), 50, "", false},
      {"field pictures", asFields(noB), sourceAudio(), 50},
      {"3:2 pulldown", pulledDown(withB), sourceAudio(), 50},
      {"25 then 29.97 a second", withB + atRate(withB, 4), sourceAudio() + sourceAudio(), 50},
      {"one header's rate code garbled", withB + withB, sourceAudio() + sourceAudio(), 50, garbled},
      {"a fifth of the video stamped", withB, sourceAudio(), 20},
      {"44.1 kHz audio", withB, audioAt44100(100), 50},
  };
  for (const auto& c : cases) {
    for (const std::uint64_t seed : {1, 2, 3}) {
      SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
      pack::PackOptions options;
      options.seed = seed;
      options.prefixPercent = c.prefixPercent;
      Bytes recording = packRecording(c.video, c.audio, options);
      if (!c.change.empty()) recording[recording.find(Bytes("\0\0\1\xB3", 4)) + 7] ^= 0x03 ^ 0x04;
      TempDir plain, repair;
      plain.write("rec", recording);
      repair.write("rec", recording);
      const Outcome asItCame = runKorvat(plain, {"rec"});
      const Outcome repaired = runKorvat(repair, {"-r", "rec"});
      EXPECT_EQ(asItCame.status, 0);
      EXPECT_EQ(repaired.status, 0);
      EXPECT_TRUE(repair.read("rec.m2v") == plain.read("rec.m2v"));
      EXPECT_TRUE(repair.read("rec.mp2") == plain.read("rec.mp2"));
      EXPECT_EQ(repaired.err.find("audio repair at"), std::string::npos) << repaired.err;
      EXPECT_NE(repaired.err.find("audio repairs: 0, "), std::string::npos) << repaired.err;
      const std::size_t delay = asItCame.err.find("audio delay: ");
      ASSERT_NE(delay, std::string::npos);
      if (c.delayKnown) {
        EXPECT_NE(asItCame.err.compare(delay, 21, "audio delay: unknown "), 0) << asItCame.err;
      }
      EXPECT_NE(repaired.err.find(asItCame.err.substr(delay)), std::string::npos) << repaired.err;
    }
  }
}

// Adds `delta` ticks to the stamps of a recording: to those of `count`
// packets from `from` on (counted among the stamped ones of each stream); of
// video prefixes, audio PES headers, or both.
Bytes restamped(Bytes recording, int which, std::size_t from, std::size_t count, std::int64_t delta) {
  std::size_t video = 0, audio = 0;
  forEachPacket(recording, [&](const PacketView& packet) {
    unsigned char* payload = reinterpret_cast<unsigned char*>(&recording[packet.offset + 8]);
    if (packet.streamId == 1 && (packet.flags & 0x10) && (which & 1)) {
      const std::size_t n = video++;
      if (n >= from && n - from < count) {
        const auto stamp = static_cast<std::uint32_t>(bigEndian32(payload) + delta);
        for (int i = 0; i < 4; ++i) payload[i] = static_cast<unsigned char>(stamp >> (24 - 8 * i));
      }
    } else if (packet.streamId == 2 && (which & 2) && pes::hasStartCode(payload) && pes::hasPresentationTime(payload)) {
      const std::size_t n = audio++;
      if (n >= from && n - from < count) {
        const Bytes field = pack::ptsField(pes::presentationTime(payload) + delta);
        std::copy(field.begin(), field.end(), payload + 9);
      }
    }
  });
  return recording;
}

// Stamps that lie without damage (a garbled one, a clock that restarts) move
// nothing, nor does a frame in two fields: the audio comes out whole, as it
// went in, and the delay holds.
TEST(Sync, StampsThatLieWithoutDamage) {
  struct Case {
    const char* name;
    int which;  // 1 video, 2 audio, 3 both
    std::size_t from;
    std::size_t count;  // of stamps changed
    std::int64_t delta;
    bool fields = false;    // a picture of the video in two fields
    const char* line = "";  // that standard error holds
  };
  constexpr std::size_t kAll = SIZE_MAX;
  const std::vector<Case> cases = {
      {"one audio stamp 30 s late", 2, 20, 1, 30 * 90000},
      {"one video stamp 20 s late", 1, 40, 1, 20 * 90000},
      {"three video stamps in a row 20 s late", 1, 40, 3, 20 * 90000},
      {"the clock restarts 2 s back", 3, 40, kAll, -2 * 90000},
      {"the first video stamp 10 s late", 1, 0, 1, 10 * 90000},
      {"the first audio stamp 10 s late", 2, 0, 1, 10 * 90000},
      {"the audio's clock 2 minutes ahead from a packet on", 2, 20, kAll, 120 * 90000, false,
       "audio not repaired at 00:00:01.152: its time stamps lie -120000 ms from the video's\n"},
      {"a picture in two fields", 0, 0, 1, 0, true},
  };
  pack::PackOptions options;
  options.prefixPercent = 100;
  const Bytes recording = packRecording(sourceVideoWithB(), sourceAudio(), options);
  const Bytes inFields = packRecording(repeated(sourceVideoWithB(), 5, true), sourceAudio(), options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("rec", restamped(c.fields ? inFields : recording, c.which, c.from, c.count, c.delta));
    const Outcome run = runKorvat(dir, {"-r", "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
    EXPECT_TRUE(dir.read("rec.mp2") == sourceAudio());
    EXPECT_NE(run.err.find("audio repairs: 0, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("audio delay: +48 ms"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace korvat::test
