// Packs video and audio into a recording as a broadcast multiplexer sends them, with damage on request.
#include "tools/recording_packer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "format/ac3.h"
#include "format/mpeg.h"
#include "format/mpeg_audio.h"

namespace korvat::pack {
namespace {

constexpr char kSequenceHeader[] = {0, 0, 1, '\xB3'};

// splitmix64: small, and the same on every platform and library.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  std::uint32_t in(SizeRange range) {
    return range.min + static_cast<std::uint32_t>(below(std::uint64_t{range.max} - range.min + 1));
  }
  bool percent(unsigned p) { return below(100) < p; }
  // Bytes that hold neither a frame sync nor a start code: no 0xFF, no 0x00.
  Bytes plainBytes(std::size_t n) {
    Bytes bytes(n, 0);
    for (char& b : bytes) b = static_cast<char>(1 + below(254));
    return bytes;
  }

 private:
  std::uint64_t state;
};

std::size_t findSequenceHeader(const Bytes& video, std::size_t from) {
  return video.find(Bytes(kSequenceHeader, 4), from);
}

// Video from the middle of a GOP: what a recording started mid-stream holds
// before the first sequence header. Taken from the source's second GOP when
// there is one, so it is real video; it never holds a sequence header.
Bytes leadInVideo(const Bytes& video, Rng& rng) {
  const std::size_t second = findSequenceHeader(video, 1);
  if (second == Bytes::npos) return rng.plainBytes(rng.in({2000, 6000}));
  const std::size_t third = std::min(findSequenceHeader(video, second + 4), video.size());
  const std::size_t from = second + 4 + (third - second - 4) / 3;
  return video.substr(from, std::min<std::size_t>(rng.in({2000, 6000}), third - from));
}

constexpr char kStartCodePrefix[] = {0, 0, 1};

const unsigned char* u(const char* at) { return reinterpret_cast<const unsigned char*>(at); }

// Where each frame of an audio stream begins, and its display time.
struct Frames {
  std::vector<std::size_t> starts;
  std::vector<std::uint64_t> ticks;

  // The frame that the byte at `byte` belongs to (the first, before it).
  std::size_t frameOf(std::size_t byte) const {
    const auto after = std::upper_bound(starts.begin(), starts.end(), byte);
    return after == starts.begin() ? 0 : static_cast<std::size_t>(after - starts.begin()) - 1;
  }
  // The first frame that begins in [from, to), or starts.size().
  std::size_t firstIn(std::size_t from, std::size_t to) const {
    const auto first = std::lower_bound(starts.begin(), starts.end(), from);
    return first != starts.end() && *first < to ? static_cast<std::size_t>(first - starts.begin()) : starts.size();
  }
};

// Every frame of MPEG audio or AC3 from the first on, as long as headers
// follow, the first at `clock`; samples count at their own rate, should it
// change.
Frames findFrames(const Bytes& stream, std::uint64_t clock) {
  Frames frames;
  std::uint64_t samples = 0, ticksBefore = 0;
  std::uint32_t rate = 0;
  for (std::size_t at = 0; at + kAc3HeaderSize <= stream.size() || at + kAudioHeaderSize <= stream.size();) {
    const unsigned char* header = u(stream.data() + at);
    std::uint32_t length = 0, frameSamples = 1536, frameRate = 0;
    AudioFrameHeader mpeg;
    if (at + kAc3HeaderSize <= stream.size() && (length = ac3FrameLength(header)) != 0) {
      frameRate = header[4] >> 6 == 0 ? 48000 : header[4] >> 6 == 1 ? 44100 : 32000;
    } else if (at + kAudioHeaderSize <= stream.size() && AudioFrameHeader::parse(header, mpeg)) {
      length = mpeg.length();
      frameSamples = mpeg.samples();
      frameRate = mpeg.sampleRate;
    } else {
      break;
    }
    if (frameRate != rate) {
      ticksBefore += rate == 0 ? 0 : samples * 90000 / rate;
      samples = 0;
      rate = frameRate;
    }
    frames.starts.push_back(at);
    frames.ticks.push_back(clock + ticksBefore + samples * 90000 / rate);
    samples += frameSamples;
    at += length;
  }
  return frames;
}

