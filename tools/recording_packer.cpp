#include "tools/recording_packer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

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

constexpr char kPictureStart[] = {0, 0, 1, 0};
constexpr std::uint32_t kTicksPerPicture = 3600;      // 25 pictures a second at 90 kHz
constexpr std::uint64_t kTicksPerAudioPacket = 2160;  // 24 ms

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
        intact(intact),
        audioPts(options.audioClock - 2 * kTicksPerAudioPacket) {
    if (video.compare(0, 4, kSequenceHeader, 4) != 0)
      throw std::invalid_argument("video must begin with a sequence header");
    const Bytes leadIn = options.leadIn ? leadInVideo(video, rng) : Bytes();
    videoStream = leadIn + video;
    firstStart = leadIn.size();
    for (std::size_t at = 0; (at = videoStream.find(Bytes(kPictureStart, 4), at)) != Bytes::npos; ++at) {
      pictures.push_back(at);
    }
    firstPicture = std::lower_bound(pictures.begin(), pictures.end(), firstStart) - pictures.begin();
  }

  void run() {
    emitAudio(0xC0, rng.plainBytes(rng.in(options.audio)), false);  // the tail of a frame: no sync in it
    emitAudio(0xBD, rng.plainBytes(rng.in(options.other)), false);  // a private stream beside the audio
    while (videoAt < videoStream.size() || audioAt < audio.size()) {
      if (rng.percent(options.otherPercent)) {
        emit(avPacket(static_cast<std::uint8_t>(rng.percent(50) ? 0 : 3), 0, rng.plainBytes(rng.in(options.other))));
        continue;
      }
      const std::uint64_t videoLeft = videoStream.size() - videoAt, audioLeft = audio.size() - audioAt;
      if (rng.below(videoLeft + audioLeft) < audioLeft)
        nextAudio();
      else
        nextVideo();
    }
  }

 private:
  // Writes one AV packet with the damage asked for; true when it arrives whole.
  bool emit(Bytes packet, bool hole = false) {
    bool whole = !hole;
    if (hole) {
      packet.erase(8 + (packet.size() - 8 - damage.holeBytes) / 2, damage.holeBytes);
      skipped(packet.size());  // what is left of it is skipped whole
    }
    const std::size_t begin = written;
    written += packet.size();
    if (begin < damage.cutStart) {
      whole = false;
      if (written > damage.cutStart) skipped(written - damage.cutStart);  // the rest of the packet cut through
      packet.erase(0, std::min(packet.size(), damage.cutStart - begin));
    }
    recording(packet.data(), packet.size());
    if (packets++ == damage.garbageAfter && damage.garbageBytes > 0) {
      Bytes garbage = rng.plainBytes(damage.garbageBytes);
      std::replace(garbage.begin(), garbage.end(), 'A', 'a');  // no header can begin in it
      recording(garbage.data(), garbage.size());
      skipped(garbage.size());
    }
    return whole;
  }

  void skipped(std::size_t bytes) {
    if (!intact) return;
    intact->damagedStretches += 1;
    intact->damagedBytes += bytes;
  }

  bool holeHere(std::size_t from, bool& done, std::size_t payloadSize) {
    if (done || from == 0 || packets < from || payloadSize < damage.holeBytes + 16) return false;
    return done = true;
  }

  // One PES packet in one AV packet, or split over two, the second of which
  // may lose bytes. Only the payloads of real audio count as audio.
  void emitAudio(std::uint8_t pesStreamId, const Bytes& payload, bool real) {
    const Bytes packet = pesPacket(pesStreamId, options.audioTimeStamps ? ptsField(audioPts) : Bytes(), payload);
    audioPts += kTicksPerAudioPacket;
    if (pes) pes(packet.data(), packet.size());
    const bool spans = options.spanPercent > 0 && real && rng.percent(options.spanPercent);
    const std::size_t split = spans ? packet.size() / 2 : packet.size();
    bool whole = emitAudioPart(packet.substr(0, split), false);
    if (spans) whole = emitAudioPart(packet.substr(split), holeHere(damage.audioHoleFrom, audioHoled, split)) && whole;
    if (whole && real && intact) intact->audio += payload;
  }

  bool emitAudioPart(const Bytes& part, bool hole) {
    const bool whole = emit(avPacket(2, 0, part), hole);
    if (whole && intact) intact->pes += part;
    return whole;
  }

  void nextAudio() {
    const std::size_t n = std::min<std::size_t>(rng.in(options.audio), audio.size() - audioAt);
    emitAudio(0xC0, audio.substr(audioAt, n), true);
    audioAt += n;
  }

  // The prefix stamps the first picture that begins in the packet.
  Bytes videoPrefix(std::size_t end) {
    const auto next = std::lower_bound(pictures.begin(), pictures.end(), videoAt) - pictures.begin();
    const bool begins = next < static_cast<std::ptrdiff_t>(pictures.size()) && pictures[next] < end;
    const std::ptrdiff_t picture = begins ? next : next - 1;
    const auto ticks = static_cast<std::uint32_t>(options.videoClock + (picture - firstPicture) * kTicksPerPicture);
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
    const bool whole = emit(prefixed ? avPacket(1, 0x10, videoPrefix(end) + payload) : avPacket(1, 0, payload), hole);
    const std::size_t from = std::max(videoAt, firstStart);
    if (whole && intact && end > from) intact->video += videoStream.substr(from, end - from);
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
  std::vector<std::size_t> pictures;  // where picture start codes begin in videoStream
  std::ptrdiff_t firstPicture = 0;    // the first after the first sequence header
  std::size_t firstStart = 0, videoAt = 0, audioAt = 0;
  std::uint64_t audioPts;
  std::size_t written = 0, packets = 0;
  bool videoHoled = false, audioHoled = false;
};

Bytes randomBytes(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t word = rng.next();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
  }
  return bytes;
}

}  // namespace

Bytes syntheticVideo(std::size_t n, std::uint64_t seed) {
  Bytes video = randomBytes(n, seed);
  video.replace(0, std::min<std::size_t>(4, n), kSequenceHeader, std::min<std::size_t>(4, n));
  return video;
}

Bytes syntheticAudio(std::size_t n, std::uint64_t seed) {
  Bytes audio = randomBytes(n, seed ^ 0xA0D10);
  audio.replace(0, std::min<std::size_t>(2, n), "\xFF\xFD", std::min<std::size_t>(2, n));
  return audio;
}

void packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording,
                   const Sink& pes, Intact* intact) {
  Packer(video, audio, options, recording, pes, intact).run();
}

Bytes packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, Bytes* pes, Intact* intact) {
  Bytes out;
  Sink pesSink = nullptr;
  if (pes) pesSink = [pes](const char* data, std::size_t n) { pes->append(data, n); };
  packRecording(
      video, audio, options, [&out](const char* data, std::size_t n) { out.append(data, n); }, pesSink, intact);
  return out;
}

}  // namespace korvat::pack
