// Where the audio file's payloads go, chosen once for the pass: to the sink
// as they came, or with -r through the repair's chain of stages.
#pragma once

#include <cstddef>

#include "audio/audio_sink.h"
#include "format/clock.h"

namespace korvat {

class AudioPath {
 public:
  virtual ~AudioPath() = default;

  // The payload of one PES packet, from the first frame sync on in the first;
  // `stamp` is the packet's, of the first frame that begins in it. False
  // when a write failed.
  virtual bool add(const unsigned char* data, std::size_t n, TimeStamp stamp) = 0;
  // Damage lay between the bytes before and after. False when a write failed.
  virtual bool breakHere() = 0;
  // The audio ended: what is held back goes out. False when a write failed.
  virtual bool finish() = 0;
  // The stamp of the first frame in the file, given that of the first sync's packet.
  virtual TimeStamp firstFrame(TimeStamp atFirstSync) const = 0;
  virtual bool repaired() const = 0;
};

// Without -r the audio goes out exactly as it came.
class AudioAsItCame final : public AudioPath {
 public:
  explicit AudioAsItCame(AudioSink& sink) : sink(sink) {}
  bool add(const unsigned char* data, std::size_t n, TimeStamp) override { return sink.write(data, n); }
  bool breakHere() override { return true; }
  bool finish() override { return true; }
  TimeStamp firstFrame(TimeStamp atFirstSync) const override { return atFirstSync; }
  bool repaired() const override { return false; }

 private:
  AudioSink& sink;
};

}  // namespace korvat
