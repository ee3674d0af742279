// The third stage of the video side: from the start codes written, when each
// picture is shown (groups, temporal references, fields, the frame period,
// clock restarts), handed on in display order to the time line.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "video/picture_stamps.h"
#include "video/shown_pictures.h"
#include "video/start_codes.h"

namespace korvat {

class PictureClock {
 public:
  // Without a clean cut only the first picture's stamp is wanted.
  enum class Follows { FirstPicture, EveryPicture };
  explicit PictureClock(Follows follows) : follows(follows) {}

  // Video written, with the start codes in it.
  bool take(const VideoChunk& chunk);
  // A picture that began in the packet was not written.
  void pictureDropped(std::uint64_t packet) { stamps.used(packet); }
  // Whether the rest of the video can go by unread.
  bool done() const { return follows == Follows::FirstPicture && stamps.firstFound(); }
  // The video output is complete.
  void finish();

  TimeStamp firstPicture() const { return stamps.firstPicture(); }
  // Where the pictures are shown, in ticks from timelineBase(), the first
  // stamp met: empty when no picture has one, or the frame rate is not known.
  const VideoTimeline& timeline() const { return display.timeline(); }
  TimeStamp timelineBase() const { return base; }

 private:
  struct GroupPicture {
    std::uint16_t reference;
    std::uint8_t type;
    bool stamped;
    std::int64_t stamp;  // from the time line's base
    unsigned fields;
  };
  struct Group {
    std::vector<GroupPicture> pictures;
    bool dropLeadingB = true;  // before the first group header: no picture before
  };
  // The last picture header, until korvat knows whether it is a field.
  struct UnsettledPicture {
    std::uint16_t reference;
    std::uint8_t type;
    TimeStamp stamp;
  };

  void startCode(const StartCode& code);
  void settlePicture(std::uint8_t structure, unsigned fields = 2);
  void endGroup();
  void checkFirstPicture(bool timed, std::int64_t byGroup);
  std::vector<std::int64_t> fieldsBeforeEach() const;
  bool startOfGroup(const std::vector<std::int64_t>& fieldsBefore, std::int64_t& start) const;

  Follows follows;
  PictureStamps stamps;
  TimeStamp base = TimeStamp::unknown("no picture has a time stamp");
  UnwrappedClock clock;
  FramePeriod period;
  bool progressiveSequence = false;
  bool groupHeadersSeen = false;
  Group group;
  std::int64_t nextGroupStart = 0;  // where the group after the last one would begin
  std::int64_t clockOffset = 0;     // added to every stamp since the clock restarted
  std::optional<UnsettledPicture> unsettled;
  std::optional<std::uint16_t> firstFieldOf;  // the last picture's reference, when it was the first field of a frame
  ShownPictures display;
};

}  // namespace korvat
