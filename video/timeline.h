// Where the moments of the recording lie in the video output. Elementary
// streams keep no time stamps: a player shows the pictures one after another,
// so every picture that damage took away moves every later one earlier. The
// time line says by how much, for any moment of the recording, so that the
// audio can be moved with the video.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "format/clock.h"

namespace korvat {

// Times are 90 kHz ticks from the stamp of the first picture shown.
class VideoTimeline {
 public:
  // Shifts closer than this are one: stamps of rates such as 29.97 a
  // second are rounded to the tick, and no one sees a millisecond.
  static constexpr std::int64_t kSameShift = kTicksPerMillisecond;

  // One picture shown, in display order: it was stamped `stamp`, is shown
  // `shift` ticks earlier than that, and for `duration` ticks. A picture
  // stamped before the last one added (damage that garbled a stamp) is
  // passed over.
  //
  // A picture that moves alone, while the next goes on as before, had a
  // garbled stamp: a new shift holds only once a second picture has it.
  void add(std::int64_t stamp, std::int64_t shift, std::int64_t duration) {
    const auto same = [](std::int64_t a, std::int64_t b) { return std::llabs(a - b) < kSameShift; };
    const std::int64_t end = stamp + duration;
    if (spans.empty()) {
      spans.push_back({stamp, stamp, end, shift});
    } else if (stamp <= spans.back().last) {
      return;
    } else if (same(shift, spans.back().shift)) {
      spans.back().last = stamp;
      spans.back().end = end;
      alone.reset();
      cutSinceSpan = false;
    } else if (alone && same(shift, alone->shift) && stamp > alone->last) {
      spans.push_back({alone->first, stamp, end, shift});
      alone.reset();
      cutSinceSpan = false;
    } else {
      alone = Span{stamp, stamp, end, shift};
    }
  }

  // No picture follows on from the last one added: the video is cut. One
  // that moved alone holds, since no picture after it can outvote it.
  void noneAfter() {
    if (alone.has_value()) spans.push_back(*alone);
    alone.reset();
    cutSinceSpan = true;
  }
  // The video ended: one that moved alone after a cut holds. Without a cut
  // since the pictures before it, the end cut its group short, and no
  // damage took the pictures it lacks.
  void ended() {
    if (cutSinceSpan) noneAfter();
  }

  // Where the video was cut at damage: so far into the output, with so
  // many pictures dropped there.
  struct Cut {
    std::int64_t at;  // in the output, in ticks from the first picture
    std::uint64_t pictures;
  };
  void addCut(const Cut& cut) { cutList.push_back(cut); }
  const std::vector<Cut>& cuts() const { return cutList; }
  // Where the cut nearest to a time of the output lies; the time itself when there is none.
  std::int64_t cutNear(std::int64_t at) const {
    std::int64_t nearest = at;
    for (const Cut& cut : cutList) {
      if (nearest == at || std::llabs(cut.at - at) < std::llabs(nearest - at)) nearest = cut.at;
    }
    return nearest;
  }

  bool empty() const { return spans.empty(); }
  // How much earlier than its stamp the first picture is shown: the time
  // line's stamps count from a stamp met, not always the first picture's.
  std::int64_t firstShift() const { return spans.empty() ? 0 : spans.front().shift; }
  // When the last picture shown ends, from the first one's start.
  std::int64_t end() const { return spans.empty() ? 0 : spans.back().end - spans.back().shift; }
  std::size_t size() const { return spans.size(); }

  // Where in the output a sound `length` ticks long that begins at a moment
  // of the recording is shown: with the pictures of the moment in its
  // middle, which fill the output from `from` to `to`. Nothing when those
  // pictures were lost: the sound of a lost stretch goes with no picture.
  struct Place {
    std::int64_t at, from, to;
  };
  std::optional<Place> placeOf(std::int64_t moment, std::int64_t length) const {
    constexpr std::int64_t kEver = std::numeric_limits<std::int64_t>::max();
    if (spans.empty()) return Place{moment, -kEver, kEver};
    const std::int64_t middle = moment + length / 2;
    auto after = std::upper_bound(spans.begin(), spans.end(), middle,
                                  [](std::int64_t at, const Span& span) { return at < span.first; });
    if (after != spans.begin() && after != spans.end() && middle >= (after - 1)->end) return std::nullopt;
    const Span& span = after == spans.begin() ? spans.front() : *(after - 1);
    return Place{moment - span.shift, &span == &spans.front() ? -kEver : span.first - span.shift,
                 &span == &spans.back() ? kEver : span.end - span.shift};
  }

  // How much earlier a moment of the recording is shown. A moment whose
  // pictures were lost is shown with the next picture that was not, so the
  // sound of a lost stretch goes with it.
  std::int64_t shiftAt(std::int64_t moment) const {
    if (spans.empty()) return 0;
    auto after = std::upper_bound(spans.begin(), spans.end(), moment,
                                  [](std::int64_t at, const Span& span) { return at < span.first; });
    if (after == spans.begin()) return spans.front().shift;
    const Span& span = *(after - 1);
    if (moment < span.end || after == spans.end()) return span.shift;
    return after->shift;
  }

 private:
  struct Span {
    std::int64_t first, last;  // the stamps of its first and last picture
    std::int64_t end;          // when its last picture ends
    std::int64_t shift;
  };
  std::vector<Span> spans;
  std::optional<Span> alone;  // a picture whose shift no other has yet
  bool cutSinceSpan = false;  // the video was cut since the last picture a span took
  std::vector<Cut> cutList;
};

}  // namespace korvat
