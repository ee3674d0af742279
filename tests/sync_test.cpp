// Damaged recordings split with -r come out in sync: the audio that survived
// is moved with the video that survived, by silent frames and dropped ones.
// What korvat must write is worked out here from what the packing tool says
// each damaged stretch took, picture by picture and frame by frame.
#include <gtest/gtest.h>

#include <algorithm>

#include "format/mpeg.h"
#include "format/mpeg_audio.h"
#include "format/pes_packet.h"
#include "tests/harness.h"

namespace korvat::test {
namespace {

const unsigned char* bytesOf(const Bytes& bytes, std::size_t at) {
  return reinterpret_cast<const unsigned char*>(&bytes[at]);
}

bool contains(const std::vector<std::size_t>& sorted, std::size_t item) {
  return std::binary_search(sorted.begin(), sorted.end(), item);
}

struct Picture {
  std::size_t at;        // of its start code
  std::int64_t display;  // counted from the first group's first picture
  bool bidirectional;
};

// Every picture of the video, in stream order (the packing tool's).
std::vector<Picture> picturesOf(const Bytes& video) {
  std::vector<Picture> positions;
  std::int64_t groupBase = 0, groupSize = 0;
  for (std::size_t at = 0; (at = video.find(Bytes("\0\0\1", 3), at)) != Bytes::npos && at + 8 <= video.size(); ++at) {
    if (video[at + 3] == static_cast<char>(kGroupStart)) {
      groupBase += groupSize;
      groupSize = 0;
    } else if (video[at + 3] == static_cast<char>(kPictureStart)) {
      const std::int64_t reference = temporalReference(bytesOf(video, at));
      positions.push_back({at, groupBase + reference, pictureCodingType(bytesOf(video, at)) == kBidirectionalPicture});
      groupSize = std::max(groupSize, reference + 1);
    }
  }
  return positions;
}

// The video with its picture `i` (in stream order) twice over: as two
// pictures, or as the top and the bottom field of one frame.
Bytes repeated(const Bytes& video, std::size_t i, bool fields) {
  const std::vector<Picture> pictures = picturesOf(video);
  Bytes top = video.substr(pictures[i].at, pictures[i + 1].at - pictures[i].at), bottom = top;
  const std::size_t structure = top.find(Bytes("\0\0\1\xB5", 4)) + 6;  // of its coding extension
  if (fields) {
    top[structure] ^= 2;     // a frame (3) made the top field (1)
    bottom[structure] ^= 1;  // and the bottom one (2)
  }
  return video.substr(0, pictures[i].at) + top + bottom + video.substr(pictures[i + 1].at);
}

struct CleanCut {
  Bytes video;
  std::vector<std::size_t> pictures;  // the source's pictures it holds
  std::uint64_t dropped = 0;          // pictures that arrived but were cut
};

// The video that arrived, cut cleanly at each damaged stretch: a unit (a
// picture, group or sequence header, up to the next one) is written only
// when the next has begun before the damage; after it, the video goes on at
// the next sequence or group header, whose first picture must be an
// I-picture, and without the B-pictures before that I-picture.
CleanCut cleanCut(const Bytes& source, const pack::Intact& intact) {
  const Bytes& video = intact.video;
  std::vector<std::size_t> sourceAt;  // of each byte of `video` in the source
  for (const auto& [from, to] : intact.videoPieces) {
    for (std::size_t at = from; at < to; ++at) sourceAt.push_back(at);
  }
  const std::vector<Picture> pictures = picturesOf(source);
  enum { Writing, AtHeader, AtIntra, PastLeadingB } state = Writing;
  CleanCut out;
  std::size_t unit = 0, cut = 0, intraReference = 0, afterCut = 0;
  bool kept = true, picture = false;
  bool sequenceWritten = false;  // the video begins with a sequence header, also after a cut
  const auto endUnit = [&](std::size_t at) {
    if (kept) out.video += video.substr(unit, at - unit);
    sequenceWritten = sequenceWritten || (kept && unit + 3 < video.size() && video[unit + 3] == '\xB3');
    unit = at;
  };
  for (std::size_t at = 0;; ++at) {
    at = std::min(video.find(Bytes("\0\0\1", 3), at), video.size());
    const std::size_t needed = 8;  // a start code counts once the headers behind it can be read
    // The stretches before this start code has its header.
    for (; cut < intact.videoCuts.size() && intact.videoCuts[cut] < at + needed; ++cut) {
      if (picture && kept) {
        out.pictures.pop_back();
        ++out.dropped;
      }
      unit = afterCut = intact.videoCuts[cut];
      kept = picture = false;
      state = AtHeader;
    }
    if (at + needed > video.size()) break;
    const unsigned char code = video[at + 3];
    if (at < afterCut || (code != 0x00 && code != 0xB3 && code != 0xB7 && code != 0xB8)) continue;
    endUnit(at);
    picture = code == 0x00;
    const unsigned type = picture ? pictureCodingType(bytesOf(video, at)) : 0;
    const std::size_t reference = picture ? temporalReference(bytesOf(video, at)) : 0;
    if (state == AtHeader) {
      const bool intra = picture && type == kIntraPicture;
      kept = code == 0xB3 || ((code == 0xB8 || intra) && sequenceWritten);
      if (kept) state = intra ? PastLeadingB : AtIntra;
      intraReference = reference;
    } else if (state == AtIntra) {
      kept = !picture || type == kIntraPicture;
      if (picture) state = kept ? PastLeadingB : AtHeader;
      intraReference = reference;
    } else if (state == PastLeadingB) {
      kept = !(picture && type == kBidirectionalPicture && reference < intraReference);
      if (picture && kept) state = Writing;
    } else {
      kept = true;
    }
    if (picture && kept) {
      const std::size_t from = sourceAt[at];
      out.pictures.push_back(
          std::find_if(pictures.begin(), pictures.end(), [from](const Picture& p) { return p.at == from; }) -
          pictures.begin());
    } else if (picture) {
      ++out.dropped;
    }
  }
  endUnit(video.size());
  return out;
}

struct Repaired {
  Bytes audio;
  std::uint64_t inserted = 0, dropped = 0;
};

// A player shows the pictures that survived one after another, a B-picture
// when it comes and any other when the next that is no B-picture comes; so
// each is shown earlier than its stamp by the time of those lost before it.
// Every frame that a whole PES packet stamps is moved to where the video
// shows its moment (or, lost with its picture, the next picture shown): by
// silent frames when it comes early, by dropping it and the frames after it
// when late, to the nearest frame.
Repaired repairedAudio(const Bytes& video, const Bytes& audio, const pack::PackOptions& options,
                       const pack::Intact& intact, const std::vector<std::size_t>& written) {
  constexpr std::int64_t kPicture = 3600, kFrame = 2160;  // 25 pictures and 1152 samples at 48 kHz a second
  const std::vector<Picture> pictures = picturesOf(video);
  std::vector<std::int64_t> shown;  // the display positions of the pictures that survived, as shown
  std::int64_t held = -1;
  for (const std::size_t i : written) {
    if (pictures[i].bidirectional) {
      shown.push_back(pictures[i].display);
    } else {
      if (held >= 0) shown.push_back(held);
      held = pictures[i].display;
    }
  }
  shown.push_back(held);
  // Each picture's stamp, and how much earlier it is shown; one shown after
  // a later one (out of place for the damage) tells nothing.
  std::vector<std::array<std::int64_t, 2>> moved;
  for (std::size_t rank = 0; rank < shown.size(); ++rank) {
    const std::int64_t stamp = (shown[rank] - pictures[0].display) * kPicture;
    if (moved.empty() || stamp > moved.back()[0])
      moved.push_back({stamp, stamp - static_cast<std::int64_t>(rank) * kPicture});
  }
  const auto shiftAt = [&](std::int64_t moment) {
    const auto on = std::find_if(moved.begin(), moved.end(), [&](const auto& m) { return m[0] + kPicture > moment; });
    return on == moved.end() ? moved.back()[1] : (*on)[1];
  };
  const std::int64_t delay = static_cast<std::int64_t>(options.audioClock) - options.videoClock;
  Repaired out;
  // The audio begins at the first frame that arrived: the delay says when.
  std::int64_t framesOut = 0, drops = 0;
  while (contains(intact.lostFrames, static_cast<std::size_t>(framesOut))) ++framesOut;
  // A stamp that the frames before it do not lead to is believed at once
  // where damage lay between, else only once the next stamp agrees.
  std::int64_t lastStamped = -1, framesSince = 0, pending = 0;
  const bool damage = intact.damagedStretches > 0;
  AudioFrameHeader header;
  for (std::size_t at = 0, k = 0; at + 4 <= audio.size() && AudioFrameHeader::parse(bytesOf(audio, at), header);
       at += header.length(), ++k) {
    if (contains(intact.lostFrames, k)) continue;
    const std::int64_t jump = lastStamped < 0 ? 0 : static_cast<std::int64_t>(k) - lastStamped - framesSince;
    const bool stamped = contains(intact.stampedFrames, k), believed = jump == 0 || damage || jump == pending;
    if (stamped) pending = believed ? 0 : jump;
    if (stamped && believed) {
      lastStamped = static_cast<std::int64_t>(k);
      framesSince = 0;
      const std::int64_t moment = delay + static_cast<std::int64_t>(k) * kFrame;
      const std::int64_t offset = delay + framesOut * kFrame - (moment - shiftAt(moment));
      const std::int64_t frames = (offset >= 0 ? offset + kFrame / 2 : offset - kFrame / 2) / kFrame;
      for (std::int64_t i = frames; i < 0; ++i, ++framesOut, ++out.inserted) {
        Bytes silent(576, '\0');  // the frame's header without CRC or padding: 144 * 192000 / 48000 bytes
        writeSilentFrameHeader(bytesOf(audio, at), reinterpret_cast<unsigned char*>(&silent[0]));
        out.audio += silent;
      }
      drops = std::max<std::int64_t>(frames, 0);
    }
    ++framesSince;
    if (drops > 0) {
      --drops;
      ++out.dropped;
      continue;
    }
    out.audio += audio.substr(at, header.length());
    ++framesOut;
  }
  return out;
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

// Through every damaged stretch the audio moves with the video, as the models
// above have it. Where the stamps that a repair needs are missing, and with
// -p, it stays as the intact packets had it; standard error says why, or
// (-p) how far the two parted.
TEST(Sync, TheAudioFollowsTheVideoThroughTheDamage) {
  struct Case {
    const char* name;
    const Bytes* video;
    bool pesAtFrames;
    unsigned spanPercent;
    std::vector<std::array<std::uint64_t, 3>> lost;  // as stretch() takes them
    std::uint64_t audioClock = 94320;
    std::string line = "";  // that standard error holds
    unsigned prefixPercent = 100;
    bool audioTimeStamps = true, pes = false;  // -p
  };
  const Bytes *noB = &sourceVideo(), *withB = &sourceVideoWithB();
  // A frame stamped within picture 4's time goes with its first showing.
  const Bytes twice = repeated(sourceVideo(), 4, false);
  const std::vector<std::array<std::uint64_t, 3>> cutAndLost = {{150000, 9000, 0}, {200000, 0, 2}};
  const std::string notRepaired = "audio not repaired: ";
  const std::vector<Case> cases = {
      {"no B-pictures, three stretches", noB, false, 0, {{60000, 12000, 0}, {200000, 31000, 0}, {250000, 3000, 0}}},
      {"B-pictures, whole frames per packet", withB, true, 0, {{30000, 9000, 0}, {140000, 4000, 0}}},
      {"B-pictures, packets over two AV packets", withB, false, 50, {{50000, 20000, 0}, {120000, 3000, 0}}},
      {"an audio packet lost cleanly", withB, false, 0, {{60000, 0, 2}}},
      {"a picture that came twice, shown twice", &twice, false, 0, {{100000, 0, 2}}},
      {"the audio 200 ms ahead, lost before its last frame", withB, false, 0, {{258000, 1000, 0}}, 72000},
      {"the audio 200 ms ahead, lost with its last frames", withB, false, 0, {{260000, 1000, 0}}, 72000},
      {"no stamp on the video", withB, false, 0, cutAndLost, 94320,
       notRepaired + "video: no picture has a time stamp\n", 0},
      {"no stamp on the audio", withB, false, 0, cutAndLost, 94320,
       notRepaired + "the first audio frame has no time stamp\n", 100, false},
      {"-p", withB, false, 0, cutAndLost, 94320, "audio and video parted at 1 damaged stretches, ", 100, true, true},
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
    const CleanCut cut = cleanCut(*c.video, intact);
    const Repaired expected = repairedAudio(*c.video, sourceAudio(), options, intact, cut.pictures);
    const bool repaired = c.prefixPercent > 0 && c.audioTimeStamps && !c.pes;

    const Outcome run =
        runKorvat(dir, c.pes ? std::vector<std::string>{"-r", "-p", "rec"} : std::vector<std::string>{"-r", "rec"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(summary(intact.damagedStretches, intact.damagedBytes)), std::string::npos);
    EXPECT_TRUE(dir.read("rec.m2v") == cut.video);
    // The first pass's lines count the video written and nothing taken back
    // later: never more than in the end, which is all of it.
    std::uint64_t most = 0, last = 0;
    for (std::size_t at = 0; (at = run.out.find(" kb) video, ", at)) < run.out.find(kEndOfInput); ++at) {
      most = std::max(most, last = std::stoull(run.out.substr(run.out.rfind('(', at) + 1)));
    }
    EXPECT_EQ(most, cut.video.size() >> 10);
    EXPECT_EQ(last, cut.video.size() >> 10);
    EXPECT_TRUE(dir.read("rec.mp2") == (c.pes ? intact.pes : repaired ? expected.audio : intact.audio));
    std::size_t lines = 0;  // one for each repair, which the summary counts
    for (std::size_t at = 0; (at = run.err.find("audio repair at ", at)) != std::string::npos; ++at) ++lines;
    const std::string counts = "audio repairs: " + std::to_string(lines) + ", " + std::to_string(expected.inserted) +
                               " silent frames inserted, " + std::to_string(expected.dropped) + " frames dropped, " +
                               std::to_string(cut.dropped) + " pictures dropped; offset at the end ";
    EXPECT_EQ(run.err.find(counts) != std::string::npos, repaired) << counts << "\n" << run.err;
    EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(std::to_string(cut.dropped) + " pictures dropped; -p leaves") != std::string::npos, c.pes);
  }
}

// Adds `delta` ticks to the stamps of a recording: to those of the packets
// from `from` on (counted among the stamped ones of each stream), or to the
// one at `from` alone; of video prefixes, audio PES headers, or both.
Bytes restamped(Bytes recording, int which, std::size_t from, bool alone, std::int64_t delta) {
  std::size_t video = 0, audio = 0;
  forEachPacket(recording, [&](const PacketView& packet) {
    unsigned char* payload = reinterpret_cast<unsigned char*>(&recording[packet.offset + 8]);
    if (packet.streamId == 1 && (packet.flags & 0x10) && (which & 1)) {
      const std::size_t n = video++;
      if (n == from || (!alone && n > from)) {
        const auto stamp = static_cast<std::uint32_t>(bigEndian32(payload) + delta);
        for (int i = 0; i < 4; ++i) payload[i] = static_cast<unsigned char>(stamp >> (24 - 8 * i));
      }
    } else if (packet.streamId == 2 && (which & 2) && pes::hasStartCode(payload) && pes::hasPresentationTime(payload)) {
      const std::size_t n = audio++;
      if (n == from || (!alone && n > from)) {
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
    bool alone;
    std::int64_t delta;
    bool fields = false;  // a picture of the video in two fields
  };
  const std::vector<Case> cases = {
      {"one audio stamp 30 s late", 2, 20, true, 30 * 90000},
      {"one video stamp 20 s late", 1, 40, true, 20 * 90000},
      {"the clock restarts 2 s back", 3, 40, false, -2 * 90000},
      {"the first video stamp 10 s late", 1, 0, true, 10 * 90000},
      {"the first audio stamp 10 s late", 2, 0, true, 10 * 90000},
      {"a picture in two fields", 0, 0, true, 0, true},
  };
  pack::PackOptions options;
  options.prefixPercent = 100;
  const Bytes recording = packRecording(sourceVideoWithB(), sourceAudio(), options);
  const Bytes inFields = packRecording(repeated(sourceVideoWithB(), 5, true), sourceAudio(), options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("rec", restamped(c.fields ? inFields : recording, c.which, c.from, c.alone, c.delta));
    const Outcome run = runKorvat(dir, {"-r", "rec"});
    EXPECT_TRUE(dir.read("rec.mp2") == sourceAudio());
    EXPECT_NE(run.err.find("audio repairs: 0, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("audio delay: +48 ms"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace korvat::test
