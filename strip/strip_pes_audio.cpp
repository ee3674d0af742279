// The second pass: PES packets in, the audio file and the other tracks out, past damage with -r or -k.
#include "strip/strip_pes_audio.h"

#include <algorithm>
#include <vector>

#include "audio/audio_sink.h"
#include "audio/mpeg_audio_format.h"
#include "file/chain_reader.h"
#include "format/mpeg_audio.h"
#include "format/pes_packet.h"
#include "platform/platform.h"
#include "strip/extra_tracks.h"
#include "strip/synced_audio.h"

namespace korvat {
namespace {

struct StripCounters {
  std::uint64_t audioPackets = 0, audioBytes = 0;
  std::uint64_t skippedPackets = 0, skippedBytes = 0;
};

class PesStripper {
 public:
  // With a report-only sink, nothing is written and nothing printed on
  // standard output: the pass only reports where audio and video parted.
  PesStripper(DiskFile& input, AudioSink& sink, const StripOptions& options)
      : input(input),
        sink(sink),
        mode(sink.mode()),
        options(options),
        extras(options.audioName, sink.mode(), options.damage, options.record),
        packet(pes::kFixedSize + pes::kMaxPacketLength),
        console(sink.files(), &input) {
    if (options.damage == DamageMode::Repair) {
      audio = std::make_unique<SyncedAudio>(sink, std::make_unique<MpegAudioFormat>(), options.record.timeline,
                                            options.record.timelineBase);
    } else {
      audio = std::make_unique<AudioAsItCame>(sink);
    }
  }

  StripResult run() {
    const PassEnd end = loop();
    // What reached the file: all of it once closed, else as far as the writes went.
    const std::uint64_t inFile = end == PassEnd::Completed ? bytesInFile : sink.position();
    const bool wroteAudio = inFile > 0 && inFile != UINT64_MAX;
    StripResult result;
    result.end = end;
    result.stop = stop;
    result.wroteAudio = wroteAudio;
    result.firstFrame = audioSynced ? audio->firstFrame(firstFrame) : TimeStamp::unknown("no audio frame");
    result.tracks = extras.written();
    result.madeTracks = extras.made();
    result.tracksFailed = extras.failed();
    return result;
  }

 private:
  PassEnd loop() {
    for (;;) {
      if (platform::interruptCount() > options.interruptsSeen) {
        stop.why = PassStop::Interrupted;
        return endWith("\ninterrupted\n", PassEnd::Interrupted);
      }
      if (options.damage != DamageMode::Stop) {
        bool damaged = false;
        if (!skipDamage(damaged)) return inputEnded();
        // The frame in hand lost its end, or what came after it.
        if (damaged || crossedBreak) {
          if (!audio->breakHere()) return writeFailure();
          extras.breakHere();
        }
        crossedBreak = false;
        if (damaged) {
          if (!printProgress()) return writeFailure();
          continue;
        }
      }
      input.read(packet.data(), pes::kFixedSize);
      if (input.error() != FileError::Ok) return inputEnded();
      if (!pes::hasStartCode(packet.data())) {
        stop = {PassStop::DamagedHeader, input.tell() - pes::kFixedSize};
        return endWith("\ninvalid packet header found !\n", PassEnd::Failed);
      }
      const std::uint16_t length = pes::packetLength(packet.data());
      const std::uint8_t id = pes::streamId(packet.data());
      if (pes::isNonAudio(packet.data())) {
        if (mode == AudioMode::Write && !console.message("\nskipping non-audio packet...\n")) return writeFailure();
        if (!(isOtherTrack(id) ? copyTrack(length, false) : skipPacket(length))) return inputEnded();
        continue;
      }
      if (isOtherTrack(id)) {
        // Counted and printed as the audio of an even id always was, also
        // when the end of the file cuts it short.
        if (!copyTrack(length, true) && !reachedEndOfInput(input)) return inputEnded();
        if (!printProgress()) return writeFailure();
        if (input.error() != FileError::Ok) return inputEnded();
        continue;
      }
      const std::uint32_t got = input.read(packet.data() + pes::kFixedSize, length);
      // A packet cut short by the end of the file is still used, as far as it goes.
      const bool cutShort = input.error() != FileError::Ok;
      if (cutShort && !reachedEndOfInput(input)) return inputEnded();
      if (!writeAudio(got) || !printProgress()) return writeFailure();
      if (cutShort) return inputEnded();
    }
  }

