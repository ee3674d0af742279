// POSIX implementation of the OS layer. Exclusive access, which Win32 grants
// by opening without sharing, is an advisory flock taken right after the open:
// every korvat honours it, so two runs never write the same file at once.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace korvat::platform {
namespace {

int openFlags(Disposition disposition) {
  const int flags = O_CLOEXEC | O_NONBLOCK;  // O_NONBLOCK: never hang on a FIFO
  return disposition == Disposition::OpenExisting ? flags | O_RDONLY : flags | O_WRONLY | O_CREAT | O_EXCL;
}

bool isRegularFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool makeBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A pipe whose writer is silent would hold a read, or the open of a FIFO
// that no one writes to yet, for as long as it stays silent: korvat waits for
// its bytes (or its going away) in steps, and stops waiting when the user asks
// the run to stop. A regular file is always ready.
bool waitForBytes(int fd) {
  pollfd wanted{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&wanted, 1, 100);
    if (ready > 0) return interruptCount() == 0;
    if (ready == -1 && errno != EINTR) return true;  // the read says what is wrong
    if (interruptCount() > 0) return false;
  }
}

// Whether a read would return at once: bytes, the writer's end, or an error.
bool bytesWaiting(int fd) {
  pollfd wanted{fd, POLLIN, 0};
  return poll(&wanted, 1, 0) != 0;
}

OpenFailure failureOf(int error) {
  switch (error) {
    case EEXIST:
      return OpenFailure::Exists;
    case ENOENT:
    case ENOTDIR:
      return OpenFailure::Missing;
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenFailure::Denied;
    case EISDIR:
      return OpenFailure::IsDirectory;
    default:
      return OpenFailure::Other;
  }
}

// A name that is taken may be taken by a directory, which says more.
OpenFailure refinedFailure(const char* name, OpenFailure why) {
  std::uint64_t size = 0;
  if (why == OpenFailure::Exists && findEntry(name, size) == Entry::Directory) return OpenFailure::IsDirectory;
  return why;
}

}  // namespace

FileHandle openFile(const char* name, Disposition disposition, OpenFailure& why) {
  int fd;
  do {
    fd = open(name, openFlags(disposition), 0666);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    why = refinedFailure(name, failureOf(errno));
    return kInvalidHandle;
  }

  struct stat st {};
  const bool statted = fstat(fd, &st) == 0;
  if (statted && S_ISFIFO(st.st_mode) && disposition == Disposition::OpenExisting) {
    why = !waitForBytes(fd) ? OpenFailure::Interrupted : !makeBlocking(fd) ? OpenFailure::Other : OpenFailure::None;
  } else {
    why = !statted                            ? OpenFailure::Other
          : S_ISDIR(st.st_mode)               ? OpenFailure::IsDirectory
          : !S_ISREG(st.st_mode)              ? OpenFailure::NotRegular
          : flock(fd, LOCK_EX | LOCK_NB) != 0 ? OpenFailure::InUse
          : !makeBlocking(fd)                 ? OpenFailure::Other
                                              : OpenFailure::None;
  }
  if (why != OpenFailure::None) {
    close(fd);
    return kInvalidHandle;
  }
  return fd;
}

FileHandle openStandardInput(OpenFailure& why) {
  struct stat st {};
  why = isatty(STDIN_FILENO) == 1                              ? OpenFailure::Terminal
        : fstat(STDIN_FILENO, &st) == 0 && S_ISDIR(st.st_mode) ? OpenFailure::IsDirectory
                                                               : OpenFailure::None;
  if (why != OpenFailure::None) return kInvalidHandle;
  const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd == -1) why = OpenFailure::Other;
  return fd == -1 ? kInvalidHandle : fd;
}

bool isSeekable(FileHandle file) { return isRegularFile(static_cast<int>(file)); }

Entry findEntry(const char* name, std::uint64_t& size) {
  struct stat st {};
  // A link that leads nowhere still takes its name.
  if (stat(name, &st) != 0) return lstat(name, &st) == 0 ? Entry::Other : Entry::None;
  size = static_cast<std::uint64_t>(st.st_size);
  return S_ISREG(st.st_mode) ? Entry::File : S_ISDIR(st.st_mode) ? Entry::Directory : Entry::Other;
}

ShellQuoting shellQuoting() { return ShellQuoting::Single; }

