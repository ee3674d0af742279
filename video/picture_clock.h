// The third stage of the video side: from the start codes written, when each
// picture is shown (groups, temporal references, fields, the frame rate of
// each sequence, clock restarts, cuts), handed on in display order to the
// time line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "video/picture_stamps.h"
#include "video/sequence_vote.h"
#include "video/shown_pictures.h"
#include "video/start_codes.h"

namespace korvat {

class PictureClock {
 public:
  // Without a clean cut only the first picture's time is wanted.
  enum class Follows { FirstPicture, EveryPicture };
  explicit PictureClock(Follows follows) : follows(follows) {}

  // Video written, with the start codes in it.
  bool take(const VideoChunk& chunk);
  // The output is cut here: pictures were lost before what comes next.
  void cut();
  // A picture that began in the packet was not written, at the last cut.
  void pictureDropped(std::uint64_t packet);
  // Whether the rest of the video can go by unread.
  bool done() const { return follows == Follows::FirstPicture && stamps.firstSettled(); }
  // The video output is complete.
  void finish();

  TimeStamp firstPicture() const { return stamps.firstPicture(); }
  // Where the pictures are shown, in ticks from timelineBase(), the first
  // stamp met, and the cuts: empty when no picture has a time.
  const VideoTimeline& timeline() const { return display.timeline(); }
  TimeStamp timelineBase() const { return base; }

 private:
  struct GroupPicture {
    std::uint16_t reference;
    std::uint8_t type;
    std::uint8_t repeatFlags;  // of its coding extension
    bool stamped;
    std::int64_t stamp;  // from the time line's base
  };
  // A group's pictures in the order they came, until they are timed.
  struct Group {
    std::vector<GroupPicture> pictures;
    std::size_t sequence = 0;    // the sequence header it follows
    bool dropLeadingB = false;   // their reference picture is not in the output
    bool headed = false;         // by a group header: its temporal references count from 0
    std::size_t cutsBefore = 0;  // cuts between it and the group before
  };
  // The last picture header, until korvat knows whether it is a field.
  struct UnsettledPicture {
    std::uint16_t reference;
    std::uint8_t type;
    TimeStamp stamp;
  };
  // Where a group begins (its first picture shown), and whether its own stamps say so.
  struct GroupStart {
    std::int64_t at;
    bool own;
  };

  void startCode(const StartCode& code);
  void settlePicture(std::uint8_t structure, std::uint8_t repeatFlags = 0);
  void endGroup();
  void release(bool ending);
  std::optional<GroupStart> startOf(const SequenceRate& rate, bool ending, bool& wait);
  std::optional<std::int64_t> stampedStart(const Group& group, const SequenceRate& rate) const;
  std::optional<std::int64_t> startFromLater(bool ending, bool& wait);
  void show(const Group& group, const SequenceRate& rate, std::optional<GroupStart> start);
  void placeCuts(std::size_t count);
  void checkFirstPicture(const GroupPicture& picture, std::optional<GroupStart> start, std::int64_t byGroup);
  static std::vector<std::int64_t> fieldsBeforeEach(const Group& group, bool progressive);

  Follows follows;
  PictureStamps stamps;
  SequenceVote sequences;
  TimeStamp base = TimeStamp::unknown("no picture has a time stamp");
  UnwrappedClock clock;
  Group group{{}, 0, true, false, 0};  // before the first group header: no picture before
  bool groupHeadersSeen = false;
  bool anyPicture = false;      // a picture came before the group in hand
  std::size_t cutsPending = 0;  // cuts since the last group ended
  std::deque<Group> waiting;    // ended, until their rate and time are known
  std::size_t waitingPictures = 0;
  bool anyTimed = false;            // a group before the waiting ones was timed
  std::int64_t nextGroupStart = 0;  // where the group after the last one timed would begin
  std::int64_t clockOffset = 0;     // added to every stamp since the clock restarted
  std::vector<VideoTimeline::Cut> cutsMade;
  std::size_t cutsPlaced = 0;
  std::optional<UnsettledPicture> unsettled;
  std::optional<std::uint16_t> firstFieldOf;  // the last picture's reference, when it was the first field of a frame
  ShownPictures display;
};

}  // namespace korvat
