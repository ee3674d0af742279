#include "file/disk_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace korvat {
namespace {

platform::Disposition dispositionFor(FileMode mode, bool create, bool overwrite) {
  if (mode == FileMode::Read || !create) return platform::Disposition::OpenExisting;
  return overwrite ? platform::Disposition::CreateAlways : platform::Disposition::CreateNew;
}

}  // namespace

DiskFile::DiskFile(const char* name, FileMode openAs, bool create, bool overwrite) : mode(openAs) {
  platform::Access access;
  switch (mode) {
    case FileMode::Read: access = platform::Access::Read; break;
    case FileMode::Write: access = platform::Access::Write; break;
    case FileMode::ReadWrite: access = platform::Access::ReadWrite; break;
    default:  // Closed, or no mode at all: nothing to open
      mode = FileMode::Closed;
      lastError = FileError::OpenFailed;
      return;
  }
  handle = platform::openFile(name, access, dispositionFor(mode, create, overwrite));
  if (handle == platform::kInvalidHandle) {
    mode = FileMode::Closed;
    lastError = FileError::OpenFailed;
    return;
  }
  // Without the memory for a buffer the file still works, unbuffered.
  if (mode != FileMode::ReadWrite) buffer.reset(new (std::nothrow) unsigned char[kBufferSize]);
}

DiskFile::~DiskFile() {
  if (handle == platform::kInvalidHandle) return;
  writePending();  // callers that care have flushed and checked already
  platform::closeFile(handle);
}

bool DiskFile::readDirect(unsigned char* to, std::uint32_t n, std::uint32_t& delivered) {
  const bool ok = platform::readFile(handle, to, n, delivered);
  filePosition += delivered;
  return ok;
}

bool DiskFile::writeDirect(const void* from, std::uint32_t n, std::uint32_t& taken) {
  const bool ok = platform::writeFile(handle, from, n, taken);
  filePosition += taken;
  return ok && taken == n;
}

bool DiskFile::refill() {
  std::uint32_t got = 0;
  readDirect(buffer.get(), seekedPastBuffer ? kRefillAfterSeek : kBufferSize, got);
  seekedPastBuffer = false;
  bufferBegin = 0;
  bufferEnd = got;
  return got > 0;  // an error with nothing delivered ends the read like the end of the file
}

bool DiskFile::writePending() {
  if (!bufferedWrite() || bufferEnd == 0) return true;
  std::uint32_t taken = 0;
  const bool ok = writeDirect(buffer.get(), bufferEnd, taken);
  bufferEnd = 0;  // what the OS did not take is lost; filePosition says where the file ends
  return ok;
}

std::uint32_t DiskFile::read(void* to, std::uint32_t n) {
  if (!canRead()) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  auto* out = static_cast<unsigned char*>(to);
  std::uint32_t done = 0;
  bool ok = true;
  if (!bufferedRead()) {
    ok = readDirect(out, n, done);
  } else {
    while (done < n) {
      if (bufferBegin == bufferEnd) {
        if (n - done >= kBufferSize) {  // a large read gains nothing from the buffer
          std::uint32_t got = 0;
          ok = readDirect(out + done, n - done, got);
          done += got;
          break;
        }
        if (!refill()) break;
      }
      const std::uint32_t take = std::min(n - done, bufferEnd - bufferBegin);
      std::memcpy(out + done, buffer.get() + bufferBegin, take);
      bufferBegin += take;
      done += take;
    }
  }
  lastError = ok && done == n ? FileError::Ok : FileError::ShortRead;
  return done;
}

std::uint32_t DiskFile::write(const void* from, std::uint32_t n) {
  if (!canWrite()) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  std::uint32_t taken = 0;
  bool ok = true;
  if (!bufferedWrite()) {
    ok = writeDirect(from, n, taken);
  } else if (n > kBufferSize - bufferEnd && !writePending()) {
    ok = false;  // the gathered bytes before these failed: none of these is written
  } else if (n >= kBufferSize) {
    ok = writeDirect(from, n, taken);
  } else {
    std::memcpy(buffer.get() + bufferEnd, from, n);
    bufferEnd += n;
    taken = n;
  }
  lastError = ok ? FileError::Ok : FileError::ShortWrite;
  return taken;
}

void DiskFile::flush() {
  if (gathered() == 0) return;
  lastError = writePending() ? FileError::Ok : FileError::ShortWrite;
}

int DiskFile::seekCur(std::int64_t offset) {
  if (mode == FileMode::Closed) {
    lastError = FileError::NotPermitted;
    return 1;
  }
  // Inside the read-ahead: no system call.
  if (bufferedRead() && offset >= -static_cast<std::int64_t>(bufferBegin) &&
      offset <= static_cast<std::int64_t>(bufferEnd - bufferBegin)) {
    bufferBegin = static_cast<std::uint32_t>(bufferBegin + offset);
    lastError = FileError::Ok;
    return 0;
  }
  if (!writePending()) {
    lastError = FileError::ShortWrite;
    return 1;
  }
  const std::uint64_t moved = platform::moveFromCurrent(handle, offset - readAhead());
  if (moved == platform::kRefused) {
    lastError = FileError::NotPermitted;
    return 1;
  }
  filePosition = moved;
  bufferBegin = bufferEnd = 0;
  seekedPastBuffer = true;
  lastError = FileError::Ok;
  return 0;
}

std::uint64_t DiskFile::tell() {
  if (mode == FileMode::Closed) {
    lastError = FileError::NotPermitted;
    return kBadPosition;
  }
  return filePosition - readAhead() + gathered();
}

std::uint64_t DiskFile::size() {
  const std::uint64_t onDisk = mode == FileMode::Closed ? platform::kRefused : platform::fileSize(handle);
  if (onDisk == platform::kRefused) {
    lastError = FileError::NotPermitted;
    return kBadPosition;
  }
  return std::max(onDisk, filePosition + gathered());
}

bool DiskFile::atEnd() { return tell() >= size() - 1; }

unsigned char* DiskFile::gatherRoom(std::uint32_t n) {
  return bufferedWrite() && kBufferSize - bufferEnd >= n ? buffer.get() + bufferEnd : nullptr;
}

void DiskFile::gatherFilled(std::uint32_t n) {
  bufferEnd += n;
  lastError = FileError::Ok;  // as the write of these n bytes would have said
}

std::uint64_t DiskFile::copyTo(DiskFile& dest, std::uint64_t n) {
  std::unique_ptr<unsigned char[]> chunkBuffer;
  std::uint64_t total = 0;
  for (std::uint64_t remaining = n; remaining != 0;) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kCopyChunk));
    if (unsigned char* room = dest.gatherRoom(chunk)) {
      const std::uint32_t got = read(room, chunk);
      dest.gatherFilled(got);  // what did arrive is kept, also on a short read
      if (lastError != FileError::Ok) break;
    } else {
      if (!chunkBuffer) chunkBuffer.reset(new (std::nothrow) unsigned char[kCopyChunk]);
      if (!chunkBuffer) {
        lastError = FileError::ShortRead;  // as if the read that was to fill it failed
        break;
      }
      const std::uint32_t got = read(chunkBuffer.get(), chunk);
      dest.write(chunkBuffer.get(), got);  // what did arrive is kept, also on a short read
      if (lastError != FileError::Ok || dest.error() != FileError::Ok) break;
    }
    total += chunk;
    remaining -= chunk;
  }
  return total;
}

}  // namespace korvat
