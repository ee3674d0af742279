// The audio tracks beside the one in the audio file: further MPEG audio
// streams, and AC3 in private stream 1. Each goes to a file of its own,
// named after the audio file, made when its stream's first frame is found
// (so a stream without one makes no file) and never over an existing file.
// They are written as they come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file/disk_file.h"
#include "format/mpeg.h"

namespace korvat {

// The name of the file of stream `id`: the audio file's name with ".ac3",
// or with ".c2.mp2" and the like, in place of its extension.
std::string trackName(const std::string& audioName, std::uint8_t id);

class ExtraTracks {
 public:
  explicit ExtraTracks(std::string audioName) : audioName(std::move(audioName)) {}

  // The payload of one PES packet of stream `id`; `stamp` is its PTS.
  void add(std::uint8_t id, const unsigned char* payload, std::size_t n, TimeStamp stamp);
  // The audio ended: closes the files. False when one could not be made or
  // written; standard error has said which, and why.
  bool finish();
  bool failed() const { return anyFailed; }

  struct Track {
    std::uint8_t id;
    std::string name;
    TimeStamp firstFrame;
  };
  // The files made, in the order their streams' first frames came.
  std::vector<Track> written() const;

 private:
  struct Stream {
    std::uint8_t id;
    std::string name;
    std::unique_ptr<DiskFile> file;
    bool started = false, failed = false;
    TimeStamp firstFrame;
    // AC3 before its first frame: a sync word counts only where the next
    // frame's lies where its length says, which may be in a later packet.
    std::vector<unsigned char> pending;
    std::vector<std::pair<std::size_t, TimeStamp>> pendingStamps;  // where each packet began in it
    std::size_t searchFrom = 0;                                    // in pending: where the search goes on
  };

  Stream& stream(std::uint8_t id);
  void start(Stream& stream, const unsigned char* from, std::size_t n, TimeStamp stamp);
  void write(Stream& stream, const unsigned char* data, std::size_t n);
  void findAc3Frame(Stream& stream, bool atEnd);

  std::string audioName;
  std::vector<Stream> streams;
  bool anyFailed = false;
};

}  // namespace korvat