class Packer {
 public:
  Packer(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording, const Sink& pes,
         Intact* intact)
      : audio(audio),
        options(options),
        damage(options.damage),
        rng(options.seed),
        recording(recording),
        pes(pes),
        intact(intact) {
    if (video.compare(0, 4, kSequenceHeader, 4) != 0)
      throw std::invalid_argument("video must begin with a sequence header");
    const Bytes leadIn = options.leadIn ? leadInVideo(video, rng) : Bytes();
    videoStream = leadIn + video;
    firstStart = leadIn.size();
    findPictures(video);
    audioFrames = findFrames(audio, options.audioClock);
    for (const PackOptions::Track& track : options.tracks)
      trackFrames.push_back(
          findFrames(track.stream, static_cast<std::uint64_t>(std::max<std::int64_t>(
                                       0, static_cast<std::int64_t>(options.audioClock) + track.startTicks))));
    if (intact) intact->taken.resize(damage.lost.size());
    for (std::size_t i = 0; i < damage.lost.size(); ++i) {
      taken.push_back({damage.lost[i].offset, damage.lost[i].offset + damage.lost[i].bytes, static_cast<int>(i)});
    }
    if (damage.cutStart > 0) taken.push_back({0, damage.cutStart, -1});
  }

  void run() {
    emitAudio(0xC0, "", rng.plainBytes(rng.in(options.audio)), false);  // the tail of a frame: no sync in it
    // A private stream beside the audio, unless a track of AC3 is that stream.
    const auto isPrivate = [](const PackOptions::Track& track) { return track.id == 0xBD; };
    if (std::none_of(options.tracks.begin(), options.tracks.end(), isPrivate)) {
      emitAudio(0xBD, "", rng.plainBytes(rng.in(options.other)), false);
    }
    if (options.tracksFirst) {
      for (std::size_t t = 0; t < options.tracks.size(); ++t) nextTrack(t);
    }
    // As a multiplexer sends them: whatever is needed first goes first, so
    // audio and video of the same moment lie close together.
    while (videoAt < videoStream.size() || audioAt < audio.size() || tracksLeft() > 0) {
      if (rng.percent(options.otherPercent)) {
        emit(avPacket(static_cast<std::uint8_t>(rng.percent(50) ? 0 : 3), 0, rng.plainBytes(rng.in(options.other))));
        continue;
      }
      std::int64_t earliest = INT64_MAX;
      int next = kVideo;
      const auto consider = [&](int stream, bool left, std::int64_t sendBy) {
        if (left && sendBy < earliest) earliest = sendBy, next = stream;
      };
      consider(kAudio, audioAt < audio.size(), audioNeededAt(audioFrames, audioAt, audio.size()) - kAudioLead);
      for (std::size_t t = 0; t < options.tracks.size(); ++t) {
        const std::size_t size = options.tracks[t].stream.size();
        consider(static_cast<int>(t), trackAt[t] < size, audioNeededAt(trackFrames[t], trackAt[t], size) - kAudioLead);
      }
      consider(kVideo, videoAt < videoStream.size(), videoNeededAt(videoAt) - kVideoLead);
      if (next == kAudio) {
        nextAudio();
      } else if (next == kVideo) {
        nextVideo();
      } else {
        nextTrack(static_cast<std::size_t>(next));
      }
    }
    endDamagedRun();
  }

 private:
  // How long before it is needed each stream's content is sent: video ahead
  // of its decoding by what a decoder's buffer holds, audio by little.
  static constexpr std::int64_t kVideoLead = 36000, kAudioLead = 9000;  // 400 ms and 100 ms
  static constexpr int kVideo = -1, kAudio = -2;                        // the other tracks count from 0

  struct Picture {
    std::size_t at;       // of its start code in videoStream
    std::int64_t ticks;   // its display time
    std::int64_t needed;  // when it must have arrived: when it or any picture after it is shown
  };
  struct Range {
    std::uint64_t from, to;
    int lost;  // its index in Damage::lost, or -1 for the cut-off start
  };

