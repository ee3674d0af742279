// The video file's writer, chosen once for the run: the video as it comes
// (read for its first picture's stamp), as it comes from the first packet on
// (-i), or cut cleanly at damage with every picture's time found (-r).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "file/disk_file.h"
#include "format/clock.h"
#include "video/clean_cut.h"
#include "video/picture_clock.h"
#include "video/start_codes.h"

namespace korvat {

enum class VideoWriting {
  AsItComes,           // from the first sequence header on
  FromFirstPacket,     // -i: from the first packet on, nothing read
  CutCleanlyAtDamage,  // -r
};

class VideoWriter {
 public:
  virtual ~VideoWriter() = default;

  // The packet the video begins in, from its first sequence header on;
  // `stamp` is what its packet's stamp still stamps. False when a write failed.
  virtual bool begin(const unsigned char* data, std::size_t n, TimeStamp stamp) = 0;
  // Each later packet's payload, less its prefix, from `input`. False when a
  // file failed.
  virtual bool copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix) = 0;
  // A damaged stretch lies here. False when a write failed.
  virtual bool cut() = 0;
  // The recording ended: what is held goes out. False when a write failed.
  virtual bool flush() = 0;
  // The run is over, however it ended: the pictures' times are settled.
  virtual void settle() = 0;

  // What was written and dropped, for the progress lines.
  virtual const CleanCut::Counts& counts() const = 0;
  const PictureClock& pictures() const { return clock; }

 protected:
  explicit VideoWriter(PictureClock::Follows follows) : clock(follows) {}

  StartCodeFinder startCodes;
  PictureClock clock;
};

std::unique_ptr<VideoWriter> makeVideoWriter(VideoWriting writing, DiskFile& video);

}  // namespace korvat
