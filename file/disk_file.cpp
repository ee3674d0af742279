// DiskFile: buffered reads and writes over the OS layer, each failure kept as a value.
#include "file/disk_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>

namespace korvat {
namespace {

constexpr std::uint64_t kBadPosition = platform::kRefused;

FileMode modeFor(Disposition disposition) {
  return disposition == Disposition::OpenExisting ? FileMode::Read : FileMode::Write;
}

}  // namespace

DiskFile::DiskFile(const std::string& name, Disposition disposition) : mode(modeFor(disposition)) {
  handle = platform::openFile(name.c_str(), disposition, whyNotOpen);
  setUpAfterOpen();
}

DiskFile::DiskFile(platform::FileHandle opened, FileMode openAs, platform::OpenFailure why)
    : mode(openAs), handle(opened) {
  if (handle == platform::kInvalidHandle) whyNotOpen = why;
  setUpAfterOpen();
}

void DiskFile::setUpAfterOpen() {
  if (handle == platform::kInvalidHandle) {
    mode = FileMode::Closed;
    lastError = FileError::OpenFailed;
    return;
  }
  canSeek = platform::isSeekable(handle);
  // Standard input may be a file that was read from before korvat: its
  // positions count from the file's start, as its size does.
  const std::uint64_t at = canSeek ? platform::moveFromCurrent(handle, 0) : platform::kRefused;
  if (at != platform::kRefused) filePosition = at;
  // Without the memory for a buffer the file still works, unbuffered.
  buffer = newBuffer(kBufferSize);
  if (buffer) capacity = kBufferSize;
}

std::unique_ptr<DiskFile> DiskFile::standardInput() {
  platform::OpenFailure why = platform::OpenFailure::None;
  const platform::FileHandle handle = platform::openStandardInput(why);
  return std::unique_ptr<DiskFile>(new DiskFile(handle, FileMode::Read, why));
}

std::unique_ptr<DiskFile> DiskFile::createTemporary(std::string& name, platform::OpenFailure& why) {
  std::unique_ptr<DiskFile> file(new DiskFile(platform::createTempFile(name, why), FileMode::Write));
  if (file->error() != FileError::Ok) return nullptr;
  file->temporary = true;
  return file;
}

DiskFile::~DiskFile() { close(); }  // callers that care have closed and checked already

// A buffer begins at a page: the OS copies a file's pages into one that
// begins a few bytes into a page (as the heap hands them out) several times
// more slowly, which made plain reading half again as slow as a copy.
DiskFile::Buffer DiskFile::newBuffer(std::uint32_t size) {
  return Buffer(static_cast<unsigned char*>(::operator new[](size, std::align_val_t{kBufferAlignment}, std::nothrow)));
}

void DiskFile::FreeBuffer::operator()(unsigned char* bytes) const {
  ::operator delete[](bytes, std::align_val_t{kBufferAlignment});
}

bool DiskFile::failWith(FileError error) {
  lastError = error;
  return false;
}

bool DiskFile::readDirect(unsigned char* to, std::uint32_t n, std::uint32_t& delivered) {
  const bool ok =
      platform::readFile(handle, to, n, delivered, canSeek ? platform::Source::File : platform::Source::Pipe);
  filePosition += delivered;
  return ok;
}

bool DiskFile::readDirectOn(unsigned char* to, std::uint32_t n, std::uint32_t enough, std::uint32_t& delivered) {
  delivered = 0;
  std::uint32_t got = 0;
  bool ok = true;
  do {
    ok = readDirect(to + delivered, n - delivered, got);
    delivered += got;
  } while (ok && got > 0 && delivered < enough);
  return ok;
}

bool DiskFile::writeDirect(const void* from, std::uint32_t n, std::uint32_t& taken) {
  const bool ok = platform::writeFile(handle, from, n, taken);
  filePosition += taken;
  return ok && taken == n;
}

void DiskFile::readAheadFromStart(std::uint32_t end) {
  bufferFirst = bufferBegin = fetchedTo = 0;
  bufferEnd = end;
  markedFrom = markedTo = 0;
}

// False when the OS reported an error; what it delivered is in the buffer.
bool DiskFile::refill() {
  std::uint32_t got = 0;
  if (readingNext) {
    const bool ok = finishNextRead(got);
    useNextRead(got, 0, 0);
    return ok;
  }
  returnLoans();
  const bool ok = readDirect(buffer.get(), seekedPastBuffer ? kRefillAfterSeek : kBufferSize, got);
  seekedPastBuffer = false;
  readAheadFromStart(got);
  if (got == kBufferSize) readNextWhereFaster(got);
  return ok;
}

// A pipe is read as its writer sends, on this thread, where a wait for it
// can be interrupted.
void DiskFile::readNextWhereFaster(std::uint32_t got) {
  if (!canSeek) return;
  const auto nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
  if (placement.bufferRead(nanos.count(), got) == ReadPlacement::Where::Alongside) readNextInBackground();
}

// The next buffer, read on the other thread.
void DiskFile::readNextInBackground() {
  if (readingNext) return;
  if (spareCapacity < kPeekRoom + kBufferSize) {
    spare = newBuffer(kPeekRoom + kBufferSize);
    spareCapacity = spare ? kPeekRoom + kBufferSize : 0;
    if (!spare) return;  // read when wanted, as without the memory
  }
  spareMarks.clear();
  spareMarked = marker != nullptr;
  std::function<void(std::uint32_t)> markRead;
  if (marker) {
    // The marks are made in a vector of the thread's own: the spare's lies
    // beside fields this thread reads for every packet, and a write to it
    // for every mark would take their cache line from this thread each time.
    markRead = [this, mark = marker](std::uint32_t got) {
      std::vector<std::uint32_t> made = std::move(spareMarks);
      mark(spare.get() + kPeekRoom, got, made);
      spareMarks = std::move(made);
    };
  }
  readingNext = nextRead.start(handle, spare.get() + kPeekRoom, kBufferSize, std::move(markRead));
}

void DiskFile::fetchAhead() {
  const std::uint32_t until = std::min(bufferEnd, bufferBegin + kFetchAhead);
  if (fetchedTo < bufferBegin) fetchedTo = bufferBegin;
  for (; fetchedTo < until; fetchedTo += 64) __builtin_prefetch(buffer.get() + fetchedTo);
}

bool DiskFile::finishNextRead(std::uint32_t& got) {
  readingNext = false;
  const bool ok = nextRead.finish(got);
  filePosition += got;
  return ok;
}

void DiskFile::useNextRead(std::uint32_t got, std::uint32_t keep, std::uint32_t skip) {
  returnLoans();  // the buffer let go is the next one read into
  std::memcpy(spare.get() + kPeekRoom - keep, buffer.get() + bufferEnd - keep, keep);
  std::swap(buffer, spare);
  std::swap(capacity, spareCapacity);
  std::swap(marks, spareMarks);
  markedFrom = kPeekRoom;
  markedTo = spareMarked ? kPeekRoom + got : kPeekRoom;
  bufferFirst = kPeekRoom - keep;
  bufferBegin = bufferFirst + skip;
  fetchedTo = bufferBegin;
  bufferEnd = kPeekRoom + got;
  if (got == kBufferSize) readNextWhereFaster(got);
}

// What it read, or the error it met, is met again when those bytes are wanted.
bool DiskFile::dropNextRead() {
  if (!readingNext) return true;
  std::uint32_t got = 0;
  finishNextRead(got);
  if (got == 0) return true;
  const std::uint64_t back = platform::moveFromCurrent(handle, -static_cast<std::int64_t>(got));
  if (back == platform::kRefused) return false;
  filePosition = back;
  return true;
}

bool DiskFile::writePending() {
  detachFromLender();
  if (!bufferedWrite() || pieces.empty()) return true;
  std::uint64_t taken = 0;
  const bool ok = platform::writePieces(handle, pieces.data(), pieces.size(), taken) && taken == gatheredBytes;
  filePosition += taken;
  // What the OS did not take is lost; filePosition says where the file ends.
  pieces.clear();
  gatheredBytes = 0;
  bufferEnd = 0;
  return ok;
}

void DiskFile::addPiece(const unsigned char* data, std::uint32_t n) {
  if (n == 0) return;
  platform::Piece* last = pieces.empty() ? nullptr : &pieces.back();
  if (last && last->data + last->size == data && last->size <= UINT32_MAX - n) {
    last->size += n;
  } else {
    pieces.push_back({data, n});
  }
  gatheredBytes += n;
}

// Keeps the first n bytes gathered, and lets the rest go.
void DiskFile::keepGathered(std::uint64_t n) {
  const auto inBuffer = [this](const platform::Piece& piece) {
    return std::less_equal<const unsigned char*>()(buffer.get(), piece.data) &&
           std::less<const unsigned char*>()(piece.data, buffer.get() + capacity);
  };
  std::uint64_t kept = 0;
  std::size_t count = 0;
  bufferEnd = 0;
  for (; count < pieces.size() && kept < n; ++count) {
    platform::Piece& piece = pieces[count];
    piece.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece.size, n - kept));
    kept += piece.size;
    // Bytes copied in after the last piece kept are free again.
    if (inBuffer(piece)) bufferEnd = static_cast<std::uint32_t>(piece.data + piece.size - buffer.get());
  }
  pieces.resize(count);
  gatheredBytes = kept;
}

