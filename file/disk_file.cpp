#include "file/disk_file.h"

#include <algorithm>
#include <memory>
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
  }
}

DiskFile::~DiskFile() {
  if (handle != platform::kInvalidHandle) platform::closeFile(handle);
}

std::uint32_t DiskFile::read(void* buffer, std::uint32_t n) {
  if (!canRead()) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  std::uint32_t delivered = 0;
  const bool ok = platform::readFile(handle, buffer, n, delivered);
  lastError = ok && delivered == n ? FileError::Ok : FileError::ShortRead;
  return delivered;
}

std::uint32_t DiskFile::write(const void* buffer, std::uint32_t n) {
  if (!canWrite()) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  std::uint32_t taken = 0;
  const bool ok = platform::writeFile(handle, buffer, n, taken);
  lastError = ok && taken == n ? FileError::Ok : FileError::ShortWrite;
  return taken;
}

int DiskFile::seekCur(std::int64_t offset) {
  if (mode == FileMode::Closed || platform::moveFromCurrent(handle, offset) == platform::kRefused) {
    lastError = FileError::NotPermitted;
    return 1;
  }
  lastError = FileError::Ok;
  return 0;
}

std::uint64_t DiskFile::tell() {
  const std::uint64_t position =
      mode == FileMode::Closed ? platform::kRefused : platform::moveFromCurrent(handle, 0);
  if (position == platform::kRefused) lastError = FileError::NotPermitted;
  return position;
}

std::uint64_t DiskFile::size() {
  const std::uint64_t bytes = mode == FileMode::Closed ? platform::kRefused : platform::fileSize(handle);
  if (bytes == platform::kRefused) lastError = FileError::NotPermitted;
  return bytes;
}

bool DiskFile::atEnd() { return tell() >= size() - 1; }

std::uint64_t DiskFile::copyTo(DiskFile& dest, std::uint64_t n) {
  if (n == 0) return 0;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyChunk]);
  if (!buffer) {
    lastError = FileError::ShortRead;  // as if the read that was to fill it failed
    return 0;
  }
  std::uint64_t total = 0;
  for (std::uint64_t remaining = n; remaining != 0;) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kCopyChunk));
    const std::uint32_t got = read(buffer.get(), chunk);
    if (lastError != FileError::Ok) {
      dest.write(buffer.get(), got);  // what did arrive is still kept
      break;
    }
    dest.write(buffer.get(), got);
    if (dest.error() != FileError::Ok) break;
    total += chunk;
    remaining -= chunk;
  }
  return total;
}

}  // namespace korvat
