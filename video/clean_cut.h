// The second stage of the video side, with -r: the video output cut cleanly
// at damage. Each picture is held until the next one begins, so that a picture
// a damaged stretch cut is never written. After a stretch the video goes on at
// the next sequence or group header, where a decoder can start again, and
// without the B-pictures of that group that refer back across the cut: no
// picture in the output needs data that the damage took. What is written,
// and which pictures were dropped, goes on to the picture clock.
//
// What counts as written, for the progress lines and the clock, is decided
// as the units end; the bytes themselves may reach the file earlier. While
// no unit is in doubt (no damage just before), each payload goes to the file
// as the reader has it, and a cut takes the unit in hand back from the file's
// end; a new number for a picture already there is written over it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "file/disk_file.h"
#include "video/held_video.h"
#include "video/picture_clock.h"
#include "video/start_codes.h"

namespace korvat {

// Which units go out after a cut.
class RestartRule {
 public:
  // Whether the unit that begins with this header is written.
  bool keeps(const unsigned char* header);
  void sequenceWritten() { sequenceKept = true; }
  void cut() { restart = Restart::AtHeader; }
  bool restarting() const { return restart != Restart::None; }
  // How much less each picture's temporal reference is in the output: a
  // group that lost its leading B-pictures shows its I-picture first, and
  // says so, as muxers that time pictures by their references need.
  std::uint16_t renumbering() const { return renumberBy; }

 private:
  enum class Restart { None, AtHeader, AtIntra, PastLeadingB };
  void intraKept(const unsigned char* header);

  Restart restart = Restart::None;
  std::uint16_t intraReference = 0;
  bool sequenceKept = false;  // a whole sequence header is in the output
  bool inGroup = false;       // the pictures kept belong to a group with a header
  std::uint16_t renumberBy = 0;
};

class CleanCut {
 public:
  // What reached the output, and what was dropped, for the progress lines.
  struct Counts {
    std::uint64_t packets = 0, bytes = 0;                // written
    std::uint64_t droppedPackets = 0, droppedBytes = 0;  // of video packets that nothing of was written
  };
  CleanCut(DiskFile& video, PictureClock& next) : video(video), next(next) {}

  // How the next packet's payload comes: written to the video file already
  // by the caller as it is handed on, or to be held here (read into
  // roomFor(), or handed on from anywhere). Held unless this says it passes.
  enum class Payload { Held, WrittenAsItComes };
  Payload payloadBegins();
  // Where a packet's payload can be read to, to be handed on as a chunk.
  unsigned char* roomFor(std::size_t n) { return held.roomFor(n); }
  // Bytes of the video and the start codes they completed. False when a write failed.
  bool take(const VideoChunk& chunk);
  // A damaged stretch lies here.
  bool cut();
  // The recording ended: what is held goes out, as far as it goes.
  bool finish();

  const Counts& counts() const { return counted; }

 private:
  enum class UnitKind { Picture, Sequence, Other };
  struct Unit {
    UnitKind kind = UnitKind::Other;
    bool kept = true;
    std::uint64_t packet = 0;  // it began in
  };
  struct Packet {
    std::uint64_t at;  // where its payload begins in the stream
    std::uint64_t number;
    bool started = false;  // something of it was written
  };

  bool afterBytes();
  bool endUnit(std::uint64_t at);
  bool unitBegins(const StartCode& code);
  bool renumber(StartCode& code);
  void release(std::uint64_t to);
  void writeReady(std::uint64_t limit = UINT64_MAX);
  bool closeGap();
  void startPackets(std::uint64_t to);
  bool drop(std::uint64_t to);
  void forget(std::uint64_t to);
  void trimPackets();
  // The bytes themselves, in and out of the file.
  bool writeHeld(std::uint64_t to);
  bool takeBack(std::uint64_t from, std::uint64_t to);
  bool writeReference(std::uint64_t at, const unsigned char* header);

  DiskFile& video;
  PictureClock& next;
  Counts counted;

  // The bytes from heldStart on are neither counted as written nor dropped.
  std::uint64_t heldStart = 0, heldEnd = 0;
  // The bytes from held.start() on are not in the file yet; those before it
  // are, the last of them ending the file at fileBytes.
  HeldVideo held;
  std::uint64_t fileBytes = 0;
  Payload payload = Payload::Held;
  std::deque<Packet> packets;
  std::deque<StartCode> startCodes;      // found and not written yet
  std::vector<StartCode> written;        // in the bytes written in hand
  std::uint64_t settledTo = 0;           // no start code not yet found begins before this
  std::uint64_t lastStartCode = 0;       // the units before it are whole
  std::uint64_t readyTo = 0;             // whole units up to here go out together
  std::optional<std::uint64_t> groupAt;  // where the group in hand begins, in a stream of groups
  struct GroupPicture {
    unsigned char header[kPictureHeaderBytes];  // as written
    std::uint64_t at;
  };
  std::vector<GroupPicture> groupPictures;  // the group's pictures kept, in stream order
  Unit unit;
  RestartRule rule;
};

}  // namespace korvat
