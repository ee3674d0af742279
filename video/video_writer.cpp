// The three ways the video file is written, behind one interface.
#include "video/video_writer.h"

namespace korvat {
namespace {

// Bytes of the input on their way to the video file: the start code
// prefixes in them are those the thread that read them ahead found while
// they were in its cache, where it did.
template <class Next>
bool feedMarked(StartCodeFinder& startCodes, DiskFile& input, const unsigned char* data, std::uint32_t n,
                Next& next) {
  ReadMarks prefixes;
  const bool marked = input.marksIn(data, n, prefixes);
  return startCodes.feed(data, n, next, marked ? &prefixes : nullptr);
}

// The video as it comes; until its first picture is found, its bytes go
// through the start codes to the picture clock on their way out.
class CopiedVideo final : public VideoWriter {
 public:
  CopiedVideo(DiskFile& video, bool readsFirstPicture)
      : VideoWriter(PictureClock::Follows::FirstPicture), video(video), readsFirstPicture(readsFirstPicture) {}

  bool begin(const unsigned char* data, std::size_t n, TimeStamp stamp) override {
    startCodes.packetBegins(stamp);
    startCodes.feed(data, n, clock);
    const auto size = static_cast<std::uint32_t>(n);
    return video.write(data, size) == size && counted(size);
  }

  bool copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix) override {
    const bool copied =
        !readsFirstPicture || clock.done() ? input.copyTo(video, length) : copyAndScan(input, length, prefix);
    return copied && counted(length);
  }

  bool cut() override { return true; }
  bool flush() override { return true; }
  // The start codes at the very end may still be the first picture's.
  void settle() override {
    startCodes.finish(clock);
    clock.finish();
  }
  const CleanCut::Counts& counts() const override { return written; }

 private:
  bool copyAndScan(DiskFile& input, std::uint16_t length, TimeStamp prefix) {
    startCodes.packetBegins(prefix);
    input.markWhileReading(findStartCodePrefixes);
    const bool copied = input.copyTo(video, length, [&](const unsigned char* data, std::uint32_t n) {
      if (!clock.done()) feedMarked(startCodes, input, data, n, clock);
    });
    if (clock.done()) input.markWhileReading(nullptr);  // the reading thread has nothing more to look for
    return copied;
  }

  bool counted(std::uint64_t bytes) {
    written.packets += 1;
    written.bytes += bytes;
    return true;
  }

  DiskFile& video;
  const bool readsFirstPicture;
  CleanCut::Counts written;
};

// -r: the video held and cut cleanly at damage; the picture clock follows
// every picture written.
class CleanVideo final : public VideoWriter {
 public:
  explicit CleanVideo(DiskFile& video)
      : VideoWriter(PictureClock::Follows::EveryPicture), video(video), clean(video, clock) {}

  bool begin(const unsigned char* data, std::size_t n, TimeStamp stamp) override {
    startCodes.packetBegins(stamp);
    return startCodes.feed(data, n, clean);
  }

  // What did arrive of a payload cut short is kept, as ever.
  bool copyPacket(DiskFile& input, std::uint16_t length, TimeStamp prefix) override {
    startCodes.packetBegins(prefix);
    input.markWhileReading(findStartCodePrefixes);
    if (clean.payloadBegins() == CleanCut::Payload::WrittenAsItComes) {
      // Copied as without -r; the clean cut sees the bytes on their way.
      bool taken = true, seen = false;
      const bool copied = input.copyTo(video, length, [&](const unsigned char* data, std::uint32_t n) {
        taken = feedMarked(startCodes, input, data, n, clean) && taken;
        seen = true;
      });
      // A packet that brought nothing still counts, as one dropped whole.
      if (!seen) taken = startCodes.feed(nullptr, 0, clean);
      return copied && taken;
    }
    // Read straight into what the clean cut holds.
    unsigned char* room = clean.roomFor(length);
    const std::uint32_t got = input.read(room, length);
    const bool arrived = input.error() == FileError::Ok;
    return startCodes.feed(room, got, clean) && arrived;
  }

  bool cut() override { return startCodes.cut(clean); }
  bool flush() override { return clean.finish(); }
  void settle() override { clock.finish(); }
  const CleanCut::Counts& counts() const override { return clean.counts(); }

 private:
  DiskFile& video;
  CleanCut clean;
};

}  // namespace

std::unique_ptr<VideoWriter> makeVideoWriter(VideoWriting writing, DiskFile& video) {
  switch (writing) {
    case VideoWriting::CutCleanlyAtDamage:
      return std::make_unique<CleanVideo>(video);
    case VideoWriting::FromFirstPacket:
      return std::make_unique<CopiedVideo>(video, false);
    case VideoWriting::AsItComes:
      break;
  }
  return std::make_unique<CopiedVideo>(video, true);
}

}  // namespace korvat
