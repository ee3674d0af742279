// DiskFile: every byte korvat reads or writes goes through one of these.
// Operations never throw; each records its outcome in error(), which the
// caller tests after the calls whose failure matters to it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace korvat {

enum class FileMode : std::uint32_t { Closed = 0, Read = 1, Write = 2, ReadWrite = 3 };

enum class FileError : std::uint32_t {
  Ok = 0,
  NotPermitted = 1,  // wrong mode, closed object, or a refused seek/tell/size
  ShortRead = 2,     // a read failed or delivered fewer bytes than asked
  ShortWrite = 3,    // a write failed or took fewer bytes than given
  OpenFailed = 4,
};

class DiskFile {
 public:
  // What tell() and size() return when they fail.
  static constexpr std::uint64_t kBadPosition = platform::kRefused;
  // copyTo moves data in chunks of this size.
  static constexpr std::uint32_t kCopyChunk = 32768;

  // Read opens an existing file. Write and ReadWrite open an existing file
  // (create false), create a new one that must not exist yet (create true,
  // overwrite false), or create or empty one (both true).
  DiskFile(const char* name, FileMode mode, bool create, bool overwrite);
  ~DiskFile();
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  FileError error() const { return lastError; }
  FileMode openMode() const { return mode; }

  std::uint32_t read(void* buffer, std::uint32_t n);
  std::uint32_t write(const void* buffer, std::uint32_t n);
  // 0 on success, 1 when closed or refused (moving before the start).
  int seekCur(std::int64_t offset);
  std::uint64_t tell();
  std::uint64_t size();
  // From the last byte on; an empty file is never at its end, since
  // size() - 1 wraps to the largest value.
  bool atEnd();
  // Copies n bytes from here to dest in kCopyChunk pieces. Returns the bytes
  // of the chunks that were read and written in full; a partial last chunk is
  // still written but not counted.
  std::uint64_t copyTo(DiskFile& dest, std::uint64_t n);

 private:
  bool canRead() const { return mode == FileMode::Read || mode == FileMode::ReadWrite; }
  bool canWrite() const { return mode == FileMode::Write || mode == FileMode::ReadWrite; }

  FileMode mode;
  FileError lastError = FileError::Ok;
  platform::FileHandle handle = platform::kInvalidHandle;
};

}  // namespace korvat
