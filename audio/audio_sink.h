// Where the audio goes: its file, or nowhere when -p only reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "file/disk_file.h"

namespace korvat {

// Decided once for a pass: the audio file is written (and with -r,
// repaired), or the pass only reports where audio and video parted.
enum class AudioMode { Write, ReportOnly };

class AudioSink {
 public:
  virtual ~AudioSink() = default;

  virtual AudioMode mode() const = 0;
  // False when the bytes were not taken.
  virtual bool write(const unsigned char* data, std::size_t n) = 0;
  virtual std::uint64_t bytesWritten() const = 0;
  // How far the file goes, once it took what it holds.
  virtual std::uint64_t position() = 0;
  virtual bool close() = 0;
  // The files whose data the console lines wait for.
  virtual std::vector<DiskFile*> files() = 0;
};

class FileSink final : public AudioSink {
 public:
  explicit FileSink(DiskFile& file) : file(file) {}
  AudioMode mode() const override { return AudioMode::Write; }
  bool write(const unsigned char* data, std::size_t n) override;
  std::uint64_t bytesWritten() const override { return written; }
  std::uint64_t position() override { return file.tell(); }
  bool close() override { return file.close(); }
  std::vector<DiskFile*> files() override { return {&file}; }

 private:
  DiskFile& file;
  std::uint64_t written = 0;
};

// -p: the audio stays as it came, so nothing is written.
class ReportOnlySink final : public AudioSink {
 public:
  AudioMode mode() const override { return AudioMode::ReportOnly; }
  bool write(const unsigned char*, std::size_t) override { return true; }
  std::uint64_t bytesWritten() const override { return 0; }
  std::uint64_t position() override { return 0; }
  bool close() override { return true; }
  std::vector<DiskFile*> files() override { return {}; }
};

}  // namespace korvat
