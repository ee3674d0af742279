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
  FramePeriod period;  // of its sequence
  bool lastBeforeCut = false;
  std::int64_t duration() const { return period.ofFields(fields); }
};

class ShownPictures {
 public:
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
    shown.ended();
  }
  // The output is cut after the pictures decoded so far.
  void cut() {
    if (held.has_value()) {
      held->lastBeforeCut = true;
    } else {
      shown.noneAfter();
    }
  }
  // How far into the output the pictures decoded so far reach: the picture
  // held back to be shown is in it.
  std::int64_t reach() const { return position() + (held.has_value() ? held->duration() : 0); }
  void addCut(const VideoTimeline::Cut& cut) { shown.addCut(cut); }
  const VideoTimeline& timeline() const { return shown; }

 private:
  // Pictures of one rate are counted in fields, so that rates of 1000/1001
  // add up without rounding; the count starts again where the rate changes.
  std::int64_t position() const { return ticksBeforeRate + period.ofFields(fieldsAtRate); }

  void show(const ShownPicture& picture) {
    if (!(picture.period == period)) {
      ticksBeforeRate = position();
      fieldsAtRate = 0;
      period = picture.period;
    }
    if (picture.timed) shown.add(picture.stamp, picture.stamp - position(), picture.duration());
    if (picture.lastBeforeCut) shown.noneAfter();
    fieldsAtRate += picture.fields;
  }

  std::optional<ShownPicture> held;  // the last picture that is not a B-picture, until the next one
  FramePeriod period;
  std::int64_t ticksBeforeRate = 0;
  std::int64_t fieldsAtRate = 0;
  VideoTimeline shown;
};

}  // namespace korvat
