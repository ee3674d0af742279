// The operating-system layer: the few file and console services korvat needs,
// implemented once per OS (posix.cpp, win32.cpp). Nothing above this header
// knows which OS it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvat::platform {

// An open file. All bits set means "no file", as on Win32.
using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidHandle = -1;

// What move and size queries return when the OS refuses them.
constexpr std::uint64_t kRefused = UINT64_MAX;

enum class Disposition {
  OpenExisting,  // for reading; the file must exist
  CreateNew,     // for writing; fails when the file exists
};

// Why a file could not be opened, in words a user can act on.
enum class OpenFailure {
  None,
  Exists,       // CreateNew: the name is taken
  Missing,      // the file, or the directory it is to go in, does not exist
  Denied,       // no permission: to read the file, or to make files in its directory
  IsDirectory,  // the name is a directory
  NotRegular,   // a device, a pipe or the like
  InUse,        // another program holds it (locked, or opened without sharing)
  Terminal,     // standard input is a terminal, which no recording comes from
  Interrupted,  // the user stopped the run while it waited for a pipe's writer
  Other,
};

// A file to read may be a regular file or a pipe (a FIFO); one to write is a
// regular file. On failure returns kInvalidHandle and says why in `why`.
FileHandle openFile(const char* name, Disposition disposition, OpenFailure& why);

// What lies at `name` now, without opening it; `size` is set for a file.
enum class Entry { None, File, Directory, Other };
Entry findEntry(const char* name, std::uint64_t& size);

// How a word is quoted for the shell users type korvat's commands into.
enum class ShellQuoting {
  Single,  // POSIX shells: '...', with ' written as '\''
  Double,  // cmd.exe and PowerShell: "...", which no file name holds
};
ShellQuoting shellQuoting();

// A handle of korvat's own on standard input, for reading; kInvalidHandle,
// and why, when it is a terminal or a directory, or cannot be had. Bytes
// come as they are, never as text.
FileHandle openStandardInput(OpenFailure& why);

// Whether the file can be moved in and measured: a regular file, not a pipe.
bool isSeekable(FileHandle file);

// What is read: a pipe may keep a read waiting on its writer, a file never.
enum class Source { File, Pipe };

// Reads up to n bytes; from a file it stops early only at the end of the
// file or on an error, from a pipe also when the bytes its writer sent so far
// are read (at least one, but at its end). A pipe ends where it stands
// once the user asks the run to stop. `delivered` is set in every case.
// Returns false on an error.
bool readFile(FileHandle file, void* buffer, std::uint32_t n, std::uint32_t& delivered, Source from = Source::File);

// Writes n bytes; `taken` tells how many reached the file. Returns false when
// not all of them did.
bool writeFile(FileHandle file, const void* buffer, std::uint32_t n, std::uint32_t& taken);

// Bytes to write that lie in several places, written in order as one run.
struct Piece {
  const unsigned char* data;
  std::uint32_t size;
};
// At most this many pieces go in one call.
constexpr std::size_t kMaxPieces = 1024;
// Whether the OS writes many pieces in one call: where it does not, they are
// written one call each, and are better copied together first.
#ifdef _WIN32
constexpr bool kWritesPiecesAtOnce = false;
#else
constexpr bool kWritesPiecesAtOnce = true;
#endif

// Writes `count` pieces (at most kMaxPieces) as writeFile writes their bytes
// one after another; `taken` tells how many reached the file. Returns false
// when not all of them did.
bool writePieces(FileHandle file, const Piece* pieces, std::size_t count, std::uint64_t& taken);

// One read of a file at a time, made on a thread of korvat's own while the
// caller goes on with the bytes before: a copy reads while it writes. It
// reads as readFile does, and moves the file as readFile does; nothing else
// may use the file from start() until finish() has returned.
class BackgroundRead {
 public:
  BackgroundRead();
  ~BackgroundRead();  // waits for a read in progress
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;

  // False when there is no thread to read on: then nothing is read. `then`,
  // when given, is called on that thread with what the read delivered.
  bool start(FileHandle file, void* buffer, std::uint32_t n, std::function<void(std::uint32_t)> then = {});
  // Waits for the read that start() began; its outcome as readFile's.
  bool finish(std::uint32_t& delivered);

 private:
  struct Worker;
  std::unique_ptr<Worker> worker;
};

// How many processors this process may run on: 1 when the OS cannot tell.
unsigned processorsAvailable();

// Runs `start`, which starts a thread, such that the thread never takes the
// user's signals: they reach the thread that counts them and can be
// interrupted by them.
void startShieldedFromSignals(const std::function<void()>& start);

// Moves by `distance` from the current position (0 asks for the position).
// Returns the new position, or kRefused. Moving past the end is allowed,
// moving before the start is refused.
std::uint64_t moveFromCurrent(FileHandle file, std::int64_t distance);

// The size of the open file, or kRefused.
std::uint64_t fileSize(FileHandle file);

// Ends the file at `size` bytes, no more than it holds, and moves there.
// False when the OS refuses either.
bool truncateFile(FileHandle file, std::uint64_t size);

// False when the OS reports an error, which for a file written through a
// network file system may be the first word of a write that failed.
bool closeFile(FileHandle file);

// Creates a new, empty, uniquely named file in the current directory whose
// name begins with "kvt", open for reading and writing by this process alone.
// `name` is set once the file exists, also when it then could not be opened;
// it stays empty when no file could be made.
FileHandle createTempFile(std::string& name, OpenFailure& why);

bool deleteFile(const char* name);

bool stdoutIsTerminal();

// Called once at start, before any file is opened. Standard input, output
// and error that were closed are opened on the null device, so that no file
// korvat opens takes their place and receives its console text. A write past a file-size limit, or to a console
// that nobody reads any more, must fail like any other write, not end the
// process; Ctrl-C, Ctrl-Break, SIGTERM and a closed terminal (SIGHUP) are
// counted instead of ending it, so that a run can stop cleanly after the
// packet in hand; one that was ignored when korvat started (nohup, a
// background job) stays ignored.
void setUpProcess();

// How often the user has asked the run to stop so far.
std::uint32_t interruptCount();

}  // namespace korvat::platform
