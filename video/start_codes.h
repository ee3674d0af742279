// The first stage of the video side: finds the start codes in the video
// bytes as they come, in any pieces, and hands each on with its header whole
// and the packet it began in, whose stamp a picture there takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "file/disk_file.h"
#include "format/mpeg.h"

namespace korvat {

// Start codes whose code came this many packets after their first byte lose the stamp.
constexpr std::uint64_t kPacketsInReach = 8;

struct StartCode {
  unsigned char header[kVideoHeaderBytes] = {};
  std::size_t size = 0;      // of the header: fewer than kVideoHeaderBytes only at the end of the video
  std::uint64_t at = 0;      // where it begins in the video that the stage handing it on sees
  std::uint64_t packet = 0;  // the packet its first byte came in, counted from 0
  TimeStamp packetStamp;
  // False when its code came kPacketsInReach packets or more after its first
  // byte (empty packets between): such a picture has never taken a stamp.
  bool stampInReach = true;
  unsigned char code() const { return header[3]; }
};

// Bytes of the video, with the start codes whose headers they made whole.
struct VideoChunk {
  const unsigned char* data;
  std::size_t size;
  std::uint64_t packet;  // the packet they came in
  const std::vector<StartCode>& startCodes;
  std::uint64_t settledTo;  // no start code not yet handed on begins before this
};

class StartCodeFinder {
 public:
  // The bytes after this are a new packet's, stamped `stamp`.
  void packetBegins(TimeStamp stamp);
  // Hands the next stage (`take(const VideoChunk&)`, false on a failed
  // write) these bytes and the start codes they completed. `prefixes`, when
  // given, are where every start code prefix in them begins, found already.
  template <class Next>
  bool feed(const unsigned char* data, std::size_t n, Next& next, const ReadMarks* prefixes = nullptr) {
    find(data, n, prefixes);
    return next.take(VideoChunk{data, n, packets - 1, found, settledTo});
  }
  // Damage lies here: no start code spans it. The next stage is told.
  template <class Next>
  bool cut(Next& next) {
    forgetCarry();
    return next.cut();
  }
  // The video ended: the start codes too near its end to be whole go on as
  // far as they go.
  template <class Next>
  bool finish(Next& next) {
    findUnfinished();
    return next.take(VideoChunk{nullptr, 0, packets - 1, found, settledTo});
  }

 private:
  // A start code may begin in the last bytes, and its header end this many later.
  static constexpr std::size_t kCarried = kVideoHeaderBytes - 1;
  struct Stamped {
    std::uint64_t packet;
    TimeStamp stamp;
  };

  void find(const unsigned char* data, std::size_t n, const ReadMarks* prefixes);
  void findAcrossCarry(const unsigned char* data, std::size_t n);
  void hand(const unsigned char* header, std::size_t size, std::uint64_t at, std::uint64_t packet,
            std::uint64_t codePacket);
  void bytesCame();
  TimeStamp stampOf(std::uint64_t packet) const;
  void carryOn(const unsigned char* data, std::size_t n);
  void findUnfinished();
  void settle();
  void forgetCarry();

  std::uint64_t packets = 0;
  TimeStamp stamp;        // the packet in hand's
  std::uint64_t end = 0;  // the bytes seen
  // The last bytes, not yet looked at as a start code's first, and their packets.
  unsigned char carry[kCarried] = {};
  std::uint64_t owners[kCarried] = {};
  std::size_t carried = 0;
  // The stamps of the last packets that brought bytes: those of every byte
  // carried, and of the bytes in hand.
  static constexpr std::size_t kStampsKept = kCarried + 1;
  Stamped recent[kStampsKept] = {};
  std::size_t recentNext = 0;
  std::uint64_t settledTo = 0;
  std::vector<StartCode> found;  // with the bytes in hand
};

}  // namespace korvat
