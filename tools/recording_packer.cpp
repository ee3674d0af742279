#include "tools/recording_packer.h"

#include <algorithm>
#include <stdexcept>

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

class Packer {
 public:
  Packer(const Bytes& video, const Bytes& audio, const PackOptions& options, const Sink& recording, const Sink& pes)
      : audio(audio), options(options), rng(options.seed), recording(recording), pes(pes) {
    if (video.compare(0, 4, kSequenceHeader, 4) != 0)
      throw std::invalid_argument("video must begin with a sequence header");
    const Bytes leadIn = options.leadIn ? leadInVideo(video, rng) : Bytes();
    videoStream = leadIn + video;
    firstStart = leadIn.size();
  }

  void run() {
    emitAudio(0xC0, rng.plainBytes(rng.in(options.audio)));  // the tail of a frame: no sync in it
    emitAudio(0xBD, rng.plainBytes(rng.in(options.other)));  // a private stream beside the audio
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
  void emit(const Bytes& packet) { recording(packet.data(), packet.size()); }

  void emitAudio(std::uint8_t pesStreamId, const Bytes& payload) {
    const Bytes packet = pesPacket(pesStreamId, ptsField(pts), payload);
    pts += 2160;  // 24 ms at 90 kHz
    if (pes) pes(packet.data(), packet.size());
    emit(avPacket(2, 0, packet));
  }

  void nextAudio() {
    const std::size_t n = std::min<std::size_t>(rng.in(options.audio), audio.size() - audioAt);
    emitAudio(0xC0, audio.substr(audioAt, n));
    audioAt += n;
  }

  void nextVideo() {
    const bool prefixed = rng.percent(options.prefixPercent);
    std::size_t n = rng.in(options.video) - (prefixed ? 4 : 0);
    std::size_t end = std::min(videoAt + n, videoStream.size());
    // The first sequence header must lie whole in one payload to be found.
    if (end > firstStart && end < firstStart + 4) end = videoAt < firstStart ? firstStart : firstStart + 4;
    const Bytes payload = videoStream.substr(videoAt, end - videoAt);
    videoAt = end;
    if (prefixed)
      emit(avPacket(1, 0x10, rng.plainBytes(4) + payload));
    else
      emit(avPacket(1, 0, payload));
  }

  const Bytes& audio;
  const PackOptions& options;
  Rng rng;
  const Sink& recording;
  const Sink& pes;
  Bytes videoStream;
  std::size_t firstStart = 0, videoAt = 0, audioAt = 0;
  std::uint64_t pts = 90000;
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
                   const Sink& pes) {
  Packer(video, audio, options, recording, pes).run();
}

Bytes packRecording(const Bytes& video, const Bytes& audio, const PackOptions& options, Bytes* pes) {
  Bytes out;
  Sink pesSink = nullptr;
  if (pes) pesSink = [pes](const char* data, std::size_t n) { pes->append(data, n); };
  packRecording(
      video, audio, options, [&out](const char* data, std::size_t n) { out.append(data, n); }, pesSink);
  return out;
}

}  // namespace korvat::pack