  // With -r or -k, before each packet. A packet whose successor is missing
  // but that ends at a gap, or before the next one that counts, was whole,
  // and is taken. The skipped bytes count as one skipped packet.
  bool skipDamage(bool& damaged) {
    const std::uint64_t position = input.tell();
    const std::vector<DamageRecord::Stretch>& stretches = options.record.stretches;
    for (; passed < stretches.size() && stretches[passed].audioAt <= position; ++passed) crossedBreak = true;
    nextGap = std::max(nextGap, passed);
    while (nextGap < stretches.size() && !stretches[nextGap].audioLost) ++nextGap;
    const std::uint64_t toGap = nextGap < stretches.size() ? stretches[nextGap].audioAt - position : UINT64_MAX;
    Resync here;
    if (!resyncHere(input, pes::kChain, toGap, UINT64_MAX, HeaderRead::BeforeSearch, here)) return false;
    damaged = here.footing == Footing::Damaged;
    if (!damaged) return true;
    counters.skippedPackets += 1;
    counters.skippedBytes += here.skip;
    return input.seekCur(static_cast<std::int64_t>(here.skip));
  }

  // Other audio tracks than the one in the audio file: AC3, any MPEG audio
  // stream of an odd id, and once the audio file has its stream, any other.
  bool isOtherTrack(std::uint8_t id) const {
    if (id == pes::kPrivateStream1) return true;
    return pes::isMpegAudio(id) && ((id & 0x01) != 0 || (mainId != 0 && id != mainId));
  }

  // Such a packet counts on standard output as ever (a skipped one, or audio
  // of an even id), and its payload goes to its track's file.
  // False when the packet was cut short or could not be read.
  bool copyTrack(std::uint16_t length, bool countedAsAudio) {
    const std::uint32_t got = input.read(packet.data() + pes::kFixedSize, length);
    if (input.error() != FileError::Ok && !reachedEndOfInput(input)) return false;
    const std::uint32_t payload = pes::payloadLength(packet.data(), got);
    extras.add(pes::streamId(packet.data()), packet.data() + pes::payloadOffset(packet.data()), payload,
               packetStamp("no time stamp on its first frame's PES packet"));
    if (countedAsAudio) {
      counters.audioPackets += 1;
      counters.audioBytes += payload;
    } else {
      counters.skippedPackets += 1;
      counters.skippedBytes += length;
    }
    return input.error() == FileError::Ok;
  }

  bool skipPacket(std::uint16_t length) {
    if (!input.seekCur(length)) return false;
    counters.skippedPackets += 1;
    counters.skippedBytes += length;
    return true;
  }

  // Prints a message that ends the pass after the progress lines before it,
  // which hold only once the audio file has taken its data; when it has not,
  // the write error is the message.
  PassEnd endWith(const char* message, PassEnd end) {
    if (!console.settle()) return writeFailure();
    say(message);
    return end;
  }

  PassEnd writeFailure() {
    stop.why = PassStop::AudioWrite;
    console.settle();  // the lines whose audio did reach the file
    say("\nerror writing to output file !\n");
    return PassEnd::Failed;
  }

  // Standard output hears of the pass only when it writes the audio file.
  void say(const char* text) const {
    if (mode == AudioMode::Write) consolePrint("%s", text);
  }

  // Writes the payload of a packet whose body holds `got` bytes, from the
  // first frame sync on. Before the sync the search stays inside this one
  // payload: a sync split across two packets is not one.
  bool writeAudio(std::uint32_t got) {
    std::uint32_t offset = pes::payloadOffset(packet.data());
    std::uint32_t payload = pes::payloadLength(packet.data(), got);
    if (!audioSynced) {
      const auto sync = static_cast<std::uint32_t>(findFrameSync(packet.data() + offset, payload));
      counters.skippedBytes += sync;
      if (sync == payload) {
        counters.skippedPackets += 1;
        return true;
      }
      audioSynced = true;
      firstFrame = packetStamp("no time stamp on the first frame's PES packet");
      if (pes::isMpegAudio(pes::streamId(packet.data()))) mainId = pes::streamId(packet.data());
      offset += sync;
      payload -= sync;
    }
    // The audio file keeps the stream of the first MPEG audio packet with a
    // frame sync that it takes.
    if (mainId == 0 && pes::isMpegAudio(pes::streamId(packet.data())) &&
        findFrameSync(packet.data() + offset, payload) < payload) {
      mainId = pes::streamId(packet.data());
    }
    const std::uint64_t before = sink.bytesWritten();
    if (!audio->add(packet.data() + offset, payload, packetStamp("none"))) return false;
    counters.audioPackets += 1;
    counters.audioBytes += sink.bytesWritten() - before;
    return true;
  }