bool DiskFile::cutBackTo(std::uint64_t size) {
  if (mode != FileMode::Write) return failWith(FileError::NotPermitted);
  if (lostLentBytes) return reportLoss();
  if (size >= filePosition) {
    keepGathered(size - filePosition);
  } else {
    keepGathered(0);
    if (!platform::truncateFile(handle, size)) return failWith(FileError::ShortWrite);
    filePosition = size;
  }
  lastError = FileError::Ok;
  return true;
}

bool DiskFile::overwrite(std::uint64_t at, const void* data, std::uint32_t n) {
  if (mode != FileMode::Write) return failWith(FileError::NotPermitted);
  if (lostLentBytes) return reportLoss();
  if (!writePending()) return failWith(FileError::ShortWrite);
  const auto back = static_cast<std::int64_t>(filePosition - at);
  std::uint32_t taken = 0;
  const bool written = platform::moveFromCurrent(handle, -back) == at && platform::writeFile(handle, data, n, taken) &&
                       platform::moveFromCurrent(handle, back - n) == filePosition;
  if (!written) return failWith(FileError::ShortWrite);
  lastError = FileError::Ok;
  return true;
}

bool DiskFile::reportLoss() {
  lossReported = true;
  return failWith(FileError::ShortWrite);
}

void DiskFile::detachFromLender() {
  if (!lender) return;
  std::vector<DiskFile*>& list = lender->borrowers;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  lender = nullptr;
}

