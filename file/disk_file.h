// DiskFile: every byte korvat reads or writes goes through one of these.
// Operations never throw; each records its outcome in error(), which the
// caller tests after the calls whose failure matters to it.
//
// A file opened only for reading reads ahead, and one opened only for writing
// gathers its writes, so that small packets cost no system call each. A
// gathered write that fails later, when the buffer goes to the OS, shows as
// ShortWrite on that later write or on flush(); the bytes that did not reach
// the file are dropped, so tell() then says how far the file really goes.
#pragma once

#include <cstdint>
#include <memory>

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
  // Hands gathered writes to the OS. With nothing gathered it does nothing
  // and leaves error() as it was, so a write that failed earlier still shows.
  void flush();

 private:
  static constexpr std::uint32_t kBufferSize = 256 * 1024;
  // After a seek past the read-ahead, the next read is most likely a header:
  // filling the whole buffer there would read, over runs of large skipped
  // packets, every byte that the seeks step over.
  static constexpr std::uint32_t kRefillAfterSeek = 4096;

  bool bufferedRead() const { return buffer && mode == FileMode::Read; }
  bool bufferedWrite() const { return buffer && mode == FileMode::Write; }
  std::uint32_t readAhead() const { return bufferedRead() ? bufferEnd - bufferBegin : 0; }
  std::uint32_t gathered() const { return bufferedWrite() ? bufferEnd : 0; }
  // Room for n more bytes after the gathered ones, or null; copyTo reads
  // straight into it, which saves a copy of every byte.
  unsigned char* gatherRoom(std::uint32_t n);
  void gatherFilled(std::uint32_t n);
  bool refill();
  bool writePending();
  bool readDirect(unsigned char* to, std::uint32_t n, std::uint32_t& delivered);
  bool writeDirect(const void* from, std::uint32_t n, std::uint32_t& taken);

  bool canRead() const { return mode == FileMode::Read || mode == FileMode::ReadWrite; }
  bool canWrite() const { return mode == FileMode::Write || mode == FileMode::ReadWrite; }

  FileMode mode;
  FileError lastError = FileError::Ok;
  platform::FileHandle handle = platform::kInvalidHandle;
  // Null for ReadWrite, which goes straight to the OS.
  std::unique_ptr<unsigned char[]> buffer;
  // Reading: the unread bytes are buffer[bufferBegin, bufferEnd).
  // Writing: the gathered bytes are buffer[0, bufferEnd).
  std::uint32_t bufferBegin = 0, bufferEnd = 0;
  // Where the OS stands: after the read-ahead, before the gathered bytes.
  std::uint64_t filePosition = 0;
  bool seekedPastBuffer = false;
};

}  // namespace korvat