  // Every picture of the source at its display time: its group's first
  // picture's time plus the fields shown before it in the order of the
  // temporal references (a frame for each, three or more where it repeats a
  // field or frame, one frame for the two field pictures of a frame), at the
  // frame rate of its programme (a sequence header may change it, from its
  // first group on). The lead-in's pictures, which no output holds, follow
  // one another before the first.
  void findPictures(const Bytes& video) {
    const FramePeriod first = video.size() >= kVideoHeaderBytes ? framePeriod(u(video.data())) : FramePeriod{};
    const FramePeriod leadIn = first.ticks != 0 ? first : FramePeriod{3600, 1};
    FramePeriod period = leadIn, next = leadIn;
    bool progressive = false;
    std::int64_t programmeStart = 0, programmeFields = 0;
    struct InGroup {
      std::size_t picture;
      std::int64_t reference;
      unsigned fields;
      bool secondField;
    };
    std::vector<InGroup> group;
    std::vector<std::int64_t> display;
    const auto endGroup = [&] {
      std::vector<InGroup> frames;
      for (const InGroup& p : group) {
        if (!p.secondField) frames.push_back(p);
      }
      std::sort(frames.begin(), frames.end(),
                [](const InGroup& a, const InGroup& b) { return a.reference < b.reference; });
      std::vector<std::pair<std::int64_t, std::int64_t>> before;  // reference, fields before it
      std::int64_t fields = 0, reference = 0;
      for (const InGroup& p : frames) {
        fields += 2 * (p.reference - reference);
        before.push_back({p.reference, fields});
        fields += p.fields;
        reference = p.reference + 1;
      }
      for (const InGroup& p : group) {
        const auto found = std::lower_bound(before.begin(), before.end(), std::make_pair(p.reference, std::int64_t{0}));
        display[p.picture] = programmeStart + period.ofFields(programmeFields + found->second);
      }
      programmeFields += fields;
      group.clear();
    };
    for (std::size_t at = 0; (at = videoStream.find(Bytes(kStartCodePrefix, 3), at)) != Bytes::npos; ++at) {
      if (at + kVideoHeaderBytes > videoStream.size()) break;
      const unsigned char* code = u(videoStream.data() + at);
      if (at >= firstStart && code[3] == korvat::kSequenceHeader && framePeriod(code).ticks != 0)
        next = framePeriod(code);
      if (at >= firstStart && code[3] == kExtensionStart && isSequenceExtension(code))
        progressive = isProgressiveSequence(code);
      if (code[3] == kExtensionStart && isPictureCodingExtension(code) && !group.empty()) {
        InGroup& last = group.back();
        if (pictureStructure(code) != kFramePicture) {
          last.secondField = group.size() > 1 && group[group.size() - 2].reference == last.reference &&
                             !group[group.size() - 2].secondField;
        } else {
          last.fields = fieldsShown(repeatFlags(code), progressive);
        }
      }
      if (at >= firstStart && code[3] == kGroupStart) {
        endGroup();
        if (next.ticks != period.ticks || next.parts != period.parts) {
          programmeStart += period.ofFields(programmeFields);
          programmeFields = 0;
          period = next;
        }
      }
      if (code[3] != kPictureStart) continue;
      group.push_back({pictures.size(), temporalReference(code), 2, false});
      pictures.push_back({at, 0, 0});
      display.push_back(0);
    }
    endGroup();
    firstPicture = std::lower_bound(pictures.begin(), pictures.end(), firstStart,
                                    [](const Picture& p, std::size_t at) { return p.at < at; }) -
                   pictures.begin();
    const auto firstShown = static_cast<std::size_t>(firstPicture);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      const std::int64_t shown =
          i >= firstShown ? display[i] - display[firstShown] : leadIn.of(static_cast<std::int64_t>(i) - firstPicture);
      pictures[i].ticks = options.videoClock + shown;
    }
    for (std::size_t i = pictures.size(); i-- > 0;) {
      pictures[i].needed =
          i + 1 < pictures.size() ? std::min(pictures[i].ticks, pictures[i + 1].needed) : pictures[i].ticks;
    }
  }

  // Writes the bytes that follow in the recording, less what the damage took.
  // True when all of them arrive.
  bool put(Bytes bytes) {
    const std::uint64_t begin = written;
    written += bytes.size();
    std::uint64_t removed = 0;
    touchedBy = -1;
    for (auto range = taken.rbegin(); range != taken.rend(); ++range) {
      const std::uint64_t from = std::max(begin, range->from), to = std::min<std::uint64_t>(written, range->to);
      if (from >= to) continue;
      bytes.erase(from - begin, to - from);
      removed += to - from;
      if (range->lost >= 0) touchedBy = range->lost;
    }
    recording(bytes.data(), bytes.size());
    arrivedBytes = bytes.size();
    return removed == 0;
  }

  // Writes one AV packet with the damage asked for; true when it arrives whole.
  // The packets that lost bytes and lie next to one another make one damaged
  // stretch, of what is left of them.
  // A video packet carries videoStream[videoFrom, videoTo).
  bool emit(Bytes packet, bool hole = false, std::size_t videoFrom = 0, std::size_t videoTo = 0) {
    if (hole) {
      packet.erase(8 + (packet.size() - 8 - damage.holeBytes) / 2, damage.holeBytes);
      skipped(packet.size());  // what is left of it is skipped whole
    }
    const bool arrived = put(packet);
    if (arrived) {
      endDamagedRun();
    } else {
      damagedRun += arrivedBytes;
    }
    videoFrom = std::max(videoFrom, firstStart);
    if (arrived && !hole && intact && videoTo > videoFrom) {
      intact->video += videoStream.substr(videoFrom, videoTo - videoFrom);
      auto& pieces = intact->videoPieces;
      if (!pieces.empty() && pieces.back().second == videoFrom - firstStart) {
        pieces.back().second = videoTo - firstStart;
      } else {
        pieces.push_back({videoFrom - firstStart, videoTo - firstStart});
      }
    }
    if (packets++ == damage.garbageAfter && damage.garbageBytes > 0) {
      Bytes garbage = rng.plainBytes(damage.garbageBytes);
      std::replace(garbage.begin(), garbage.end(), 'A', 'a');  // no header can begin in it
      put(garbage);
      skipped(garbage.size());
    }
    return arrived && !hole;
  }

  void endDamagedRun() {
    if (damagedRun > 0) skipped(damagedRun);
    damagedRun = 0;
  }

  void skipped(std::size_t bytes) {
    if (!intact) return;
    intact->damagedStretches += 1;
    intact->damagedBytes += bytes;
    if (!intact->video.empty()) intact->videoCuts.push_back(intact->video.size());
  }

  bool holeHere(std::size_t from, bool& done, std::size_t payloadSize) {
    if (done || from == 0 || packets < from || payloadSize < damage.holeBytes + 16) return false;
    return done = true;
  }

  // One PES packet in one AV packet, or split over two, the second of which
  // may lose bytes. Only the payloads of real audio count as audio. True
  // when it arrives whole; lostTo says which lost stretch took it, if one did.
  bool emitAudio(std::uint8_t pesStreamId, const Bytes& headerData, const Bytes& payload, bool real) {
    const Bytes packet = pesPacket(pesStreamId, headerData, payload);
    if (pes) pes(packet.data(), packet.size());
    const bool spans = options.spanPercent > 0 && real && rng.percent(options.spanPercent);
    const std::size_t split = spans ? packet.size() / 2 : packet.size();
    lostTo = -1;
    bool whole = emitAudioPart(packet.substr(0, split), false);
    if (spans) whole = emitAudioPart(packet.substr(split), holeHere(damage.audioHoleFrom, audioHoled, split)) && whole;
    if (whole && real && intact) intact->audio += payload;
    return whole;
  }

  bool emitAudioPart(const Bytes& part, bool hole) {
    const bool whole = emit(avPacket(2, 0, part), hole);
    if (touchedBy >= 0) lostTo = touchedBy;
    if (whole && intact) intact->pes += part;
    return whole;
  }

  // Whole frames from audioAt on, about n bytes of them.
  std::size_t wholeFrames(std::size_t n) const {
    const auto after = std::upper_bound(audioFrames.starts.begin(), audioFrames.starts.end(), audioAt + n);
    if (after != audioFrames.starts.begin() && *(after - 1) > audioAt) return *(after - 1) - audioAt;
    const auto next = std::upper_bound(audioFrames.starts.begin(), audioFrames.starts.end(), audioAt);
    return (next != audioFrames.starts.end() ? *next : audio.size()) - audioAt;
  }

  void nextAudio() {
    std::size_t n = std::min<std::size_t>(rng.in(options.audio), audio.size() - audioAt);
    if (options.pesAtFrames && !audioFrames.starts.empty()) n = wholeFrames(n);
    const std::size_t first = audioFrames.firstIn(audioAt, audioAt + n);
    const bool stamped = first < audioFrames.starts.size();
    const Bytes stamp = stamped && options.audioTimeStamps ? ptsField(audioFrames.ticks[first]) : Bytes();
    const bool whole = emitAudio(0xC0, stamp, audio.substr(audioAt, n), true);
    if (intact && whole && !stamp.empty()) intact->stampedFrames.push_back(first);
    if (intact && !whole) {
      // Every frame with a byte in the packet: the one it began in, and those that begin in it.
      for (std::size_t frame = audioFrames.frameOf(audioAt);
           frame < audioFrames.starts.size() && audioFrames.starts[frame] < audioAt + n; ++frame) {
        lose(intact->lostFrames, frame, lostTo < 0 ? nullptr : &intact->taken[lostTo].frames);
      }
    }
    audioAt += n;
  }

  static void lose(std::vector<std::size_t>& all, std::size_t item, std::vector<std::size_t>* byStretch) {
    if (all.empty() || all.back() < item) all.push_back(item);
    if (byStretch && (byStretch->empty() || byStretch->back() < item)) byStretch->push_back(item);
  }

  std::uint64_t tracksLeft() const {
    std::uint64_t left = 0;
    for (std::size_t t = 0; t < options.tracks.size(); ++t) left += options.tracks[t].stream.size() - trackAt[t];
    return left;
  }

  // A packet of another audio track, stamped by the first frame that begins in it.
  void nextTrack(std::size_t t) {
    const PackOptions::Track& track = options.tracks[t];
    const std::size_t n = std::min<std::size_t>(rng.in(options.audio), track.stream.size() - trackAt[t]);
    if (n == 0) return;
    const Frames& frames = trackFrames[t];
    const std::size_t first = frames.firstIn(trackAt[t], trackAt[t] + n);
    const Bytes stamp = first < frames.starts.size() ? ptsField(frames.ticks[first]) : Bytes();
    emit(avPacket(2, 0, pesPacket(track.id, stamp, track.stream.substr(trackAt[t], n))));
    trackAt[t] += n;
  }

  // When each stream's next byte is needed: the video's by the picture it
  // belongs to, the audio's by its frame's display time. A stream with no
  // pictures or frames to tell (random bytes) is spread evenly over the time
  // of the others.
  std::int64_t videoNeededAt(std::size_t at) const {
    if (pictures.empty()) return evenly(options.videoClock, at, videoStream.size());
    const auto after = std::upper_bound(pictures.begin(), pictures.end(), at,
                                        [](std::size_t at, const Picture& p) { return at < p.at; });
    return (after == pictures.begin() ? after : after - 1)->needed;
  }
  std::int64_t audioNeededAt(const Frames& frames, std::size_t at, std::size_t size) const {
    if (frames.starts.empty()) return evenly(static_cast<std::int64_t>(options.audioClock), at, size);
    return static_cast<std::int64_t>(frames.ticks[frames.frameOf(at)]);
  }
  std::int64_t evenly(std::int64_t clock, std::size_t at, std::size_t size) const {
    std::int64_t span = 0;
    if (!pictures.empty()) span = pictures.back().ticks - pictures.front().ticks;
    if (!audioFrames.ticks.empty())
      span = std::max<std::int64_t>(span, audioFrames.ticks.back() - audioFrames.ticks.front());
    return clock + static_cast<std::int64_t>(static_cast<double>(span) * at / std::max<std::size_t>(size, 1));
  }

  // The prefix stamps the first picture that begins in the packet.
  Bytes videoPrefix(std::size_t end) {
    const auto next = std::lower_bound(pictures.begin(), pictures.end(), videoAt,
                                       [](const Picture& p, std::size_t at) { return p.at < at; }) -
                      pictures.begin();
    const bool begins = next < static_cast<std::ptrdiff_t>(pictures.size()) && pictures[next].at < end;
    const std::ptrdiff_t picture = begins ? next : next - 1;
    const auto ticks = static_cast<std::uint32_t>(picture >= 0 ? pictures[picture].ticks : options.videoClock);
    rng.plainBytes(4);  // drawn still, so that every seed packs the packets it always did
    return {static_cast<char>(ticks >> 24), static_cast<char>(ticks >> 16), static_cast<char>(ticks >> 8),
            static_cast<char>(ticks)};
  }

  void nextVideo() {
    const bool prefixed = rng.percent(options.prefixPercent);
    std::size_t n = rng.in(options.video) - (prefixed ? 4 : 0);
    std::size_t end = std::min(videoAt + n, videoStream.size());
    // The first sequence header must lie whole in one payload to be found.
    if (end > firstStart && end < firstStart + 4) end = videoAt < firstStart ? firstStart : firstStart + 4;
    const Bytes payload = videoStream.substr(videoAt, end - videoAt);
    const bool hole = holeHere(damage.videoHoleFrom, videoHoled, payload.size());
    const bool whole =
        emit(prefixed ? avPacket(1, 0x10, videoPrefix(end) + payload) : avPacket(1, 0, payload), hole, videoAt, end);
    if (!whole && intact) {
      // A picture whose start code lost a byte is gone from the output.
      const std::size_t near = videoAt < kStartCodeSize ? 0 : videoAt - kStartCodeSize;
      std::size_t i = std::lower_bound(pictures.begin(), pictures.end(), near,
                                       [](const Picture& p, std::size_t at) { return p.at < at; }) -
                      pictures.begin();
      for (i = std::max(i, static_cast<std::size_t>(firstPicture)); i < pictures.size() && pictures[i].at < end; ++i) {
        if (pictures[i].at + kStartCodeSize > videoAt) {
          lose(intact->lostPictures, i - firstPicture, touchedBy < 0 ? nullptr : &intact->taken[touchedBy].pictures);
        }
      }
    }
    videoAt = end;
  }

  const Bytes& audio;
  const PackOptions& options;
  const Damage& damage;
  Rng rng;
  const Sink& recording;
  const Sink& pes;
  Intact* intact;
  Bytes videoStream;
  std::vector<Picture> pictures;    // in videoStream, in stream order
  std::ptrdiff_t firstPicture = 0;  // the first after the first sequence header
  Frames audioFrames;
  std::vector<Frames> trackFrames;  // of options.tracks
  std::vector<Range> taken;
  std::vector<std::size_t> trackAt = std::vector<std::size_t>(options.tracks.size());
  std::size_t firstStart = 0, videoAt = 0, audioAt = 0;
  std::uint64_t written = 0;  // as if nothing were lost
  std::size_t packets = 0, damagedRun = 0, arrivedBytes = 0;
  int touchedBy = -1, lostTo = -1;
  bool videoHoled = false, audioHoled = false;
};

}  // namespace

