#include "demux/demultiplex.h"

#include <vector>

#include "demux/av_packet.h"
#include "demux/console.h"
#include "platform/platform.h"

namespace korvat {
namespace {

struct RunCounters {
  std::uint64_t audioPackets = 0, audioBytes = 0;
  std::uint64_t videoPackets = 0, videoBytes = 0;
  std::uint64_t skippedItems = 0, skippedBytes = 0;
};

// How one packet's turn ended.
enum class Ending { EndOfInput, ReadError, InvalidHeader, Interrupted };

enum class Turn {
  Counted,      // handled in full: print the progress line
  InputFailed,  // the input failed; the next turn decides between end and error
  WriteFailed,  // an output failed: the run ends
};

class Demultiplexer {
 public:
  Demultiplexer(DiskFile& input, DiskFile& video, DiskFile& audio, const RunOptions& options)
      : input(input), video(video), audio(audio), videoStarted(options.includeInvalidVideo),
        searchBuffer(UINT16_MAX) {}

  DemuxResult run() {
    for (;;) {
      if (input.error() != FileError::Ok) {
        return finish(reachedEndOfInput(input) ? Ending::EndOfInput : Ending::ReadError);
      }
      interruptsSeen = platform::interruptCount();
      if (interruptsSeen > 0) return finish(Ending::Interrupted);
      AVheader header;
      input.read(header.bytes, AVheader::kSize);
      if (input.error() != FileError::Ok) continue;
      if (!header.hasSync()) return finish(Ending::InvalidHeader);
      const Turn turn = route(header);
      if (turn == Turn::WriteFailed) return writeFailure(*failedOutput);
      if (turn == Turn::Counted) {
        if (DiskFile* failed = printProgress()) return writeFailure(*failed);
      }
    }
  }

 private:
  Turn route(const AVheader& header) {
    switch (header.streamId()) {
      case AVheader::kAudioStream: return copyAudio(header.payloadLength());
      case AVheader::kVideoStream: return handleVideo(header);
      default: return skip(header.payloadLength());
    }
  }

  Turn copyAudio(std::uint16_t length) {
    input.copyTo(audio, length);
    if (audio.error() != FileError::Ok) return writeFailed(audio);
    if (input.error() != FileError::Ok) return Turn::InputFailed;
    counters.audioPackets += 1;
    counters.audioBytes += length;
    return Turn::Counted;
  }

  Turn handleVideo(const AVheader& header) {
    std::uint16_t length = header.payloadLength();
    if (header.hasVideoPrefix()) {
      // Too short to hold its own prefix: nothing in it can be video.
      if (length < AVheader::kVideoPrefixSize) return skip(length);
      input.seekCur(AVheader::kVideoPrefixSize);
      length -= AVheader::kVideoPrefixSize;
      counters.skippedItems += 1;
      counters.skippedBytes += AVheader::kVideoPrefixSize;
    }
    const Turn turn = videoStarted ? copyVideo(length) : searchVideoStart(length);
    if (turn != Turn::Counted) return turn;
    if (videoStarted) {
      counters.videoPackets += 1;
      counters.videoBytes += length;
    } else {
      counters.skippedItems += 1;
    }
    return Turn::Counted;
  }

  Turn copyVideo(std::uint16_t length) {
    input.copyTo(video, length);
    if (video.error() != FileError::Ok) return writeFailed(video);
    return input.error() == FileError::Ok ? Turn::Counted : Turn::InputFailed;
  }

  // Before the first sequence header the payload is read whole and searched;
  // the bytes before the start code are dropped. `length` becomes the number
  // of bytes written.
  Turn searchVideoStart(std::uint16_t& length) {
    input.read(searchBuffer.data(), length);
    if (input.error() != FileError::Ok) return Turn::InputFailed;
    const std::size_t start = findSequenceHeader(searchBuffer.data(), length);
    counters.skippedBytes += start;
    if (start == length) return Turn::Counted;
    videoStarted = true;
    length = static_cast<std::uint16_t>(length - start);
    video.write(searchBuffer.data() + start, length);
    if (video.error() != FileError::Ok) return writeFailed(video);
    return Turn::Counted;
  }

  Turn skip(std::uint16_t length) {
    input.seekCur(length);
    if (input.error() != FileError::Ok) return Turn::InputFailed;
    counters.skippedItems += 1;
    counters.skippedBytes += length;
    return Turn::Counted;
  }

  Turn writeFailed(DiskFile& output) {
    failedOutput = &output;
    return Turn::WriteFailed;
  }

  // The output files hold all that was counted only once the gathered writes
  // are flushed: a failure there is a failed write like any other.
  DemuxResult finish(Ending ending) {
    if (DiskFile* failed = console.settle()) return writeFailure(*failed);
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

  DiskFile* printProgress() {
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
  DiskFile* failedOutput = nullptr;
  std::uint32_t interruptsSeen = 0;
  // One buffer for the largest payload serves every search.
  std::vector<unsigned char> searchBuffer;
};

}  // namespace

DemuxResult demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, const RunOptions& options) {
  return Demultiplexer(input, video, audio, options).run();
}

}  // namespace korvat
