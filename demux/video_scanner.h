// Reads the video output as it is written, for what its headers and the
// packets' time stamps say: the first picture's stamp, which the audio
// delay is counted from, and, when asked, where every later picture is shown.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/mpeg.h"
#include "format/timeline.h"

namespace korvat {

class VideoScanner {
 public:
  // In MPEG-2 video the first picture header follows the sequence header
  // within a few hundred bytes; a search that went this far will not find it.
  static constexpr std::uint64_t kFirstPictureLimit = 1 << 20;

  explicit VideoScanner(bool followEveryPicture) : followEveryPicture(followEveryPicture) {}

  // One video packet's payload, less its prefix, of which the output took
  // the bytes from `written` on; `prefix` is the packet's stamp, which
  // stamps the first picture that begins in the packet.
  void feed(const unsigned char* payload, std::size_t n, std::size_t written, TimeStamp prefix);
  // The same for a packet whose payload is written in pieces: first its
  // stamp (`stampUsed` when a picture that began in it was not written),
  // then what is written of it, piece by piece.
  void startPacket(TimeStamp prefix, bool stampUsed = false);
  void scanWritten(const unsigned char* data, std::size_t n);
  // Or, for a writer that finds the start codes itself: each start code
  // written, with the header behind it whole (kVideoHeaderBytes readable),
  // and how many bytes were written.
  void startCodeWritten(const unsigned char* header);
  void countWritten(std::size_t n);
  // A picture began in the packet in hand that is not written.
  void stampUsed() { packets[(packetCount - 1) % kPacketsKept].pictureBegun = true; }
  // Whether the rest of the video can go by unread.
  bool done() const { return firstSettled && !followEveryPicture; }
  // The video output is complete.
  void finish();

  TimeStamp firstPicture() const;
  // Where the pictures are shown, in ticks from timelineBase(), the first
  // stamp met: empty when no picture has one, or the frame rate is not known.
  const VideoTimeline& timeline() const { return shown; }
  TimeStamp timelineBase() const { return base; }

 private:
  // The packets whose bytes a start code may still begin in.
  struct Packet {
    bool stamped = false;
    std::uint32_t stamp = 0;
    bool pictureBegun = false;  // a picture began in it: its stamp is used up
  };
  static constexpr std::size_t kPacketsKept = 8;
  struct GroupPicture {
    std::uint16_t reference;
    std::uint8_t type;
    bool stamped;
    std::int64_t stamp;  // from the first picture's stamp
    unsigned fields;     // shown for, in fields: 2 a frame
  };

  void scan(const unsigned char* data, std::size_t n);
  void startCodeAt(const unsigned char* header, std::size_t available, std::uint64_t packet);
  void readPending();
  TimeStamp pictureBegins(std::uint64_t packet);
  void settlePicture(std::uint8_t structure, unsigned fields = 2);
  void endGroup();
  struct Shown {
    bool timed;
    std::int64_t stamp;
    unsigned fields;
  };
  void show(const Shown& picture);
  void checkFirstPicture(bool timed, std::int64_t byGroup);
  std::vector<std::int64_t> fieldsBeforeEach() const;
  bool startOfGroup(const std::vector<std::int64_t>& fieldsBefore, std::int64_t& start) const;

  bool followEveryPicture;
  std::array<Packet, kPacketsKept> packets{};
  std::uint64_t packetCount = 0;
  // The last bytes seen, which a start code may begin in, and their packets.
  unsigned char tail[kStartCodeSize - 1] = {};
  std::uint64_t tailPacket[kStartCodeSize - 1] = {};
  std::size_t tailSize = 0;
  // The last header whose start code was seen, until korvat has read it.
  unsigned char pending[kVideoHeaderBytes] = {};
  std::size_t pendingSize = 0;
  std::uint64_t pendingPacket = 0;
  bool pictureNoted = false;
  TimeStamp pendingStamp;

  bool firstSettled = false;
  TimeStamp first = TimeStamp::unknown("no picture in the video");
  std::uint64_t searched = 0;
  TimeStamp base = TimeStamp::unknown("no picture has a time stamp");
  UnwrappedClock clock;

  FramePeriod period;
  std::vector<GroupPicture> group;
  bool dropLeadingB = true;  // before the first group header: no picture before
  std::int64_t shownFields = 0;
  bool progressiveSequence = false;
  bool groupHeadersSeen = false;
  bool firstChecked = false;
  std::int64_t nextGroupStart = 0;  // where the group after the last one would begin
  std::int64_t clockOffset = 0;     // added to every stamp since the clock restarted
  // The last picture header, until korvat knows whether it is a field.
  struct UnsettledPicture {
    std::uint16_t reference;
    std::uint8_t type;
    TimeStamp stamp;
  };
  std::optional<UnsettledPicture> unsettled;
  bool firstField = false;  // the last picture was the first field of a frame
  std::uint16_t firstFieldReference = 0;
  std::optional<Shown> held;  // the last picture that is not a B-picture, until the next one
  VideoTimeline shown;
};

}  // namespace korvat
