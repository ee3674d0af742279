// The audio tracks beside the audio file, each in a file of its own.
#include "strip/extra_tracks.h"

#include <algorithm>
#include <cstdio>

#include "audio/ac3_format.h"
#include "audio/mpeg_audio_format.h"
#include "console/console.h"
#include "format/ac3.h"
#include "format/mpeg_audio.h"
#include "format/pes_packet.h"
#include "strip/synced_audio.h"

namespace korvat {
namespace {

// Private stream 1 carries other data too: bytes that hold no AC3 frame are
// searched this far back, no further.
constexpr std::size_t kAc3SearchKept = 8 * 1024;

}  // namespace

std::string trackName(const std::string& audioName, std::uint8_t id) {
  const std::size_t dot = audioName.rfind('.'), slash = audioName.find_last_of("/\\");
  // A leading dot names a hidden file, no extension.
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos ? dot > 0 : dot > slash + 1);
  const std::string stem = hasExtension ? audioName.substr(0, dot) : audioName;
  if (id == pes::kPrivateStream1) return stem + ".ac3";
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%02x.mp2", id);
  return stem + suffix;
}

ExtraTracks::Stream& ExtraTracks::stream(std::uint8_t id) {
  for (Stream& s : streams) {
    if (s.id == id) return s;
  }
  streams.push_back({});
  streams.back().id = id;
  streams.back().name = trackName(audioName, id);
  return streams.back();
}

void ExtraTracks::add(std::uint8_t id, const unsigned char* payload, std::size_t n, TimeStamp stamp) {
  Stream& s = stream(id);
  if (s.failed) return;
  if (s.started) {
    write(s, payload, n, stamp);
  } else if (id == pes::kPrivateStream1) {
    s.pendingStamps.push_back({s.pending.size(), stamp});
    s.pending.insert(s.pending.end(), payload, payload + n);
    findAc3Frame(s, false);
  } else {
    // As in the audio file: from the first frame sync of a payload on.
    const std::size_t sync = findFrameSync(payload, n);
    if (sync < n) start(s, payload + sync, n - sync, stamp);
  }
}

void ExtraTracks::breakHere() {
  for (Stream& s : streams) {
    // With -r no frame spans damage: a first frame that ends where it
    // begins, or proves itself whole, is one; else it is sought after it.
    if (!s.started && !s.failed && damage == DamageMode::Repair) {
      findAc3Frame(s, true);
      s.pending.clear();
      s.pendingStamps.clear();
      s.searchFrom = 0;
    }
    if (s.started && !s.failed && !s.path->breakHere()) fail(s);
  }
}

// The first AC3 frame is one whose successor's sync lies where its length
// says, one that reaches to the end of the stream, or one whose CRCs hold.
void ExtraTracks::findAc3Frame(Stream& s, bool atEnd) {
  const std::vector<unsigned char>& bytes = s.pending;
  std::size_t i = s.searchFrom;  // what is before was no frame
  for (; i + kAc3HeaderSize <= bytes.size(); ++i) {
    const std::uint32_t length = ac3FrameLength(bytes.data() + i);
    if (length == 0) continue;
    const std::size_t next = i + length;
    const bool provesWhole = next <= bytes.size() && ac3CrcsHold(bytes.data() + i, length);
    if (next + kAc3HeaderSize > bytes.size() && !(atEnd && next == bytes.size()) && !provesWhole) {
      break;  // more bytes will tell
    }
    if (next == bytes.size() || provesWhole || ac3FrameLength(bytes.data() + next) != 0) {
      start(s, i);
      return;
    }
  }
  s.searchFrom = std::min(i, bytes.size() >= kAc3HeaderSize ? bytes.size() - kAc3HeaderSize + 1 : 0);
  // Bytes before the last candidates can begin no frame.
  const std::size_t keep = std::max<std::size_t>(kAc3SearchKept, bytes.size() - i);
  if (bytes.size() > keep) {
    const std::size_t drop = bytes.size() - keep;
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<std::ptrdiff_t>(drop));
    // The packets that began in the bytes dropped: only the last still has bytes here.
    auto& stamps = s.pendingStamps;
    const auto gone = std::find_if(stamps.begin(), stamps.end(), [drop](const auto& e) { return e.first > drop; });
    if (gone - stamps.begin() > 1) stamps.erase(stamps.begin(), gone - 1);
    for (auto& entry : stamps) entry.first = entry.first > drop ? entry.first - drop : 0;
    s.searchFrom -= std::min(s.searchFrom, drop);
  }
}

