// Win32 implementation of the OS layer: the kernel32 file services, opened
// without sharing, so a file in use by another program (or another korvat)
// fails to open.
#include <windows.h>

#include "platform/platform.h"

namespace korvat::platform {
namespace {

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// ReadFile and WriteFile take at most a DWORD; korvat never asks for more.
constexpr std::uint32_t kMaxTransfer = 1u << 30;

}  // namespace

namespace {

OpenFailure failureOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return OpenFailure::Exists;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return OpenFailure::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return OpenFailure::Denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OpenFailure::InUse;
    default:
      return OpenFailure::Other;
  }
}

}  // namespace

FileHandle openFile(const char* name, Disposition disposition, OpenFailure& why) {
  const bool reading = disposition == Disposition::OpenExisting;
  HANDLE file = CreateFileA(name, reading ? GENERIC_READ : GENERIC_WRITE, 0 /* no sharing */, nullptr,
                            reading ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = failureOf(GetLastError());
    // A directory is refused as access denied, or as a name that is taken.
    std::uint64_t size = 0;
    if ((why == OpenFailure::Denied || why == OpenFailure::Exists) && findEntry(name, size) == Entry::Directory) {
      why = OpenFailure::IsDirectory;
    }
    return kInvalidHandle;
  }
  // Devices (CON, NUL, COM1...) open like files; only disk files are wanted,
  // and named pipes to read from.
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK && !(reading && type == FILE_TYPE_PIPE)) {
    CloseHandle(file);
    why = OpenFailure::NotRegular;
    return kInvalidHandle;
  }
  why = OpenFailure::None;
  return reinterpret_cast<FileHandle>(file);
}

// ReadFile on a handle is binary whatever mode the C runtime gives the same
// input, so a pipe's bytes arrive unchanged.
FileHandle openStandardInput(OpenFailure& why) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD type = input == nullptr || input == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(input);
  why = type == FILE_TYPE_CHAR                             ? OpenFailure::Terminal
        : type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE ? OpenFailure::Other
                                                           : OpenFailure::None;
  HANDLE own = nullptr;
  if (why == OpenFailure::None &&
      !DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    why = OpenFailure::Other;
  }
  return why == OpenFailure::None ? reinterpret_cast<FileHandle>(own) : kInvalidHandle;
}

bool isSeekable(FileHandle file) { return GetFileType(toHandle(file)) == FILE_TYPE_DISK; }
Entry findEntry(const char* name, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  // What cannot be looked at is left to the open that follows to refuse.
  if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) return Entry::None;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Entry::Directory;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return Entry::Other;
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return Entry::File;
}

ShellQuoting shellQuoting() { return ShellQuoting::Double; }

namespace {

// Whether a read of the pipe would return at once: bytes, or its end.
bool bytesWaiting(HANDLE pipe) {
  DWORD available = 0;
  return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0;
}

}  // namespace

bool readFile(FileHandle file, void* buffer, std::uint32_t n, std::uint32_t& delivered, Source from) {
  auto* at = static_cast<char*>(buffer);
  delivered = 0;
  while (delivered < n) {
    // The user's interrupt ends the pipe for this run where it stands, as
    // the end of a file would.
    if (from == Source::Pipe && interruptCount() > 0) return true;
    // What the writer sent is split at once, rather than kept back until more comes.
    if (from == Source::Pipe && delivered > 0 && !bytesWaiting(toHandle(file))) return true;
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(n - delivered < kMaxTransfer ? n - delivered : kMaxTransfer);
    if (!ReadFile(toHandle(file), at + delivered, ask, &got, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE;  // the writer closed its end: the end of the input
    }
    if (got == 0) return true;  // end of file
    delivered += got;
  }
  return true;
}

bool writeFile(FileHandle file, const void* buffer, std::uint32_t n, std::uint32_t& taken) {
  const auto* at = static_cast<const char*>(buffer);
  taken = 0;
  while (taken < n) {
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(n - taken < kMaxTransfer ? n - taken : kMaxTransfer);
    if (!WriteFile(toHandle(file), at + taken, ask, &put, nullptr) || put == 0) return false;
    taken += put;
  }
  return true;
}

bool writePieces(FileHandle file, const Piece* pieces, std::size_t count, std::uint64_t& taken) {
  taken = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t put = 0;
    const bool ok = writeFile(file, pieces[i].data, pieces[i].size, put);
    taken += put;
    if (!ok) return false;
  }
  return true;
}

std::uint64_t moveFromCurrent(FileHandle file, std::int64_t distance) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(toHandle(file), move, &position, FILE_CURRENT)) return kRefused;
  return static_cast<std::uint64_t>(position.QuadPart);
}

std::uint64_t fileSize(FileHandle file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(toHandle(file), &size)) return kRefused;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool truncateFile(FileHandle file, std::uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(toHandle(file), end, nullptr, FILE_BEGIN) && SetEndOfFile(toHandle(file));
}

bool closeFile(FileHandle file) { return CloseHandle(toHandle(file)) != 0; }

// The name is opened once, right after it was made; the handle then serves
// both passes.
FileHandle createTempFile(std::string& name, OpenFailure& why) {
  char path[MAX_PATH];
  if (GetTempFileNameA(".", "kvt", 0, path) == 0) {
    why = failureOf(GetLastError());
    return kInvalidHandle;
  }
  name = path;
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  why = file == INVALID_HANDLE_VALUE ? failureOf(GetLastError()) : OpenFailure::None;
  return file == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<FileHandle>(file);
}

bool deleteFile(const char* name) { return DeleteFileA(name) != 0; }

bool stdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

namespace {
volatile LONG interrupts = 0;

// Runs on a thread of its own that the console starts.
BOOL WINAPI countInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedIncrement(&interrupts);
  return TRUE;
}
}  // namespace

void setUpProcess() { SetConsoleCtrlHandler(countInterrupt, TRUE); }

unsigned processorsAvailable() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count > 1 ? count : 1;
}

// Ctrl-C and its kin come to a thread the system makes for them, not to ours.
void startShieldedFromSignals(const std::function<void()>& start) { start(); }

std::uint32_t interruptCount() { return static_cast<std::uint32_t>(InterlockedCompareExchange(&interrupts, 0, 0)); }

}  // namespace korvat::platform
