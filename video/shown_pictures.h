// The last stage of the video side: the pictures in the order a decoder shows
// them, each for its fields, laid on the time line of the video output.
#pragma once

#include <cstdint>
#include <optional>

#include "format/mpeg.h"
#include "video/timeline.h"

namespace korvat {

struct ShownPicture {
  bool timed;
  std::int64_t stamp;  // from the time line's base
  unsigned fields;     // shown for, in fields: 2 a frame
};

class ShownPictures {
 public:
  void setPeriod(FramePeriod framePeriod) {
    period = framePeriod;
    shown.setPicturePeriod(period.of(1));
  }
  // A decoder shows a B-picture as soon as it is decoded, and every other
  // picture when the next one that is not a B-picture comes.
  void decoded(const ShownPicture& picture, bool bidirectional) {
    if (bidirectional) return show(picture);
    if (held.has_value()) show(*held);
    held = picture;
  }
  void finish() {
    if (held.has_value()) show(*held);
    held.reset();
  }
  bool noneShown() const { return shownFields == 0; }
  const VideoTimeline& timeline() const { return shown; }

 private:
  void show(const ShownPicture& picture) {
    if (picture.timed) shown.add(picture.stamp, picture.stamp - period.ofFields(shownFields));
    shownFields += picture.fields;
  }

  FramePeriod period;
  std::optional<ShownPicture> held;  // the last picture that is not a B-picture, until the next one
  std::int64_t shownFields = 0;
  VideoTimeline shown;
};

}  // namespace korvat