void DiskFile::returnLoans() {
  while (!borrowers.empty()) {
    DiskFile* borrower = borrowers.back();
    // A failure here has no write to report it: the file takes no more, and says so.
    if (!borrower->writePending()) {
      borrower->lostLentBytes = true;
      borrower->lastError = FileError::ShortWrite;
    }
  }
}

bool DiskFile::takeLent(const unsigned char* data, std::uint32_t n, DiskFile& from) {
  if (lostLentBytes) return reportLoss();
  if ((lender && lender != &from) || pieces.size() == platform::kMaxPieces) {
    if (!writePending()) return failWith(FileError::ShortWrite);
  }
  addPiece(data, n);
  if (!lender) {
    lender = &from;
    from.borrowers.push_back(this);
  }
  lastError = FileError::Ok;
  return true;
}

std::uint32_t DiskFile::read(void* to, std::uint32_t n) {
  if (mode != FileMode::Read) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  auto* out = static_cast<unsigned char*>(to);
  std::uint32_t done = 0;
  bool ok = true;
  if (!bufferedRead()) {
    ok = readDirectOn(out, n, n, done);
  } else {
    while (done < n && ok) {
      if (bufferBegin == bufferEnd) {
        if (n - done >= kBufferSize) {  // a large read gains nothing from the buffer
          std::uint32_t got = 0;
          ok = dropNextRead() && readDirectOn(out + done, n - done, n - done, got);
          done += got;
          break;
        }
        ok = refill();
        if (bufferBegin == bufferEnd) break;
      }
      const std::uint32_t take = std::min(n - done, bufferEnd - bufferBegin);
      fetchAhead();
      std::memcpy(out + done, buffer.get() + bufferBegin, take);
      bufferBegin += take;
      done += take;
    }
  }
  lastError = !ok ? FileError::ReadFailed : done == n ? FileError::Ok : FileError::ShortRead;
  return done;
}

