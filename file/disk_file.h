// DiskFile: every byte korvat reads or writes goes through one of these.
// Operations never throw; each records its outcome in error(), which the
// caller tests after the calls whose failure matters to it.
//
// A file opened for reading reads ahead, and one opened for writing gathers
// its writes, so that small packets cost no system call each. A regular file
// read forward may read its next buffer on a thread of its own while the one
// before is used, so that korvat reads while it writes; it does so while the
// clock shows that faster (see ReadPlacement). A gathered
// write that fails later, when the buffer goes to the OS, shows as ShortWrite
// on that later write or on flush() or close(); the bytes that did not reach
// the file are dropped, so tell() then says how far the file really goes.
//
// copyTo lends long runs of the bytes read ahead to the file they go to,
// which writes them from there, together with what it gathered, in one call
// where the OS allows: each byte crosses memory once less. The file that
// reads has the files holding its bytes write them before its read-ahead
// changes; one that fails then takes no more writes, and says ShortWrite on
// the next, on flush() and on close().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "file/read_placement.h"
#include "platform/platform.h"

namespace korvat {

enum class FileMode : std::uint32_t { Closed = 0, Read = 1, Write = 2 };

enum class FileError : std::uint32_t {
  Ok = 0,
  NotPermitted = 1,  // the wrong mode for the call, or a closed object
  ShortRead = 2,     // a read delivered fewer bytes than asked: the file ends there
  ShortWrite = 3,    // a write failed or took fewer bytes than given
  OpenFailed = 4,
  ReadFailed = 5,   // the OS reported an error while reading
  SeekRefused = 6,  // the OS refused a move (before the start) or a size query
};

using platform::Disposition;  // OpenExisting reads, CreateNew writes

// What copyTo shows each piece it copies: a function it does not own, such
// as a lambda given for the call, so nothing is allocated however much the
// lambda holds.
class ChunkSeen {
 public:
  ChunkSeen() = default;
  template <class Look, class = std::enable_if_t<!std::is_same_v<std::decay_t<Look>, ChunkSeen>>>
  ChunkSeen(Look&& look)  // NOLINT: made from any callable, as std::function is
      : callable(const_cast<void*>(static_cast<const void*>(&look))),
        call([](void* f, const unsigned char* data, std::uint32_t n) {
          (*static_cast<std::remove_reference_t<Look>*>(f))(data, n);
        }) {}
  explicit operator bool() const { return call != nullptr; }
  void operator()(const unsigned char* data, std::uint32_t n) const { call(callable, data, n); }

 private:
  void* callable = nullptr;
  void (*call)(void*, const unsigned char*, std::uint32_t) = nullptr;
};

// Places that a look at the bytes read ahead found in them: each at
// base + *p for p in [first, last), ascending.
struct ReadMarks {
  const unsigned char* base = nullptr;
  const std::uint32_t* first = nullptr;
  const std::uint32_t* last = nullptr;
};

class DiskFile {
 public:
  // copyTo moves data in chunks of this size.
  static constexpr std::uint32_t kCopyChunk = 32768;
  // Reads ahead and gathers writes in a buffer of this size; a write of at
  // least as much goes to the OS at once, and so does one of at least
  // kDirectWrite that finds nothing gathered: copied into the buffer, it
  // would go to the OS in much the same write, one copy later.
  static constexpr std::uint32_t kBufferSize = 256 * 1024;
  static constexpr std::uint32_t kDirectWrite = kBufferSize / 4;
  // copyTo lends runs of at least this many bytes. The OS takes each piece
  // of a write at a cost: payloads of 2 KiB on average went 3% slower lent
  // than copied together, payloads of 4-8 KiB 4% faster.
  static constexpr std::uint32_t kLendAtLeast = 4 * 1024;
  // Buffers begin at a page: see newBuffer().
  static constexpr std::size_t kBufferAlignment = 4096;

  DiskFile(const std::string& name, Disposition disposition);
  // Standard input, for reading; when it is a terminal or cannot be had,
  // error() and openFailure() say so.
  static std::unique_ptr<DiskFile> standardInput();
  // A new, uniquely named file in the current directory, open for writing and
  // later for reading back; `name` as platform::createTempFile sets it. Null
  // when it could not be made, and `why` says why.
  static std::unique_ptr<DiskFile> createTemporary(std::string& name, platform::OpenFailure& why);
  ~DiskFile();
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  FileError error() const { return lastError; }
  // A regular file; a pipe is read forward only and has no size.
  bool seekable() const { return canSeek; }
  // Why the open failed, as the OS said (None once open).
  platform::OpenFailure openFailure() const { return whyNotOpen; }