bool readFile(FileHandle file, void* buffer, std::uint32_t n, std::uint32_t& delivered, Source from) {
  auto* at = static_cast<char*>(buffer);
  delivered = 0;
  while (delivered < n) {
    if (from == Source::Pipe) {
      // What the writer sent is split at once, rather than kept back until
      // more comes: a wait is only ever for the first byte.
      if (delivered > 0 && !bytesWaiting(static_cast<int>(file))) return true;
      if (delivered == 0 && !waitForBytes(static_cast<int>(file))) return true;
      // The user's interrupt ends the pipe for this run where it stands, as
      // the end of a file would: looked at after the wait, since an
      // interrupt may come with bytes sent after it.
      if (interruptCount() > 0) return true;
    }
    const ssize_t got = read(static_cast<int>(file), at + delivered, n - delivered);
    if (got > 0) {
      delivered += static_cast<std::uint32_t>(got);
    } else if (got == 0) {
      return true;  // end of file
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool writeFile(FileHandle file, const void* buffer, std::uint32_t n, std::uint32_t& taken) {
  const auto* at = static_cast<const char*>(buffer);
  taken = 0;
  while (taken < n) {
    const ssize_t put = write(static_cast<int>(file), at + taken, n - taken);
    if (put > 0) {
      taken += static_cast<std::uint32_t>(put);
    } else if (put == -1 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool writePieces(FileHandle file, const Piece* pieces, std::size_t count, std::uint64_t& taken) {
  iovec pending[kMaxPieces];
  std::size_t first = 0;
  for (std::size_t i = 0; i < count; ++i) pending[i] = {const_cast<unsigned char*>(pieces[i].data), pieces[i].size};
  taken = 0;
  while (first < count) {
    const ssize_t put = writev(static_cast<int>(file), pending + first, static_cast<int>(count - first));
    if (put == -1 && errno == EINTR) continue;
    if (put <= 0) return false;
    taken += static_cast<std::uint64_t>(put);
    // A write that fell short goes on where it stopped.
    for (auto left = static_cast<std::size_t>(put); left > 0 && first < count;) {
      const std::size_t step = std::min(left, pending[first].iov_len);
      pending[first].iov_base = static_cast<char*>(pending[first].iov_base) + step;
      pending[first].iov_len -= step;
      left -= step;
      if (pending[first].iov_len == 0) ++first;
    }
    while (first < count && pending[first].iov_len == 0) ++first;
  }
  return true;
}

std::uint64_t moveFromCurrent(FileHandle file, std::int64_t distance) {
  const off_t position = lseek(static_cast<int>(file), static_cast<off_t>(distance), SEEK_CUR);
  return position < 0 ? kRefused : static_cast<std::uint64_t>(position);
}

std::uint64_t fileSize(FileHandle file) {
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) return kRefused;
  return static_cast<std::uint64_t>(st.st_size);
}

bool truncateFile(FileHandle file, std::uint64_t size) {
  const auto end = static_cast<off_t>(size);
  return ftruncate(static_cast<int>(file), end) == 0 && lseek(static_cast<int>(file), end, SEEK_SET) == end;
}

bool closeFile(FileHandle file) { return close(static_cast<int>(file)) == 0; }

// The descriptor that made the file is the one that is used: its name is
// never opened again, so a link put in its place leads nowhere.
FileHandle createTempFile(std::string& name, OpenFailure& why) {
  char pattern[] = "./kvtXXXXXX.tmp";
  const int fd = mkostemps(pattern, 4, O_CLOEXEC);
  if (fd == -1) {
    why = failureOf(errno);
    return kInvalidHandle;
  }
  name = pattern;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = OpenFailure::InUse;
    close(fd);
    return kInvalidHandle;
  }
  why = OpenFailure::None;
  return fd;
}

bool deleteFile(const char* name) { return unlink(name) == 0; }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

namespace {
volatile std::sig_atomic_t interrupts = 0;

extern "C" void countInterrupt(int) { interrupts = interrupts + 1; }

void openMissingStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken, and the ones below are open by now.
    const int null = open("/dev/null", O_RDWR);
    if (null != fd && null != -1) close(null);
  }
}

bool ignoredAtStart(int signal) {
  struct sigaction before {};
  return sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
}
}  // namespace

void setUpProcess() {
  openMissingStandardDescriptors();
  std::signal(SIGXFSZ, SIG_IGN);
  // The console only reports: a reader that went away (korvat | head) must
  // not stop the split half-way with its temporary file left behind.
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction onInterrupt {};
  onInterrupt.sa_handler = countInterrupt;
  onInterrupt.sa_flags = SA_RESTART;
  sigemptyset(&onInterrupt.sa_mask);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
    if (!ignoredAtStart(stop)) sigaction(stop, &onInterrupt, nullptr);
  }
}

std::uint32_t interruptCount() { return static_cast<std::uint32_t>(interrupts); }

// The processors this thread may run on, which a thread it makes inherits.
unsigned processorsAvailable() {
#ifdef __linux__
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)));
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 1 ? static_cast<unsigned>(online) : 1;
}

// A new thread takes the signal mask of the thread that makes it.
void startShieldedFromSignals(const std::function<void()>& start) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  start();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace korvat::platform