// The AC3 held back goes on from its first frame, at pending[from], packet
// by packet with their stamps: that of the packet the frame begins in first.
void ExtraTracks::start(Stream& s, std::size_t from) {
  std::vector<unsigned char> bytes = std::move(s.pending);
  std::vector<std::pair<std::size_t, TimeStamp>> stamps = std::move(s.pendingStamps);
  s.pending.clear();
  s.pendingStamps.clear();
  s.searchFrom = 0;
  for (std::size_t k = 0; k < stamps.size() && !s.failed; ++k) {
    const std::size_t end = k + 1 < stamps.size() ? stamps[k + 1].first : bytes.size();
    if (end <= from) continue;
    const std::size_t begin = std::max(stamps[k].first, from);
    if (!s.started) {
      start(s, bytes.data() + begin, end - begin, stamps[k].second);
    } else {
      write(s, bytes.data() + begin, end - begin, stamps[k].second);
    }
  }
}

void ExtraTracks::start(Stream& s, const unsigned char* from, std::size_t n, TimeStamp stamp) {
  s.started = true;
  s.firstSync = stamp;
  if (open(s)) write(s, from, n, stamp);
}

bool ExtraTracks::open(Stream& s) {
  if (mode == AudioMode::Write) {
    s.file = std::make_unique<DiskFile>(s.name, Disposition::CreateNew);
    if (s.file->error() != FileError::Ok) {
      consoleNote("korvat: the audio track file '%s' cannot be made (it exists, or the directory refuses it)\n",
                  s.name.c_str());
      s.file.reset();
      s.failed = anyFailed = true;
      return false;
    }
    s.sink = std::make_unique<FileSink>(*s.file);
  } else {
    s.sink = std::make_unique<ReportOnlySink>();
  }
  if (damage != DamageMode::Repair) {
    s.path = std::make_unique<AudioAsItCame>(*s.sink);
    return true;
  }
  std::unique_ptr<AudioFrameFormat> format;
  if (s.id == pes::kPrivateStream1) {
    format = std::make_unique<Ac3Format>();
  } else {
    format = std::make_unique<MpegAudioFormat>();
  }
  char stream[16];
  std::snprintf(stream, sizeof stream, "track %02x", s.id);
  TrackWords words;
  if (mode == AudioMode::Write) {
    words.in = " in '" + s.name + "'";
  } else {
    words.in = std::string(" in ") + stream;
    words.noun = std::string("audio ") + stream;
  }
  s.path =
      std::make_unique<SyncedAudio>(*s.sink, std::move(format), record.timeline, record.timelineBase, std::move(words));
  return true;
}

void ExtraTracks::write(Stream& s, const unsigned char* data, std::size_t n, TimeStamp stamp) {
  if (!s.failed && !s.path->add(data, n, stamp)) fail(s);
}

void ExtraTracks::fail(Stream& s) {
  if (mode == AudioMode::Write) consoleNote("korvat: error writing the audio track file '%s'\n", s.name.c_str());
  s.failed = anyFailed = true;
}

bool ExtraTracks::finish() {
  for (Stream& s : streams) {
    if (!s.started && !s.failed && s.id == pes::kPrivateStream1) findAc3Frame(s, true);
    if (!s.started || s.failed) continue;
    if (!s.path->finish() || (s.file && !s.file->close())) fail(s);
  }
  return !anyFailed;
}

std::vector<ExtraTracks::Track> ExtraTracks::written() const {
  std::vector<Track> tracks;
  for (const Stream& s : streams) {
    if (s.started && !s.failed && s.file) tracks.push_back({s.id, s.name, s.path->firstFrame(s.firstSync)});
  }
  return tracks;
}

std::vector<ExtraTracks::Track> ExtraTracks::made() const {
  std::vector<Track> tracks;
  for (const Stream& s : streams) {
    if (s.file) tracks.push_back({s.id, s.name, TimeStamp::unknown("not sought"), s.failed});
  }
  return tracks;
}

}  // namespace korvat
