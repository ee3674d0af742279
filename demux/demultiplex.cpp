// The first pass: AV packets in, the video file and the collected audio out, the damage recorded.
#include "demux/demultiplex.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <memory>

#include "file/chain_reader.h"
#include "format/av_packet.h"
#include "platform/platform.h"
#include "video/video_writer.h"

namespace korvat {
namespace {

// With -r the video is cut cleanly at damage, and every picture's time found,
// unless -i copies what no header leads.
VideoWriting videoWriting(const DemuxOptions& options) {
  if (options.copyVideoBeforeStart) return VideoWriting::FromFirstPacket;
  return options.damage == DamageMode::Repair ? VideoWriting::CutCleanlyAtDamage : VideoWriting::AsItComes;
}

struct RunCounters {
  std::uint64_t audioPackets = 0, audioBytes = 0;
  std::uint64_t skippedItems = 0, skippedBytes = 0;
  std::uint64_t damagedStretches = 0, damagedBytes = 0;
};

// How the loop ended, before the outputs were flushed.
enum class Ending { EndOfInput, ReadError, InvalidHeader, Interrupted };

class Demultiplexer {
 public:
  Demultiplexer(DiskFile& input, DiskFile& video, DiskFile& audio, const DemuxOptions& options)
      : input(input),
        video(video),
        audio(audio),
        options(options),
        videoStarted(options.copyVideoBeforeStart),
        writer(makeVideoWriter(videoWriting(options), video)),
        payloadBuffer(UINT16_MAX) {}

  DemuxResult run() {
    for (;;) {
      // A pipe ends where the interrupt found it, and what came is split to
      // its end as from a file; a file stops after the packet in hand.
      result.interruptsSeen = platform::interruptCount();
      if (result.interruptsSeen > 0 && input.seekable()) return stopAfterPacketInHand();
      if (options.damage != DamageMode::Stop) {
        bool damaged = false;
        if (!skipDamage(damaged)) return stopped();
        if (damaged) {
          if (!damageGoesOn && !printProgress()) return stopped();
          continue;
        }
      }
      AVheader header;
      input.read(header.bytes, AVheader::kSize);
      if (input.error() != FileError::Ok) return stopped();
      if (!header.hasSync()) return finish(Ending::InvalidHeader);
      if (!route(header) || !printProgress()) return stopped();
    }
  }

 private:
  // The damage seen after the packet in hand is skipped as at the end of the
  // input, and the picture the interrupt cut short is not written: -r writes
  // whole pictures only.
  DemuxResult stopAfterPacketInHand() {
    bool damaged = false;
    if (damageFollows && !skipDamage(damaged)) return stopped();
    const CleanCut::Counts before = writer->counts();
    if (videoStarted && !writer->cut()) return stopped();
    const bool dropped = writer->counts().droppedBytes != before.droppedBytes;
    // What was skipped of a stretch cut short by the interrupt is shown.
    if ((damaged || damageGoesOn || dropped) && !printProgress()) return stopped();
    return finish(Ending::Interrupted);
  }

  // With -r or -k, before each header. A packet cut short by lost data is
  // skipped whole, since its length would swallow the packets after it; an
  // audio one leaves a gap that the stripping pass must know of. A stretch
  // longer than a search looks ahead is skipped in steps, and counted,
  // recorded and shown as the one stretch it is.
  bool skipDamage(bool& damaged) {
    Resync here;
    if (!resyncHere(input, kAvChain, UINT64_MAX, kSearchBound, HeaderRead::AfterSearch, here)) return false;
    damaged = here.footing == Footing::Damaged;
    damageFollows = here.footing == Footing::WholeBeforeDamage;
    if (damageGoesOn && !damaged) {
      damageGoesOn = false;
      if (!printProgress()) return false;
    }
    if (here.footing == Footing::Intact) return true;
    AVheader header;
    std::copy(here.header, here.header + AVheader::kSize, header.bytes);
    if (!damaged) {
      // Whole, or it lost its end to damage that ran on past it: no one can
      // tell. Its video is not trusted to a clean cut.
      return !(videoStarted && header.streamId() == AVheader::kVideoStream) || writer->cut();
    }
    const bool newStretch = !damageGoesOn;
    damageGoesOn = here.damageGoesOn;
    counters.damagedBytes += here.skip;
    if (!newStretch) return skipBytes(here.skip, SkippedAs::MoreOfTheItemBefore);
    const bool audioLost = here.hasHeader && header.streamId() == AVheader::kAudioStream;
    result.damage.stretches.push_back({audio.tell(), audioLost});
    // Counted before the cut, which may fail: its bytes are counted already.
    counters.damagedStretches += 1;
    if (videoStarted && !writer->cut()) return false;
    return skipBytes(here.skip);
  }