  // In this recording format the PTS stamps the first frame that begins in the payload.
  TimeStamp packetStamp(const char* missing) const {
    return pes::hasPresentationTime(packet.data()) ? TimeStamp::of(pes::presentationTime(packet.data()))
                                                   : TimeStamp::unknown(missing);
  }

  // The audio file holds all that was counted only once it is flushed and
  // closed. A temporary file left empty by a recording without audio holds
  // nothing to strip: the pass then ends with its audio file empty.
  PassEnd inputEnded() {
    if (!console.settle()) return writeFailure();
    const bool ended = input.error() != FileError::ReadFailed && (reachedEndOfInput(input) || input.size() == 0);
    // The audio held back to be sure its frames are whole goes out at the
    // end, and the last line counts it.
    if (ended) {
      const std::uint64_t before = sink.bytesWritten();
      if (!audio->finish()) return writeFailure();
      counters.audioBytes += sink.bytesWritten() - before;
      if (sink.bytesWritten() != before && (!printProgress() || !console.settle())) return writeFailure();
    }
    say("\n");
    // An error the OS reports is never the end, wherever it comes.
    if (input.error() == FileError::ReadFailed || !ended) stop = {PassStop::ReadError, input.tell()};
    if (input.error() == FileError::ReadFailed) {
      say("\nerror reading/writing file\n");
      return PassEnd::Failed;
    }
    const bool nothingCollected = input.size() == 0;
    if (!ended) return PassEnd::Failed;
    bytesInFile = sink.position();
    if (!sink.close()) return writeFailure();
    extras.finish();
    if (!nothingCollected) say("\nend of input file reached\n");
    return PassEnd::Completed;
  }

  bool printProgress() {
    return mode == AudioMode::ReportOnly || console.progress("%d (%d kb) audio-packets, %d (%d kb) skipped packets\r",
                                                             {counters.audioPackets, counters.audioBytes >> 10,
                                                              counters.skippedPackets, counters.skippedBytes >> 10});
  }

  DiskFile& input;
  AudioSink& sink;
  const AudioMode mode;
  const StripOptions& options;
  std::unique_ptr<AudioPath> audio;  // the audio file's payloads go this way
  ExtraTracks extras;                // with -p, only their partings are told
  std::uint8_t mainId = 0;           // the audio file's stream, once known
  // Of the record's stretches: those the pass is past, and the next where audio was lost.
  std::size_t passed = 0, nextGap = 0;
  bool crossedBreak = false;
  TimeStamp firstFrame;
  std::uint64_t bytesInFile = 0;
  // Any packet fits whole: the fixed bytes plus the largest packet length.
  std::vector<unsigned char> packet;
  bool audioSynced = false;
  PassStop stop;
  StripCounters counters;
  PassConsole console;
};

}  // namespace

StripResult finishStrippedAudio(std::unique_ptr<DiskFile>& temp, const std::string& tempName, DiskFile& audio,
                                const StripOptions& options) {
  consolePrint("\nremoving pes-data from audio-file\n");
  StripResult result;
  if (temp->readBack()) {
    FileSink sink(audio);
    result = PesStripper(*temp, sink, options).run();
  } else {
    consolePrint("\nerror reading/writing file\n");
    result.stop.why = PassStop::ReadError;
  }
  temp.reset();
  // A track that could not be written still lies in the temporary file.
  if (result.end == PassEnd::Completed && !result.tracksFailed) {
    // The audio is safe in its file; a temporary file that stays is only in the way.
    if (!platform::deleteFile(tempName.c_str())) {
      consoleNote("korvat: the temporary file '%s' could not be removed\n", tempName.c_str());
    }
  } else {
    consolePrint("\ntemporary file '%s' kept\n", tempName.c_str());
  }
  return result;
}

}  // namespace korvat

namespace korvat {

void reportAudioParting(const std::string& audioName, const StripOptions& options) {
  DiskFile pes(audioName, Disposition::OpenExisting);
  if (pes.error() != FileError::Ok) {
    consoleNote("audio and video not compared: '%s' cannot be read\n", audioName.c_str());
    return;
  }
  ReportOnlySink sink;
  PesStripper(pes, sink, options).run();
}

}  // namespace korvat
