// What the audio stages need to know of a frame format: where a frame
// begins, how long it is and plays, whether it proves itself whole, and
// what a silent one looks like.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/clock.h"

namespace korvat {

// A frame header read, in the terms every format shares.
struct FrameHeader {
  std::uint32_t length = 0;  // in bytes, header included
  std::uint32_t samples = 0, sampleRate = 0;
  std::uint32_t stream = 0;  // equal for frames of one stream

  bool sameStream(const FrameHeader& other) const { return stream == other.stream; }
  std::int64_t ticks() const { return ticksOfSamples(samples, sampleRate); }
  // How many such frames play in `span` ticks, to the nearest.
  std::int64_t framesIn(std::int64_t span) const { return korvat::framesIn(span, samples, sampleRate); }
};

class AudioFrameFormat {
 public:
  virtual ~AudioFrameFormat() = default;

  virtual std::size_t headerSize() const = 0;
  // False for bytes that begin no frame whose length korvat knows.
  virtual bool parse(const unsigned char* at, FrameHeader& header) const = 0;
  // A frame of silence in the stream of the frame at `like`, put in `frame`.
  virtual FrameHeader silentFrame(const unsigned char* like, std::vector<unsigned char>& frame) const = 0;
  // Whether the whole frame proves itself intact, with no frame after it to
  // tell: only a format with a check over the whole frame can.
  virtual bool provesWhole(const unsigned char* frame, const FrameHeader& header) const = 0;
};

}  // namespace korvat