bool DiskFile::readAheadTo(std::uint32_t want, std::uint32_t enough) {
  const std::uint32_t unread = bufferEnd - bufferBegin;
  if (unread >= enough) return true;
  if (readingNext && want <= kPeekRoom) {  // a peek across the end of the read-ahead
    std::uint32_t got = 0;
    const bool ok = finishNextRead(got);
    useNextRead(got, unread, 0);
    return ok;
  }
  returnLoans();
  if (!dropNextRead()) return false;
  if (want > capacity) {
    Buffer larger = newBuffer(kMaxLookAhead);
    if (!larger) return false;  // as a failed read: nothing is lost, the pass stops with a word
    std::memcpy(larger.get(), buffer.get() + bufferBegin, unread);
    buffer = std::move(larger);
    capacity = kMaxLookAhead;
  } else {
    std::memmove(buffer.get(), buffer.get() + bufferBegin, unread);
  }
  // The unread bytes are at the front now, and more are read after them.
  readAheadFromStart(unread);
  // Right after a seek only what is asked, as refill() does.
  const std::uint32_t room = capacity - bufferEnd;
  const std::uint32_t ask = seekedPastBuffer ? std::min(room, std::max(want, kRefillAfterSeek)) : room;
  std::uint32_t got = 0;
  const bool ok = readDirectOn(buffer.get() + bufferEnd, ask, enough - unread, got);
  bufferEnd += got;
  // Read on as refill() does once the file is read forward.
  if (!seekedPastBuffer && got == ask) readNextWhereFaster(got);
  seekedPastBuffer = false;
  return ok;
}

std::uint32_t DiskFile::lookAhead(std::uint32_t offset, std::uint32_t n, const unsigned char*& data, Wait wait) {
  // Without its buffer the file cannot look ahead: as if the read failed.
  if (!bufferedRead() || offset > kMaxLookAhead - std::min(n, kMaxLookAhead)) {
    lastError = mode == FileMode::Read ? FileError::ReadFailed : FileError::NotPermitted;
    return 0;
  }
  const std::uint32_t needed = wait == Wait::ForSome && !canSeek ? std::min(n, 1u) : n;
  const bool ok = readAheadTo(offset + n, offset + needed);
  const std::uint32_t unread = bufferEnd - bufferBegin;
  data = buffer.get() + bufferBegin + std::min(offset, unread);
  const std::uint32_t available = unread > offset ? std::min(n, unread - offset) : 0;
  lastError = !ok ? FileError::ReadFailed : available >= needed ? FileError::Ok : FileError::ShortRead;
  return available;
}

std::uint32_t DiskFile::peek(std::uint32_t n, const unsigned char*& data) {
  if (n > kMaxPeek) {
    lastError = mode == FileMode::Read ? FileError::ReadFailed : FileError::NotPermitted;
    return 0;
  }
  return lookAhead(0, n, data);
}

std::uint32_t DiskFile::write(const void* from, std::uint32_t n) {
  if (mode != FileMode::Write) {
    lastError = FileError::NotPermitted;
    return 0;
  }
  if (lostLentBytes) {
    reportLoss();
    return 0;
  }
  std::uint32_t taken = 0;
  bool ok = true;
  const bool direct = n >= kBufferSize || (n >= kDirectWrite && gatheredBytes == 0);
  const bool full = n > kBufferSize - bufferEnd || pieces.size() == platform::kMaxPieces;
  if (!bufferedWrite()) {
    ok = writeDirect(from, n, taken);
  } else if ((direct || full) && !writePending()) {
    ok = false;  // the gathered bytes before these failed: none of these is written
  } else if (direct) {
    ok = writeDirect(from, n, taken);
  } else {
    std::memcpy(buffer.get() + bufferEnd, from, n);
    addPiece(buffer.get() + bufferEnd, n);
    bufferEnd += n;
    taken = n;
  }
  lastError = ok ? FileError::Ok : FileError::ShortWrite;
  return taken;
}

bool DiskFile::flush() {
  if (lostLentBytes) return reportLoss();
  if (gathered() == 0) return lastError == FileError::Ok;
  lastError = writePending() ? FileError::Ok : FileError::ShortWrite;
  return lastError == FileError::Ok;
}

