#include "tests/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvat::test {

const char* const kEndOfInput = "\nend of input file reached\n";
const char* const kReadWriteError = "\nerror reading/writing file\n";
const char* const kStripHeading = "\nremoving pes-data from audio-file\n";

Bytes avPacket(std::uint8_t streamId, std::uint8_t flags, const Bytes& payload, int lengthField) {
  const auto length = static_cast<unsigned>(lengthField < 0 ? payload.size() : lengthField);
  Bytes packet = {'A', 'V', static_cast<char>(streamId), 0, 0, static_cast<char>(flags),
                  static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
  return packet + payload;
}

Bytes prefixedVideo(const Bytes& video) { return avPacket(1, 0x10, Bytes("\x7f\x7f\x7f\x7f") + video); }

Bytes pesPacket(std::uint8_t streamId, const Bytes& headerData, const Bytes& payload) {
  const std::size_t length = 3 + headerData.size() + payload.size();
  Bytes packet = {0, 0, 1, static_cast<char>(streamId), static_cast<char>(length >> 8),
                  static_cast<char>(length & 0xFF), static_cast<char>(0x80), static_cast<char>(0x80),
                  static_cast<char>(headerData.size())};
  return packet + headerData + payload;
}

Bytes sequenceStart(const Bytes& rest) { return Bytes("\0\0\1\xB3", 4) + rest; }

Bytes filler(std::size_t n, char seed) {
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + (seed + i) % 26);
  return bytes;
}

std::string demuxProgress(int audio, int audioKb, int video, int videoKb, int skipped, int skippedKb) {
  char line[160];
  std::snprintf(line, sizeof line, "%d (%d kb) audio, %d (%d kb) video, %d (%d kb) skipped\r", audio,
                audioKb, video, videoKb, skipped, skippedKb);
  return line;
}

std::string stripProgress(int audio, int audioKb, int skipped, int skippedKb) {
  char line[120];
  std::snprintf(line, sizeof line, "%d (%d kb) audio-packets, %d (%d kb) skipped packets\r", audio,
                audioKb, skipped, skippedKb);
  return line;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/korvat-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  root = pattern;
}

TempDir::~TempDir() {
  const std::string command = "rm -rf '" + root + "'";
  if (std::system(command.c_str()) != 0) std::perror("rm");
}

void TempDir::write(const std::string& name, const Bytes& bytes) const {
  std::ofstream(path(name), std::ios::binary) << bytes;
}

void TempDir::makeDir(const std::string& name) const { mkdir(path(name).c_str(), 0755); }

Bytes TempDir::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool TempDir::has(const std::string& name) const {
  struct stat st {};
  return stat(path(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> found;
  if (DIR* d = opendir(root.c_str())) {
    while (const dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") found.push_back(name);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end());
  return found;
}

namespace {

// The two ends of what the child writes to: a pipe, or a raw pseudo-terminal
// (no "\n" to "\r\n"), so that the bytes read are the bytes written.
struct OutputChannel {
  int parentEnd = -1;
  int childEnd = -1;
  std::string terminalName;

  explicit OutputChannel(bool terminal) {
    if (!terminal) {
      int ends[2];
      if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
      parentEnd = ends[0];
      childEnd = ends[1];
      return;
    }
    parentEnd = posix_openpt(O_RDWR | O_NOCTTY);
    if (parentEnd < 0 || grantpt(parentEnd) != 0 || unlockpt(parentEnd) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    terminalName = ptsname(parentEnd);
  }

  // In the child: standard output goes to the channel.
  void attachStdout() {
    if (!terminalName.empty()) {
      childEnd = open(terminalName.c_str(), O_WRONLY | O_NOCTTY);
      termios mode{};
      tcgetattr(childEnd, &mode);
      cfmakeraw(&mode);
      tcsetattr(childEnd, TCSANOW, &mode);
    }
    dup2(childEnd, STDOUT_FILENO);
    close(childEnd);
    close(parentEnd);
  }
};

}  // namespace

Outcome runInChild(const TempDir& dir, const std::function<int()>& body, Limits limits) {
  std::fflush(stdout);
  OutputChannel channel(limits.terminal);
  const pid_t child = fork();
  if (child == 0) {
    channel.attachStdout();
    if (chdir(dir.dir().c_str()) != 0) _exit(126);
    if (limits.fileSize != 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{limits.fileSize, limits.fileSize};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  if (channel.childEnd >= 0) close(channel.childEnd);
  Outcome outcome;
  char chunk[65536];
  // A pseudo-terminal reports EIO once the child has closed it.
  for (ssize_t n; (n = ::read(channel.parentEnd, chunk, sizeof chunk)) != 0;) {
    if (n > 0) outcome.out.append(chunk, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  close(channel.parentEnd);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args, Limits limits) {
  return runInChild(
      dir,
      [&args] {
        std::vector<char*> argv{const_cast<char*>(KORVAT_BINARY)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KORVAT_BINARY, argv.data());
        return 127;
      },
      limits);
}

}  // namespace korvat::test