Bytes randomBytes(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t word = rng.next();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
  }
  return bytes;
}

Bytes syntheticVideo(std::size_t n, std::size_t pictures, std::uint64_t seed) {
  // 720x576 at 25 fps; groups of 12 in the order an encoder sends them, the
  // first closed and the others open, with two B-pictures between the others.
  static const Bytes kSequence("\0\0\1\xB3\x2D\x02\x40\x23\xFF\xFF\xE0\x18", 12);
  static constexpr int kClosed[12] = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 11, 10},
                       kOpen[12] = {2, 0, 1, 5, 3, 4, 8, 6, 7, 11, 9, 10};
  static constexpr char kClosedTypes[] = "IPBBPBBPBBPB", kOpenTypes[] = "IBBPBBPBBPBB";
  Bytes bodies = randomBytes(n, seed);
  // No start code may hide in the bodies: a stray picture header would move the time line.
  for (std::size_t at = 0; (at = bodies.find(Bytes(kStartCodePrefix, 3), at)) != Bytes::npos; at += 3)
    bodies[at + 2] = 2;
  if (pictures == 0) return kSequence + bodies;
  Bytes video = kSequence;
  const std::size_t body = n / pictures;
  for (std::size_t i = 0; i < pictures; ++i) {
    const std::size_t inGroup = i % 12;
    if (inGroup == 0) video += Bytes("\0\0\1\xB8\0\x08\0", 7) + (i == 0 ? '\x40' : '\0');
    const int reference = (i < 12 ? kClosed : kOpen)[inGroup];
    const char kind = (i < 12 ? kClosedTypes : kOpenTypes)[inGroup];
    const int type = kind == 'I' ? kIntraPicture : kind == 'P' ? 2 : kBidirectionalPicture;
    video +=
        {0,      0,     1, 0, static_cast<char>(reference >> 2), static_cast<char>((reference & 3) << 6 | type << 3),
         '\xFF', '\xF8'};
    video += bodies.substr(i * body, i + 1 < pictures ? body : Bytes::npos);
  }
  return video;
}

Bytes syntheticAudio(std::size_t n, std::uint64_t seed) {
  constexpr std::size_t kFrame = 576;  // 144 * 192000 / 48000
  Bytes audio = randomBytes(n, seed ^ 0xA0D10);
  for (std::size_t at = 0; at < n; at += kFrame) {
    audio.replace(at, std::min<std::size_t>(4, n - at), "\xFF\xFD\xA4\x00", std::min<std::size_t>(4, n - at));
  }
  return audio;
}

void packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording,
                   const Sink& pes, Intact* intact) {
  Packer(video, audio, options, recording, pes, intact).run();
}

}  // namespace korvat::pack