bool DiskFile::close() {
  if (handle == platform::kInvalidHandle) return lastError == FileError::Ok;
  returnLoans();
  std::uint32_t unused = 0;
  if (readingNext) finishNextRead(unused);
  // A loss told already is not told again, as a write that failed is not.
  const bool written = writePending() && (!lostLentBytes || lossReported);
  const bool closed = platform::closeFile(handle);
  handle = platform::kInvalidHandle;
  mode = FileMode::Closed;
  buffer.reset();
  spare.reset();
  spareCapacity = 0;
  if (!written || !closed) return failWith(FileError::ShortWrite);
  return true;
}

bool DiskFile::seekCur(std::int64_t offset) {
  if (mode == FileMode::Closed) return failWith(FileError::NotPermitted);
  // Inside the read-ahead: no system call.
  if (bufferedRead() && offset >= -static_cast<std::int64_t>(bufferBegin - bufferFirst) &&
      offset <= static_cast<std::int64_t>(bufferEnd - bufferBegin)) {
    bufferBegin = static_cast<std::uint32_t>(bufferBegin + offset);
    lastError = FileError::Ok;
    return true;
  }
  if (!writePending()) return failWith(FileError::ShortWrite);
  if (!canSeek) {
    if (offset < 0) return failWith(FileError::SeekRefused);
    return skipForward(static_cast<std::uint64_t>(offset));
  }
  std::int64_t fromHere = offset - static_cast<std::int64_t>(readAhead());  // from where the OS stands
  if (readingNext) {
    std::uint32_t got = 0;
    const bool read = finishNextRead(got);
    if (read && fromHere >= 0 && fromHere < static_cast<std::int64_t>(got)) {  // into the bytes read meanwhile
      useNextRead(got, 0, static_cast<std::uint32_t>(fromHere));
      lastError = FileError::Ok;
      return true;
    }
    fromHere -= got;
  }
  const std::uint64_t moved = platform::moveFromCurrent(handle, fromHere);
  if (moved == platform::kRefused) return failWith(FileError::SeekRefused);
  filePosition = moved;
  readAheadFromStart(0);
  seekedPastBuffer = true;
  lastError = FileError::Ok;
  return true;
}

// A pipe cannot seek: what lies between is read and let go. Past its end it
// stands where a seek would, and reads nothing more.
bool DiskFile::skipForward(std::uint64_t n) {
  returnLoans();
  n -= readAhead();
  readAheadFromStart(0);
  unsigned char scratch[4096];
  unsigned char* into = buffer ? buffer.get() : scratch;
  const std::uint32_t room = buffer ? capacity : sizeof scratch;
  while (n > 0) {
    std::uint32_t got = 0;
    if (!readDirect(into, static_cast<std::uint32_t>(std::min<std::uint64_t>(n, room)), got)) {
      return failWith(FileError::ReadFailed);
    }
    if (got == 0) {
      filePosition += n;
      break;
    }
    n -= got;
  }
  lastError = FileError::Ok;
  return true;
}

bool DiskFile::readBack() {
  if (!temporary || mode != FileMode::Write) return failWith(FileError::NotPermitted);
  if (!writePending()) return failWith(FileError::ShortWrite);
  if (platform::moveFromCurrent(handle, -static_cast<std::int64_t>(filePosition)) != 0) {
    return failWith(FileError::SeekRefused);
  }
  mode = FileMode::Read;
  filePosition = 0;
  readAheadFromStart(0);
  lastError = FileError::Ok;
  return true;
}

std::uint64_t DiskFile::tell() {
  if (mode == FileMode::Closed) {
    lastError = FileError::NotPermitted;
    return kBadPosition;
  }
  return filePosition - readAhead() + gathered();
}

std::uint64_t DiskFile::size() {
  if (mode == FileMode::Closed) {
    lastError = FileError::NotPermitted;
    return kBadPosition;
  }
  const std::uint64_t onDisk = platform::fileSize(handle);
  if (onDisk == platform::kRefused) {
    lastError = FileError::SeekRefused;
    return kBadPosition;
  }
  return std::max(onDisk, filePosition + gathered());
}

unsigned char* DiskFile::gatherRoom(std::uint32_t n) {
  const bool fits = kBufferSize - bufferEnd >= n && pieces.size() < platform::kMaxPieces && !lostLentBytes;
  return bufferedWrite() && fits ? buffer.get() + bufferEnd : nullptr;
}

void DiskFile::gatherFilled(std::uint32_t n) {
  addPiece(buffer.get() + bufferEnd, n);
  bufferEnd += n;
  lastError = FileError::Ok;  // as the write of these n bytes would have said
}

