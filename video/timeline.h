// Where the moments of the recording lie in the video output. Elementary
// streams keep no time stamps: a player shows the pictures one after another,
// so every picture that damage took away moves every later one earlier. The
// time line says by how much, for any moment of the recording, so that the
// audio can be moved with the video.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

  // One picture shown, in display order: it was stamped `stamp` and is shown
  // `shift` ticks earlier than that. A picture stamped before the last one
  // added (damage that garbled a stamp) is passed over.
  //
  // A picture that moves alone, while the next goes on as before, had a
  // garbled stamp: a new shift holds only once a second picture has it.
  void add(std::int64_t stamp, std::int64_t shift) {
    const auto same = [](std::int64_t a, std::int64_t b) { return std::llabs(a - b) < kSameShift; };
    if (spans.empty()) {
      spans.push_back({stamp, stamp, shift});
    } else if (stamp <= spans.back().last) {
      return;
    } else if (same(shift, spans.back().shift)) {
      spans.back().last = stamp;
      alone.reset();
    } else if (alone && same(shift, alone->shift) && stamp > alone->last) {
      spans.push_back({alone->first, stamp, shift});
      alone.reset();
    } else {
      alone = Span{stamp, stamp, shift};
    }
  }

  // Where the video was cut at damage: so many pictures into the output,
  // with so many dropped there.
  struct Cut {
    std::int64_t at;  // in the output, from the first picture
    std::uint64_t pictures;
  };
  void addCut(std::int64_t picturesBefore, std::uint64_t dropped) {
    cutList.push_back({picturesBefore * picturePeriod, dropped});
  }
  const std::vector<Cut>& cuts() const { return cutList; }

  bool empty() const { return spans.empty(); }
  // How much earlier than its stamp the first picture is shown: the time
  // line's stamps count from a stamp met, not always the first picture's.
  std::int64_t firstShift() const { return spans.empty() ? 0 : spans.front().shift; }
  // When the last picture shown ends, from the first one's start.
  std::int64_t end() const { return spans.empty() ? 0 : spans.back().last - spans.back().shift + picturePeriod; }
  std::size_t size() const { return spans.size(); }
  void setPicturePeriod(std::int64_t ticks) { picturePeriod = ticks; }

  // How much earlier a moment of the recording is shown. A moment whose
  // pictures were lost is shown with the next picture that was not, so the
  // sound of a lost stretch goes with it.
  std::int64_t shiftAt(std::int64_t moment) const {
    if (spans.empty()) return 0;
    auto after = std::upper_bound(spans.begin(), spans.end(), moment,
                                  [](std::int64_t at, const Span& span) { return at < span.first; });
    if (after == spans.begin()) return spans.front().shift;
    const Span& span = *(after - 1);
    if (moment < span.last + picturePeriod || after == spans.end()) return span.shift;
    return after->shift;
  }

 private:
  struct Span {
    std::int64_t first, last;  // the stamps of its first and last picture
    std::int64_t shift;
  };
  std::vector<Span> spans;
  std::optional<Span> alone;  // a picture whose shift no other has yet
  std::vector<Cut> cutList;
  std::int64_t picturePeriod = 3600;
};

}  // namespace korvat