  // Each returns false when a file failed; stopped() then finds which.
  bool route(const AVheader& header) {
    switch (header.streamId()) {
      case AVheader::kAudioStream:
        return copyAudio(header.payloadLength());
      case AVheader::kVideoStream:
        return handleVideo(header);
      default:
        return skipBytes(header.payloadLength());
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
    TimeStamp prefix = TimeStamp::unknown("no time stamp on its video packet");
    if (header.hasVideoPrefix()) {
      // Too short to hold its own prefix: nothing in it can be video.
      if (length < AVheader::kVideoPrefixSize) return skipBytes(length);
      unsigned char stamp[AVheader::kVideoPrefixSize];
      input.read(stamp, AVheader::kVideoPrefixSize);
      if (input.error() != FileError::Ok) return false;
      prefix = TimeStamp::of(videoPrefixStamp(stamp));
      length -= AVheader::kVideoPrefixSize;
      counters.skippedItems += 1;
      counters.skippedBytes += AVheader::kVideoPrefixSize;
    }
    return videoStarted ? writer->copyPacket(input, length, prefix) : searchVideoStart(length, prefix);
  }

  // Before the first sequence header the payload is read whole and searched,
  // and the bytes before the start code are dropped; a packet without one is
  // skipped.
  bool searchVideoStart(std::uint16_t length, TimeStamp prefix) {
    input.read(payloadBuffer.data(), length);
    if (input.error() != FileError::Ok) return false;  // cut short: nothing of it is written
    const std::size_t start = findStartCode(payloadBuffer.data(), length, kSequenceHeader);
    counters.skippedBytes += start;
    if (start == length) {
      counters.skippedItems += 1;
      return true;
    }
    videoStarted = true;
    // A picture that began before the sequence header took the packet's stamp.
    const bool stampUsed =
        start > 0 && findStartCode(payloadBuffer.data(), start + kStartCodeSize - 1, kPictureStart) < start;
    return writer->begin(payloadBuffer.data() + start, length - start,
                         stampUsed ? TimeStamp::unknown("its packet stamps an earlier picture") : prefix);
  }

  enum class SkippedAs { AnItem, MoreOfTheItemBefore };
  bool skipBytes(std::uint64_t length, SkippedAs as = SkippedAs::AnItem) {
    if (!input.seekCur(static_cast<std::int64_t>(length))) return false;
    if (as == SkippedAs::AnItem) counters.skippedItems += 1;
    counters.skippedBytes += length;
    return true;
  }

  // After a step that failed, the files' error codes say which one it was.
  DemuxResult stopped() {
    if (video.error() != FileError::Ok) return writeFailure(video);
    if (audio.error() != FileError::Ok) return writeFailure(audio);
    // A pipe ended where the user's interrupt found it, and what came was
    // split as from a file that ends there.
    result.interruptsSeen = platform::interruptCount();
    if (!input.seekable() && result.interruptsSeen > 0) return finish(Ending::Interrupted);
    if (reachedEndOfInput(input)) return finish(Ending::EndOfInput);
    const bool empty = input.error() == FileError::ShortRead && input.tell() == 0;
    result.stop = {empty ? PassStop::EmptyInput : PassStop::ReadError, input.tell()};
    return finish(Ending::ReadError);
  }

  // The output files hold all that was counted only once the gathered writes
  // are flushed: a failure there is a failed write like any other.
  DemuxResult finish(Ending ending) {
    if (!flushVideo()) return stopped();
    if (!console.settle()) return stopped();
    switch (ending) {
      case Ending::EndOfInput:
        consolePrint("\nend of input file reached\n");
        return ended(PassEnd::Completed);
      case Ending::Interrupted:
        consolePrint("\ninterrupted\n");
        result.stop.why = PassStop::Interrupted;
        return ended(PassEnd::Interrupted);
      case Ending::InvalidHeader:
        consolePrint("\ninvalid AVheader\n");
        // The run tells how to go on past it, once it knows what files it leaves.
        result.stop = {PassStop::DamagedHeader, input.tell() - AVheader::kSize};
        break;
      case Ending::ReadError:
        break;
    }
    consolePrint("\nerror reading/writing file\n");
    return ended(PassEnd::Failed);
  }

  // The picture held to the end goes out, and the last line counts it.
  bool flushVideo() {
    const CleanCut::Counts before = writer->counts();
    if (!writer->flush()) return false;
    const CleanCut::Counts& after = writer->counts();
    return (after.bytes == before.bytes && after.droppedBytes == before.droppedBytes) || printProgress();
  }

  DemuxResult writeFailure(DiskFile& output) {
    console.settle();  // the lines whose data did reach the files
    consolePrint(&output == &audio ? "\nerror writing to audio-file\n" : "\nerror writing to video-file\n");
    result.stop.why = &output == &audio ? PassStop::AudioWrite : PassStop::VideoWrite;
    consolePrint("\nerror reading/writing file\n");
    return ended(PassEnd::Failed);
  }

  DemuxResult ended(PassEnd end) {
    writer->settle();
    const PictureClock& pictures = writer->pictures();
    result.firstPicture = pictures.firstPicture();
    result.damage.timeline = pictures.timeline();
    result.damage.timelineBase =
        options.copyVideoBeforeStart ? TimeStamp::unknown(kVideoCopiedBeforeStart) : pictures.timelineBase();
    if (options.damage != DamageMode::Stop) {
      consolePrint("skipped %" PRIu64 " damaged stretches of %" PRIu64 " bytes in all\n", counters.damagedStretches,
                   counters.damagedBytes);
    }
    result.end = end;
    // An interrupt the pass did not stop at is still to be obeyed by the
    // stripping pass; one that ended a pipe was obeyed already.
    if (end != PassEnd::Interrupted && input.seekable()) result.interruptsSeen = 0;
    return result;
  }

  // What the video writer wrote counts as video, what it dropped as skipped.
  bool printProgress() {
    const CleanCut::Counts& video = writer->counts();
    return console.progress(
        "%d (%d kb) audio, %d (%d kb) video, %d (%d kb) skipped\r",
        {counters.audioPackets, counters.audioBytes >> 10, video.packets, video.bytes >> 10,
         counters.skippedItems + video.droppedPackets, (counters.skippedBytes + video.droppedBytes) >> 10});
  }

  DiskFile& input;
  DiskFile& video;
  DiskFile& audio;
  const DemuxOptions& options;
  bool videoStarted;
  bool damageGoesOn = false;   // the last skip ended inside a damaged stretch
  bool damageFollows = false;  // the packet in hand is whole, and damage lies after it
  RunCounters counters;
  std::unique_ptr<VideoWriter> writer;
  DemuxResult result;
  PassConsole console{{&video, &audio}, &input};
  // One buffer for the largest payload serves every search.
  std::vector<unsigned char> payloadBuffer;
};

}  // namespace

DemuxResult demultiplex(DiskFile& input, DiskFile& video, DiskFile& audio, const DemuxOptions& options) {
  return Demultiplexer(input, video, audio, options).run();
}

}  // namespace korvat