bool DiskFile::copyTo(DiskFile& dest, std::uint64_t n, const ChunkSeen& seen) {
  if (platform::kWritesPiecesAtOnce && n >= kLendAtLeast && bufferedRead() && dest.bufferedWrite()) {
    return lendTo(dest, n, seen);
  }
  std::unique_ptr<unsigned char[]> chunkBuffer;
  for (std::uint64_t remaining = n; remaining != 0;) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kCopyChunk));
    // A read that refills would have `dest` write what it was lent, and so
    // empty the buffer that `room` points into: it writes them first.
    if (readAhead() < chunk) returnLoans();
    // Bytes that are read ahead stay where they are while read() copies them.
    const unsigned char* readAheadAt = readAhead() >= chunk ? buffer.get() + bufferBegin : nullptr;
    if (unsigned char* room = dest.gatherRoom(chunk)) {
      const std::uint32_t got = read(room, chunk);
      if (seen) seen(readAheadAt ? readAheadAt : room, got);
      dest.gatherFilled(got);  // what did arrive is kept, also on a short read
      if (lastError != FileError::Ok) return false;
    } else {
      if (!chunkBuffer) chunkBuffer.reset(new (std::nothrow) unsigned char[kCopyChunk]);
      // No memory for the chunk acts as a failed read of the bytes it was to hold.
      if (!chunkBuffer) return failWith(FileError::ShortRead);
      const std::uint32_t got = read(chunkBuffer.get(), chunk);
      if (seen) seen(readAheadAt ? readAheadAt : chunkBuffer.get(), got);
      dest.write(chunkBuffer.get(), got);  // what did arrive is kept, also on a short read
      if (lastError != FileError::Ok || dest.error() != FileError::Ok) return false;
    }
    remaining -= chunk;
  }
  return true;
}

// As read() takes bytes from the read-ahead, but lends them to `dest`.
bool DiskFile::lendTo(DiskFile& dest, std::uint64_t n, const ChunkSeen& seen) {
  std::uint64_t done = 0;
  bool ok = true;
  while (done < n && ok) {
    if (bufferBegin == bufferEnd) {
      ok = refill();
      if (bufferBegin == bufferEnd) break;
    }
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(n - done, bufferEnd - bufferBegin));
    const unsigned char* bytes = buffer.get() + bufferBegin;
    if (seen) seen(bytes, take);
    bufferBegin += take;
    done += take;
    // What did arrive is kept, also on a short read.
    if (!dest.takeLent(bytes, take, *this)) {
      lastError = FileError::Ok;
      return false;
    }
  }
  lastError = !ok ? FileError::ReadFailed : done == n ? FileError::Ok : FileError::ShortRead;
  return lastError == FileError::Ok;
}

// The bytes asked about come one after another, as a rule: the search for
// their first mark begins where the last ended.
bool DiskFile::marksIn(const unsigned char* data, std::uint32_t n, ReadMarks& found) {
  const std::less<const unsigned char*> before;
  if (!bufferedRead() || markedTo == markedFrom) return false;
  const unsigned char* from = buffer.get() + markedFrom;
  if (before(data, from) || before(buffer.get() + markedTo, data + n)) return false;
  const auto offset = static_cast<std::uint32_t>(data - from);
  const bool behind = nextMark > marks.size() || (nextMark > 0 && marks[nextMark - 1] >= offset);
  if (behind) {
    nextMark = static_cast<std::size_t>(std::lower_bound(marks.begin(), marks.end(), offset) - marks.begin());
  } else {
    // Past the marks in the bytes between, which were not asked about: a
    // header, an audio packet (whose own prefix is marked too).
    while (nextMark < marks.size() && marks[nextMark] < offset) ++nextMark;
  }
  found.base = from;
  found.first = marks.data() + nextMark;
  while (nextMark < marks.size() && marks[nextMark] < offset + n) ++nextMark;
  found.last = marks.data() + nextMark;
  return true;
}

bool reachedEndOfInput(DiskFile& input) {
  if (input.error() != FileError::ShortRead) return false;
  if (!input.seekable()) return input.tell() > 0;
  const std::uint64_t size = input.size(), position = input.tell();
  return size != 0 && position >= size - 1;
}

}  // namespace korvat
