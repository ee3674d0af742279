#include "demux/demultiplex.h"

#include <cstddef>
#include <vector>

#include "format/av_packet.h"
#include "platform/platform.h"

namespace korvat {
namespace {

struct RunCounters {
  std::uint64_t audioPackets = 0, audioBytes = 0;
  std::uint64_t videoPackets = 0, videoBytes = 0;
  std::uint64_t skippedItems = 0, skippedBytes = 0;
};

// How the loop ended, before the outputs were flushed.
enum class Ending { EndOfInput, ReadError, InvalidHeader, Interrupted };

// Offset of the first MPEG-2 sequence header start code (00 00 01 B3) lying
// wholly inside data[0, n), or n when there is none.
std::size_t findSequenceHeader(const unsigned char* data, std::size_t n) {
  for (std::size_t d = 0; d + 4 <= n; ++d) {
    if (data[d + 3] == 0xB3 && data[d + 2] == 0x01 && data[d + 1] == 0x00 && data[d] == 0x00) return d;
  }
  return n;
}

class Demultiplexer {
 public:
  Demultiplexer(DiskFile& input, DiskFile& video, DiskFile& audio, bool copyVideoBeforeStart)
      : input(input), video(video), audio(audio), videoStarted(copyVideoBeforeStart), searchBuffer(UINT16_MAX) {}

  DemuxResult run() {
    for (;;) {
      interruptsSeen = platform::interruptCount();
      if (interruptsSeen > 0) return finish(Ending::Interrupted);
      AVheader header;
      input.read(header.bytes, AVheader::kSize);
      if (input.error() != FileError::Ok) return stopped();
      if (!header.hasSync()) return finish(Ending::InvalidHeader);
      if (!route(header) || !printProgress()) return stopped();
    }
  }

 private:
  // Each returns false when a file failed; stopped() then finds which.
  bool route(const AVheader& header) {
    switch (header.streamId()) {
      case AVheader::kAudioStream:
        return copyAudio(header.payloadLength());
      case AVheader::kVideoStream:
        return handleVideo(header);
      default:
        return skip(header.payloadLength());
    }
  }

  bool copyAudio(std::uint16_t length) {
    if (!input.copyTo(audio, length)) return false;
    counters.audioPackets += 1;
    counters.audioBytes += length;
    return true;
  }

  bool handleVideo(const AVheader& header) {
    std::uint16_t length = header.payloadLength();
    if (header.hasVideoPrefix()) {
      // Too short to hold its own prefix: nothing in it can be video.
      if (length < AVheader::kVideoPrefixSize) return skip(length);
      input.seekCur(AVheader::kVideoPrefixSize);  // a refused move fails the read that follows
      length -= AVheader::kVideoPrefixSize;
      counters.skippedItems += 1;
      counters.skippedBytes += AVheader::kVideoPrefixSize;
    }
    if (!(videoStarted ? input.copyTo(video, length) : searchVideoStart(length))) return false;
    if (videoStarted) {
      counters.videoPackets += 1;
      counters.videoBytes += length;
    } else {
      counters.skippedItems += 1;
    }
    return true;
  }

  // Before the first sequence header the payload is read whole and searched;
  // the bytes before the start code are dropped. `length` becomes the number
  // of bytes written.
  bool searchVideoStart(std::uint16_t& length) {
    if (input.read(searchBuffer.data(), length) != length) return false;
    const std::size_t start = findSequenceHeader(searchBuffer.data(), length);
    counters.skippedBytes += start;
    if (start == length) return true;
    videoStarted = true;
    length = static_cast<std::uint16_t>(length - start);
    return video.write(searchBuffer.data() + start, length) == length;
  }

  bool skip(std::uint16_t length) {
    if (!input.seekCur(length)) return false;
    counters.skippedItems += 1;
    counters.skippedBytes += length;
    return true;
  }

  // After a step that failed, the files' error codes say which one it was.
  DemuxResult stopped() {
    if (video.error() != FileError::Ok) return writeFailure(video);
    if (audio.error() != FileError::Ok) return writeFailure(audio);
    return finish(reachedEndOfInput(input) ? Ending::EndOfInput : Ending::ReadError);
  }

  // The output files hold all that was counted only once the gathered writes
  // are flushed: a failure there is a failed write like any other.
  DemuxResult finish(Ending ending) {
    if (!console.settle()) return stopped();
    switch (ending) {
      case Ending::EndOfInput:
        consolePrint("\nend of input file reached\n");
        return {PassEnd::Completed, 0};
      case Ending::Interrupted:
        consolePrint("\ninterrupted\n");
        return {PassEnd::Interrupted, interruptsSeen};
      case Ending::InvalidHeader:
        consolePrint("\ninvalid AVheader\n");
        break;
      case Ending::ReadError:
        break;
    }
    consolePrint("\nerror reading/writing file\n");
    return {PassEnd::Failed, 0};
  }

  DemuxResult writeFailure(DiskFile& output) {
    console.settle();  // the lines whose data did reach the files
    consolePrint(&output == &audio ? "\nerror writing to audio-file\n" : "\nerror writing to video-file\n");
    consolePrint("\nerror reading/writing file\n");
    return {PassEnd::Failed, 0};
  }

  bool printProgress() {
    return console.progress("%d (%d kb) audio, %d (%d kb) video, %d (%d kb) skipped\r",
                            {counters.audioPackets, counters.audioBytes >> 10, counters.videoPackets,
                             counters.videoBytes >> 10, counters.skippedItems, counters.skippedBytes >> 10});
  }

  DiskFile& input;
  DiskFile& video;
  DiskFile& audio;
  bool videoStarted;
  RunCounters counters;
  PassConsole console{{&video, &audio}};
  std::uint32_t interruptsSeen = 0;
  // One buffer for the largest payload serves every search.
  std::vector<unsigned char> searchBuffer;
};

}  // namespace

DemuxResult demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, bool copyVideoBeforeStart) {
  return Demultiplexer(input, video, audio, copyVideoBeforeStart).run();
}

}  // namespace korvat
