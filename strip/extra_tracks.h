// The audio tracks beside the one in the audio file: further MPEG audio
// streams, and AC3 in private stream 1. Each goes to a file of its own,
// named after the audio file, made when its stream's first frame is found
// (so a stream without one makes no file) and never over an existing file.
// With -r each is kept in step with the video as the audio file is; with -p
// (whose audio file holds them all) their partings from the video are told.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_sink.h"
#include "demux/damage_record.h"
#include "file/disk_file.h"
#include "format/mpeg.h"
#include "strip/audio_path.h"

namespace korvat {

// The name of the file of stream `id`: the audio file's name with ".ac3",
// or with ".c2.mp2" and the like, in place of its extension.
std::string trackName(const std::string& audioName, std::uint8_t id);

class ExtraTracks {
 public:
  // With a report-only mode no file is made. `record` outlives the tracks.
  ExtraTracks(std::string audioName, AudioMode mode, DamageMode damage, const DamageRecord& record)
      : audioName(std::move(audioName)), mode(mode), damage(damage), record(record) {}

  // The payload of one PES packet of stream `id`; `stamp` is its PTS.
  void add(std::uint8_t id, const unsigned char* payload, std::size_t n, TimeStamp stamp);
  // Damage lay between the payloads before and after.
  void breakHere();
  // The audio ended: what each track holds back goes out, its repairs are
  // told, and its file is closed. False when one could not be made or
  // written; standard error has said which, and why.
  bool finish();
  bool failed() const { return anyFailed; }

  struct Track {
    std::uint8_t id;
    std::string name;
    TimeStamp firstFrame;
    bool failed = false;  // a write to it failed
  };
  // The files made and written, in the order their streams' first frames came.
  std::vector<Track> written() const;
  // Every file made, also those whose writes then failed.
  std::vector<Track> made() const;

 private:
  struct Stream {
    std::uint8_t id;
    std::string name;
    std::unique_ptr<DiskFile> file;
    std::unique_ptr<AudioSink> sink;
    std::unique_ptr<AudioPath> path;  // as it came, or with -r in step with the video
    bool started = false, failed = false;
    TimeStamp firstSync;  // the stamp of the packet its first frame began in
    // AC3 before its first frame: a sync word counts only where the next
    // frame's lies where its length says, which may be in a later packet.
    std::vector<unsigned char> pending;
    std::vector<std::pair<std::size_t, TimeStamp>> pendingStamps;  // where each packet began in it
    std::size_t searchFrom = 0;                                    // in pending: where the search goes on
  };

  Stream& stream(std::uint8_t id);
  void start(Stream& stream, std::size_t from);
  void start(Stream& stream, const unsigned char* from, std::size_t n, TimeStamp stamp);
  bool open(Stream& stream);
  void write(Stream& stream, const unsigned char* data, std::size_t n, TimeStamp stamp);
  void fail(Stream& stream);
  void findAc3Frame(Stream& stream, bool atEnd);

  std::string audioName;
  const AudioMode mode;
  const DamageMode damage;
  const DamageRecord& record;
  std::vector<Stream> streams;
  bool anyFailed = false;
};

}  // namespace korvat