  // Both return the bytes delivered or taken, also when they fall short.
  std::uint32_t read(void* buffer, std::uint32_t n);
  std::uint32_t write(const void* buffer, std::uint32_t n);
  // Makes the next n bytes (n at most kMaxPeek) readable at `data` without
  // reading them. Returns how many there are: fewer only at the end of the
  // file (ShortRead) or on an error (ReadFailed).
  static constexpr std::uint32_t kMaxPeek = 128 * 1024 + 64;
  std::uint32_t peek(std::uint32_t n, const unsigned char*& data);
  // The same for the n bytes that begin `offset` bytes from here, with
  // offset + n at most kMaxLookAhead: what a pipe's reader sees of what is
  // still to come. The read-ahead grows to hold them. With Wait::ForSome a
  // pipe gives what its writer sent of them so far, at least one byte but at
  // its end, and ShortRead only there; a file gives them all.
  static constexpr std::uint32_t kMaxLookAhead = 1280 * 1024;
  enum class Wait { ForAll, ForSome };
  std::uint32_t lookAhead(std::uint32_t offset, std::uint32_t n, const unsigned char*& data, Wait wait = Wait::ForAll);
  // The bytes read ahead and not yet delivered, without reading more: a
  // look at what is there already costs no more than a pointer.
  std::uint32_t readAheadBytes(const unsigned char*& data) const {
    data = bufferedRead() ? buffer.get() + bufferBegin : nullptr;
    return readAhead();
  }
  // Moving past the end is allowed, moving before the start is refused. A
  // pipe moves forward by reading, and back only within its read-ahead.
  bool seekCur(std::int64_t offset);
  // Both fail only on a closed object (size also when the OS refuses), with
  // the largest value.
  std::uint64_t tell();
  std::uint64_t size();
  // Copies n bytes from here to dest in kCopyChunk pieces. True when all of
  // them arrived; a partial last chunk is still written. `seen`, when given,
  // is shown every piece that is written, on its way: where it lies in the
  // read-ahead, when it came from there.
  bool copyTo(DiskFile& dest, std::uint64_t n, const ChunkSeen& seen = {});
  // A look at the bytes read ahead, taken by the thread that reads them in
  // the background, while they are still in its cache: `mark` adds to
  // `marks` the offsets of what it finds in data[0, n), ascending.
  using MarkBytes = void (*)(const unsigned char* data, std::uint32_t n, std::vector<std::uint32_t>& marks);
  // The bytes read in the background from now on are marked by `mark`.
  void markWhileReading(MarkBytes mark) { marker = mark; }
  // The marks in data[0, n), bytes that copyTo showed, or the read-ahead's;
  // false when those bytes were not all marked.
  bool marksIn(const unsigned char* data, std::uint32_t n, ReadMarks& found);
  // A file being written takes back what it took from `size` on (size at
  // most tell()): gathered bytes are let go, and the OS cuts off the rest.
  bool cutBackTo(std::uint64_t size);
  // Writes n bytes over those that begin at `at`, which the file took
  // already (at + n at most tell()); where it stands does not change.
  bool overwrite(std::uint64_t at, const void* data, std::uint32_t n);
  // Hands gathered writes to the OS. With nothing gathered it does nothing
  // and leaves error() as it was, so a write that failed earlier still shows.
  bool flush();
  // Flushes and closes. A failure that the OS reports only at close is a
  // failed write (ShortWrite) like any other.
  bool close();
  // A temporary file that was written becomes readable from its start, through
  // the handle that wrote it, so the second pass reads exactly what the first
  // wrote, whatever has happened to the file's name meanwhile.
  bool readBack();

 private:
  DiskFile(platform::FileHandle handle, FileMode mode, platform::OpenFailure why = platform::OpenFailure::Other);

  // After a seek past the read-ahead, the next read is most likely a header:
  // filling the whole buffer there would read, over runs of large skipped
  // packets, every byte that the seeks step over.
  static constexpr std::uint32_t kRefillAfterSeek = 4096;

