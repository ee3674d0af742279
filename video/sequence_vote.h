// Which frame rate holds after each sequence header: the rate a programme
// changes to holds, and one header that damage garbled is outvoted by the
// headers around it, as a garbled stamp is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "format/mpeg.h"

namespace korvat {

// What a sequence header says of how long its pictures are shown.
struct SequenceRate {
  FramePeriod period;
  bool progressive = false;  // from its sequence extension; MPEG-1 has none
  bool operator==(const SequenceRate& o) const { return period == o.period && progressive == o.progressive; }
};

class SequenceVote {
 public:
  // A sequence header. Its headers count from 0.
  void header(FramePeriod period) { headers.push_back({{period, false}, std::nullopt}); }
  // Its sequence extension, which comes before any picture of it.
  void progressive(bool progressive) {
    if (!headers.empty()) headers.back().said.progressive = progressive;
  }
  // How many headers were met.
  std::size_t count() const { return forgotten + headers.size(); }

  // The rate that holds after header n, once it is decided: a header holds
  // when the one before or after it agrees, or no header comes after it.
  // Else it is outvoted: by the one before, or for the first header, by
  // those after it. The period is not known when no header gave one.
  // Nothing while the header after it has yet to come, unless `ending`.
  std::optional<SequenceRate> rate(std::size_t n, bool ending) {
    // Video that begins without a sequence header has no rate.
    if (n >= count()) return ending ? std::optional<SequenceRate>(SequenceRate{}) : std::nullopt;
    if (n < forgotten) return std::nullopt;
    while (decided < headers.size() && decide(decided, ending)) ++decided;
    return headers[n - forgotten].held;
  }

  // No header before n will be asked for again.
  void forgetBefore(std::size_t n) {
    // The last decided header stays, to judge the next.
    while (forgotten + 1 < n && decided > 1) {
      headers.pop_front();
      ++forgotten;
      --decided;
    }
  }

 private:
  struct Header {
    SequenceRate said;
    std::optional<SequenceRate> held;
  };

  bool decide(std::size_t i, bool ending) {
    std::optional<SequenceRate> held = judge(i, i == 0 ? nullptr : &*headers[i - 1].held, ending);
    if (!held) return false;
    headers[i].held = held;
    return true;
  }

  // `before` is what holds for the header before i, if there is one.
  std::optional<SequenceRate> judge(std::size_t i, const SequenceRate* before, bool ending) const {
    const SequenceRate& said = headers[i].said;
    const bool usable = said.period.known();
    if (usable && before != nullptr && said == *before) return said;
    if (i + 1 >= headers.size()) {
      if (!ending) return std::nullopt;
      return usable || before == nullptr ? said : *before;
    }
    if (usable && said == headers[i + 1].said) return said;
    if (before != nullptr) return *before;
    // The first header, outvoted: what holds for the next holds for it.
    return judge(i + 1, nullptr, ending);
  }

  std::deque<Header> headers;
  std::size_t forgotten = 0;  // headers before the first kept
  std::size_t decided = 0;    // of those kept, the first so many are decided
};

}  // namespace korvat
