// The operating-system layer: the few file and console services korvat needs,
// implemented once per OS (posix.cpp, win32.cpp). Nothing above this header
// knows which OS it runs on.
#pragma once

#include <cstdint>
#include <string>

namespace korvat::platform {

// An open file. All bits set means "no file", as on Win32.
using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidHandle = -1;

// What move and size queries return when the OS refuses them.
constexpr std::uint64_t kRefused = UINT64_MAX;

enum class Access { Read, Write, ReadWrite };

enum class Disposition {
  OpenExisting,  // the file must exist
  CreateNew,     // fails when the file exists
  CreateAlways,  // creates the file, or empties an existing one
};

// Opens a regular file for this process alone: a second opener, in this or
// another process, fails until it is closed. Returns kInvalidHandle on failure.
FileHandle openFile(const char* name, Access access, Disposition disposition);

// Reads up to n bytes; stops early only at the end of the file or on an
// error. `delivered` is set in every case. Returns false on an error.
bool readFile(FileHandle file, void* buffer, std::uint32_t n, std::uint32_t& delivered);

// Writes n bytes; `taken` tells how many reached the file. Returns false when
// not all of them did.
bool writeFile(FileHandle file, const void* buffer, std::uint32_t n, std::uint32_t& taken);

// Moves by `distance` from the current position (0 asks for the position).
// Returns the new position, or kRefused. Moving past the end is allowed,
// moving before the start is refused.
std::uint64_t moveFromCurrent(FileHandle file, std::int64_t distance);

// The size of the open file, or kRefused.
std::uint64_t fileSize(FileHandle file);

void closeFile(FileHandle file);

// Creates a new, empty, uniquely named file in the current directory whose
// name begins with "kvt", and stores its name. Returns false when none could
// be made.
bool makeTempFile(std::string& name);

// Whether anything (file, directory, link) stands under this name.
bool pathExists(const char* name);

bool deleteFile(const char* name);

bool stdoutIsTerminal();

// Called once at start. A write past a file-size limit, or to a console
// that nobody reads any more, must fail like any other write, not end the
// process; Ctrl-C, Ctrl-Break, SIGTERM and a closed terminal (SIGHUP) are
// counted instead of ending it, so that a run can stop cleanly after the
// packet in hand.
void setUpProcess();

// How often the user has asked the run to stop so far.
std::uint32_t interruptCount();

}  // namespace korvat::platform
