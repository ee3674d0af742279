// The video output of -r, cut cleanly at damage. Each picture is held until
// the next one begins, so that a picture a damaged stretch cut is never
// written. After a stretch the video goes on at the next sequence or group
// header, where a decoder can start again, and without the B-pictures of that
// group that refer back across the cut: no picture in the output needs data
// that the damage took.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "demux/video_scanner.h"
#include "file/disk_file.h"
#include "format/mpeg.h"

namespace korvat {

class CleanVideo {
 public:
  // What reached the output, and what was dropped, for the progress lines.
  struct Counts {
    std::uint64_t packets = 0, bytes = 0;                // written
    std::uint64_t droppedPackets = 0, droppedBytes = 0;  // of video packets that nothing of was written
  };
  // A cut, where it lies in the output (pictures before it) and the
  // pictures it dropped.
  struct Cut {
    std::uint64_t picturesBefore = 0, picturesDropped = 0;
  };

  CleanVideo(DiskFile& video, VideoScanner& scanner) : video(video), scanner(scanner) {}

  // One video packet's payload, less its prefix, from `input`. False when a
  // file failed; what did arrive of a payload cut short is kept, as ever.
  bool copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix);
  // The first packet's bytes from the first sequence header on; `stampUsed`
  // when a picture began before them.
  bool addFirst(const unsigned char* data, std::size_t n, TimeStamp prefix, bool stampUsed);
  // A damaged stretch lies here. False when a write failed.
  bool cut();
  // The recording ended: what is held goes out, as far as it goes.
  bool finish();

  const Counts& counts() const { return counted; }
  const std::vector<Cut>& cuts() const { return cutsMade; }

 private:
  // Where the output stands after a cut.
  enum class Restart { None, AtHeader, AtIntra, PastLeadingB };
  struct Packet {
    std::uint64_t at;  // where its payload begins in the stream
    TimeStamp prefix;
    bool started = false;         // the scanner was told of it
    bool pictureDropped = false;  // a picture that began in it was dropped: its stamp is used up
  };

  bool scanHeld();
  void unitBegins(std::uint64_t at, const unsigned char* header);
  bool endUnit(std::uint64_t at);
  bool release(std::uint64_t to);
  bool writeReady();
  bool drop(std::uint64_t to);
  void trimPackets();
  unsigned char* roomFor(std::size_t n);
  unsigned char* bytes(std::uint64_t at) { return held.get() + heldFirst + (at - heldAt); }
  void forget(std::uint64_t to);

  DiskFile& video;
  VideoScanner& scanner;
  Counts counted;
  std::vector<Cut> cutsMade;

  // held[heldFirst, heldFirst + heldSize) are the stream's bytes from heldAt on; the unit in
  // hand begins at unitAt, and the search for start codes goes on at
  // scannedTo. The start codes found that are not written yet, for the scanner.
  std::unique_ptr<unsigned char[]> held;
  std::size_t heldFirst = 0, heldSize = 0, heldRoom = 0;
  std::uint64_t heldAt = 0, unitAt = 0, scannedTo = 0, streamEnd = 0;
  std::deque<std::uint64_t> startCodes;
  std::uint64_t readyTo = 0;
  std::uint64_t lastStartCode = 0;  // the units before it are whole, and go out together
  bool unitKept = true;
  bool unitIsPicture = false;
  bool unitIsSequence = false;
  std::deque<Packet> packets;

  Restart restart = Restart::None;
  std::uint16_t intraReference = 0;
  bool sequenceKept = false;  // a whole sequence header is in the output
  std::uint64_t picturesWritten = 0;
};

}  // namespace korvat
