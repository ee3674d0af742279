// The first stage of the audio: whole frames out of PES payloads, however
// the bytes come, each with the stamp of its packet when one applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "audio/frame_format.h"
#include "format/clock.h"

namespace korvat {

struct FoundFrame {
  const unsigned char* data;  // header.length bytes
  FrameHeader header;
  TimeStamp stamp;  // of its packet, when it is the first frame that began in it
};

// What the stage after the finder made of a frame.
enum class FrameVerdict { Taken, PassThrough, WriteFailed };

class FrameReceiver {
 public:
  virtual ~FrameReceiver() = default;

  virtual FrameVerdict take(const FoundFrame& frame) = 0;
  // Damage lay between the frames before and after.
  virtual void damaged() = 0;
  // Bytes that go out as they came, since the audio cannot be repaired.
  virtual bool passOn(const unsigned char* data, std::size_t n) = 0;
  virtual void cannotRepair(const std::string& why) = 0;
};

class FrameFinder {
 public:
  FrameFinder(const AudioFrameFormat& format, FrameReceiver& receiver) : format(format), receiver(receiver) {}

  // The payload of one PES packet, from the first frame sync on in the first;
  // `stamp` is the packet's, of the first frame that begins in it. False
  // when a write failed.
  bool add(const unsigned char* data, std::size_t n, TimeStamp stamp);
  // Damage lay between the bytes before and after: they may not be contiguous.
  bool breakHere();
  // The audio ended: a whole frame in hand goes on, and so does a last one
  // cut short by the end of the recording.
  bool finish();
  // From here on every byte goes on as it came.
  void passThrough(const std::string& why);

  bool anyBytes() const { return anyAudio; }

 private:
  enum class State {
    FirstSearch,  // no frame found yet: nothing is dropped
    Searching,    // after a frame that no frame followed
    Locked,       // held[begin] is a frame's first byte
    PassThrough,
  };
  struct Stamp {
    std::uint64_t from, to;  // the packet's bytes in the stream
    std::uint32_t ticks;
  };

  bool process(bool atEnd);
  bool lockOn(bool atEnd);
  bool frameAt(std::size_t at, FrameHeader& header) const;
  bool provesWhole(std::size_t at, const FrameHeader& header) const;
  bool handOn(const FrameHeader& header);
  void tellDamage();
  TimeStamp stampHere();
  bool writeTheRest();

  const AudioFrameFormat& format;
  FrameReceiver& receiver;
  State state = State::FirstSearch;
  // Bytes not yet handed on: held[begin, end) are the stream's from heldAt on.
  std::vector<unsigned char> held;
  std::size_t begin = 0;
  std::uint64_t heldAt = 0;
  std::deque<Stamp> stamps;
  std::uint64_t searchedTo = 0;          // in the stream: where the search for a frame goes on
  bool cutSinceFrame = false;            // damage came after the last whole frame
  std::optional<std::uint64_t> breakAt;  // in the stream: damage not yet told
  bool anyAudio = false;
};

}  // namespace korvat