  bool bufferedRead() const { return buffer && mode == FileMode::Read; }
  bool bufferedWrite() const { return buffer && mode == FileMode::Write; }
  std::uint32_t readAhead() const { return bufferedRead() ? bufferEnd - bufferBegin : 0; }
  std::uint64_t gathered() const { return bufferedWrite() ? gatheredBytes : 0; }
  // Room for n more bytes after the gathered ones, or null; copyTo reads
  // straight into it, which saves a copy of every byte, where the OS does
  // not write bytes from several places in one call.
  unsigned char* gatherRoom(std::uint32_t n);
  void gatherFilled(std::uint32_t n);
  void addPiece(const unsigned char* data, std::uint32_t n);
  void keepGathered(std::uint64_t n);
  // copyTo by lending the read-ahead to `dest`.
  bool lendTo(DiskFile& dest, std::uint64_t n, const ChunkSeen& seen);
  // `dest` takes n bytes of `from`'s read-ahead, to write them later.
  bool takeLent(const unsigned char* data, std::uint32_t n, DiskFile& from);
  // Before the read-ahead changes: the files that hold its bytes write them.
  void returnLoans();
  void detachFromLender();
  // Fails the call that finds lent bytes lost, which tells the caller of the loss.
  bool reportLoss();
  // The read-ahead is buffer[0, end), unmarked.
  void readAheadFromStart(std::uint32_t end);
  bool refill();
  // Reading forward, once a refill has read a whole buffer: the next
  // kBufferSize bytes are read on another thread while these are used, into
  // `spare` after room for the unread bytes a peek keeps.
  static constexpr std::uint32_t kPeekRoom = (kMaxPeek + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
  void readNextInBackground();
  // A whole read of `got` bytes was made: the next is read on the other
  // thread when, by the clock, that is the faster way now.
  void readNextWhereFaster(std::uint32_t got);
  // Bytes read on the other thread lie in its processor's cache: those a
  // few packets ahead of what read() takes are asked for meanwhile, rather
  // than met one miss at a time.
  static constexpr std::uint32_t kFetchAhead = 8 * 1024;
  void fetchAhead();
  // Waits for that read; the OS then stands after the bytes it delivered.
  // Its outcome as readDirect's.
  bool finishNextRead(std::uint32_t& got);
  // The `got` bytes of that read become the read-ahead from `skip` of them
  // on, after the last `keep` unread bytes of the read-ahead before.
  void useNextRead(std::uint32_t got, std::uint32_t keep, std::uint32_t skip);
  // The read is not wanted: the OS goes back to where it stood before it.
  bool dropNextRead();
  // Makes `want` unread bytes readable, as far as the file has them, and
  // waits for a pipe's writer only until `enough` are; false on an error.
  bool readAheadTo(std::uint32_t want, std::uint32_t enough);
  bool skipForward(std::uint64_t n);
  bool writePending();
  bool readDirect(unsigned char* to, std::uint32_t n, std::uint32_t& delivered);
  // As readDirect, but reads on where a pipe delivers less, until at least
  // `enough` of the n bytes are there or the file ends.
  bool readDirectOn(unsigned char* to, std::uint32_t n, std::uint32_t enough, std::uint32_t& delivered);
  bool writeDirect(const void* from, std::uint32_t n, std::uint32_t& taken);
  bool failWith(FileError error);
  void setUpAfterOpen();  // the buffer, or the closed state of a file that did not open

  FileMode mode;
  FileError lastError = FileError::Ok;
  platform::OpenFailure whyNotOpen = platform::OpenFailure::None;
  platform::FileHandle handle;
  bool temporary = false;  // opened for reading too, so that it can be read back
  bool canSeek = false;
  // Null when there was no memory for it: the file then works unbuffered.
  struct FreeBuffer {
    void operator()(unsigned char* bytes) const;
  };
  using Buffer = std::unique_ptr<unsigned char[], FreeBuffer>;
  static Buffer newBuffer(std::uint32_t size);
  Buffer buffer;
  // Of `buffer`: kBufferSize, kPeekRoom + kBufferSize once a read in the
  // background filled it, or kMaxLookAhead once a look ahead needed it.
  std::uint32_t capacity = 0;
  // Reading: the unread bytes are buffer[bufferBegin, bufferEnd), and those
  // before them from buffer[bufferFirst] on were read too.
  // Writing: the bytes copied in are buffer[0, bufferEnd); all that is
  // gathered, with the bytes lent, are `pieces`, in order.
  std::uint32_t bufferFirst = 0, bufferBegin = 0, bufferEnd = 0;
  std::uint32_t fetchedTo = 0;  // buffer[bufferBegin, fetchedTo) is asked for
  // Where the OS stands: after the read-ahead, before the gathered bytes.
  std::uint64_t filePosition = 0;
  bool seekedPastBuffer = false;
  std::vector<platform::Piece> pieces;
  std::uint64_t gatheredBytes = 0;
  DiskFile* lender = nullptr;        // writing: whose read-ahead some pieces lie in
  std::vector<DiskFile*> borrowers;  // reading: the files holding pieces of the read-ahead
  bool lostLentBytes = false;        // writing lent bytes failed: the file takes no more
  bool lossReported = false;         // a call has returned that failure
  Buffer spare;                      // reading: where the next bytes are read in the background
  std::uint32_t spareCapacity = 0;
  bool readingNext = false;
  ReadPlacement placement;
  MarkBytes marker = nullptr;
  // buffer[markedFrom, markedTo) is marked, as `marks` says; spareMarks are
  // the next read's, made when spareMarked.
  std::uint32_t markedFrom = 0, markedTo = 0;
  std::vector<std::uint32_t> marks, spareMarks;
  bool spareMarked = false;
  std::size_t nextMark = 0;  // of `marks`: the first after the bytes last asked about, as a rule
  // Last, so that its thread has ended before the buffers and the handle go.
  platform::BackgroundRead nextRead;
};

// The end-of-input rule of both passes. A read that came up short, rather
// than one the OS failed, counts as the end of the input from its last byte
// on, so a recording whose last header is cut short ends as cleanly as one
// that ends after a whole packet; a pipe ends where its writer stopped. An
// empty input never reached its end: it held nothing to read.
bool reachedEndOfInput(DiskFile& input);

}  // namespace korvat
