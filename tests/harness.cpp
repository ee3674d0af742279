#include "tests/harness.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <process.h>
#include <windows.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define getpid _getpid
#else
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "app/run.h"
#include "format/ac3.h"
#include "format/av_packet.h"

namespace korvat::test {

namespace fs = std::filesystem;

namespace {
#ifdef _WIN32
int readSome(int fd, char* to, unsigned size) { return _read(fd, to, size); }
int writeSome(int fd, const char* from, unsigned size) { return _write(fd, from, size); }
void writeAll(int fd, const std::string& text) { _write(fd, text.data(), static_cast<unsigned>(text.size())); }
#else
int readSome(int fd, char* to, unsigned size) { return static_cast<int>(::read(fd, to, size)); }
int writeSome(int fd, const char* from, unsigned size) { return static_cast<int>(::write(fd, from, size)); }
void writeAll(int fd, const std::string& text) {
  if (::write(fd, text.data(), text.size()) < 0) return;  // nothing more can be said
}
#endif
}  // namespace

const std::string kEndOfInput = "\nend of input file reached\n";
const std::string kReadWriteError = "\nerror reading/writing file\n";
const std::string kStripHeading = "\nremoving pes-data from audio-file\n";

Bytes packRecording(const Bytes& video, const Bytes& audio, const pack::PackOptions& options, Bytes* pes,
                    pack::Intact* intact) {
  Bytes out;
  pack::Sink pesSink = nullptr;
  if (pes) pesSink = [pes](const char* data, std::size_t n) { pes->append(data, n); };
  packRecording(
      video, audio, options, [&out](const char* data, std::size_t n) { out.append(data, n); }, pesSink, intact);
  return out;
}

Bytes syntheticAc3(std::size_t n, std::uint64_t seed) {
  constexpr std::size_t kFrame = 256;  // 64 kbit/s at 48 kHz
  // Version 8, 3/2 channels and LFE; the rest is noise, the CRCs hold.
  const Bytes layout("\x0B\x77\x00\x00\x08\x40\xE1", 7);
  Bytes ac3 = pack::randomBytes(n, seed ^ 0xAC3);
  for (std::size_t at = 0; at < n; at += kFrame) {
    ac3.replace(at, std::min(layout.size(), n - at), layout, 0, std::min(layout.size(), n - at));
    if (at + kFrame <= n) writeAc3Crcs(reinterpret_cast<unsigned char*>(&ac3[at]), kFrame);
  }
  return ac3;
}

void forEachPacket(const Bytes& recording, const std::function<void(const PacketView&)>& visit) {
  AVheader header;
  for (std::size_t at = 0; at + AVheader::kSize <= recording.size();) {
    std::memcpy(header.bytes, recording.data() + at, AVheader::kSize);
    if (!header.hasSync()) return;
    visit({at, header.streamId(), header.bytes[5], header.payloadLength()});
    at += AVheader::kSize + header.payloadLength();
  }
}

Bytes prefixedVideo(const Bytes& video, std::uint32_t stamp) {
  const Bytes prefix = {static_cast<char>(stamp >> 24), static_cast<char>(stamp >> 16), static_cast<char>(stamp >> 8),
                        static_cast<char>(stamp)};
  return avPacket(1, 0x10, prefix + video);
}

Bytes sequenceStart(const Bytes& rest) { return Bytes("\0\0\1\xB3", 4) + rest; }

Bytes filler(std::size_t n, char seed) {
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + (seed + i) % 26);
  return bytes;
}

bool isPrefix(const Bytes& part, const Bytes& whole) { return whole.compare(0, part.size(), part) == 0; }

const Bytes& readSample(const std::string& name) {
  static std::map<std::string, Bytes> samples;
  const auto [sample, first] = samples.try_emplace(name);
  if (first) pack::readWholeFile(KORVAT_SAMPLES_DIR "/" + name, sample->second);
  return sample->second;
}

std::string demuxLines(std::initializer_list<std::array<std::uint64_t, 6>> lines) {
  std::string out;
  for (const auto& n : lines) {
    out += std::to_string(n[0]) + " (" + std::to_string(n[1]) + " kb) audio, " + std::to_string(n[2]) + " (" +
           std::to_string(n[3]) + " kb) video, " + std::to_string(n[4]) + " (" + std::to_string(n[5]) +
           " kb) skipped\r";
  }
  return out;
}

std::string stripLines(std::initializer_list<std::array<std::uint64_t, 4>> lines) {
  std::string out;
  for (const auto& n : lines) {
    out += std::to_string(n[0]) + " (" + std::to_string(n[1]) + " kb) audio-packets, " + std::to_string(n[2]) + " (" +
           std::to_string(n[3]) + " kb) skipped packets\r";
  }
  return out;
}

std::string tempKept(const std::string& name) {
  return "\ntemporary file '" + std::string(kCurrentDirPrefix) + name + "' kept\n";
}

std::string summary(std::uint64_t stretches, std::uint64_t bytes) {
  return "skipped " + std::to_string(stretches) + " damaged stretches of " + std::to_string(bytes) + " bytes in all\n";
}

namespace {

// The test directories of this process, removed even when a run without end
// makes it give up (see abandonTest).
std::mutex liveDirsLock;
std::set<std::string> liveDirs;

constexpr const char* kDirPrefix = "korvat-test-";

void removeDir(const std::string& dir) {
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, ignored);
  fs::remove_all(dir, ignored);
}

bool processAlive(long pid) {
#ifdef _WIN32
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
#else
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

// A test process that was killed (a time limit, a crash) leaves its
// directories behind: they are named for their process, and the next test
// process removes those whose owner is gone.
bool sweepStaleDirs() {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::temp_directory_path(error), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kDirPrefix, 0) != 0) continue;
    const long owner = std::strtol(name.c_str() + std::strlen(kDirPrefix), nullptr, 10);
    if (owner > 0 && !processAlive(owner)) removeDir(entry.path().string());
  }
  return true;
}

// A test process started with standard descriptors closed or SIGCHLD ignored
// still captures and waits for what it runs; and files are bounded too
// (where the OS can), for a run that writes without end.
bool prepareProcess() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) return false;
  }
  std::signal(SIGCHLD, SIG_DFL);
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kFileLimit)) {
    limit.rlim_cur = kFileLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
#endif
  return true;
}

const bool swept = sweepStaleDirs() && prepareProcess();

}  // namespace

TempDir::TempDir() {
  std::random_device entropy;
  const std::string owned = kDirPrefix + std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
    const fs::path candidate = fs::absolute(fs::temp_directory_path()) / (owned + std::to_string(entropy()));
    if (fs::create_directory(candidate)) root = candidate.generic_string();
  }
  if (root.empty() || !swept) throw std::runtime_error("no temporary directory");
  const std::lock_guard<std::mutex> hold(liveDirsLock);
  liveDirs.insert(root);
}

TempDir::~TempDir() {
  const std::lock_guard<std::mutex> hold(liveDirsLock);
  liveDirs.erase(root);
  removeDir(root);
}

void TempDir::write(const std::string& name, const Bytes& bytes) const {
  std::FILE* file = std::fopen(path(name).c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + name);
  }
}

Bytes TempDir::read(const std::string& name) const {
  Bytes bytes;
  pack::readWholeFile(path(name), bytes);
  return bytes;
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
    found.push_back(entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string TempDir::tempFile() const {
  for (const std::string& name : names()) {
    if (name.rfind("kvt", 0) == 0) return name;
  }
  return "";
}

namespace {

// Above the standard descriptors, and kept from the children.
int duplicate(int fd) {
#ifdef _WIN32
  return dup(fd);
#else
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
#endif
}

const int kConsoleForReports = duplicate(2);  // this process's standard error, wherever a run sends it

}  // namespace

void abandonTest(const std::string& why) {
  writeAll(kConsoleForReports, "\n" + why + ": the test is given up\n");
  const std::lock_guard<std::mutex> hold(liveDirsLock);
  for (const std::string& dir : liveDirs) removeDir(dir);
  std::_Exit(3);
}

namespace {

// Sends one of this process's standard descriptors through a pipe to a
// thread that keeps what comes: no file holds it, and a run that prints
// without end is given up once it has printed kConsoleLimit bytes.
class Capture {
 public:
  explicit Capture(int fd) : fd(fd), saved(duplicate(fd)) {
    int ends[2];
#ifdef _WIN32
    if (_pipe(ends, 65536, _O_BINARY) != 0) throw std::runtime_error("no pipe");
    _setmode(ends[1], _O_TEXT);  // as the console korvat's text is meant for
#else
    if (pipe(ends) != 0) throw std::runtime_error("no pipe");
#endif
    std::fflush(nullptr);
    dup2(ends[1], fd);
    close(ends[1]);
    reader = std::thread([this, from = ends[0]] { keep(from); });
  }
  ~Capture() {
    if (reader.joinable()) end();
  }

  Bytes end() {
    std::fflush(nullptr);
    dup2(saved, fd);  // closes the pipe's last writing end: the reader sees its end
    close(saved);
    reader.join();
#ifdef _WIN32
    Bytes plain;  // text mode's "\r\n" back to "\n"; a progress line's bare "\r" stays
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    }
    return plain;
#else
    return text;
#endif
  }

 private:
  void keep(int from) {
    char chunk[65536];
    for (int n; (n = readSome(from, chunk, sizeof chunk)) > 0;) {
      if (text.size() + static_cast<std::size_t>(n) > kConsoleLimit) {
        abandonTest("korvat printed more than " + std::to_string(kConsoleLimit >> 20) + " MiB to descriptor " +
                    std::to_string(fd));
      }
      text.append(chunk, static_cast<std::size_t>(n));
    }
    close(from);
  }

  int fd;
  int saved;
  std::thread reader;
  Bytes text;
};

}  // namespace

namespace {

// Puts a pipe on this process's standard input and writes `bytes` into it
// from a thread. Once korvat has let go of its end, the pipe's last reading
// end closes with the feed, so a writer that korvat stopped reading from
// fails its write and ends.
class Feed {
 public:
  Feed(const Bytes& bytes, bool stalls) : saved(duplicate(0)) {
    int ends[2];
#ifdef _WIN32
    if (_pipe(ends, 65536, _O_BINARY) != 0) throw std::runtime_error("no pipe");
#else
    if (pipe(ends) != 0) throw std::runtime_error("no pipe");
    std::signal(SIGPIPE, SIG_IGN);  // a write korvat no longer reads fails, and the feed ends
#endif
    dup2(ends[0], 0);
    close(ends[0]);
    writer = std::thread([&bytes, to = ends[1], stalls, ended = runEnded.get_future()] {
      std::mt19937 pieces(27);
      for (std::size_t at = 0; at < bytes.size();) {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(bytes.size() - at, 1 + pieces() % 70000));
        const int put = writeSome(to, bytes.data() + at, n);
        if (put <= 0) break;
        at += static_cast<std::size_t>(put);
      }
      if (stalls) ended.wait();
      close(to);
    });
  }
  ~Feed() {
    runEnded.set_value();
    dup2(saved, 0);
    close(saved);
    writer.join();
  }

 private:
  int saved;
  std::promise<void> runEnded;
  std::thread writer;
};

}  // namespace

Outcome runKorvatOnPipe(const TempDir& dir, const std::vector<std::string>& args, const Bytes& input,
                        bool writerStalls) {
  Feed feed(input, writerStalls);
  return runKorvat(dir, args);
}

Outcome runKorvat(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"korvat"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Capture out(1), err(2);
  const fs::path home = fs::current_path();
  fs::current_path(dir.dir());
  // A run that outlasts kRunSeconds is given up.
  std::promise<void> ended;
  std::thread watch([over = ended.get_future()] {
    if (over.wait_for(std::chrono::seconds(kRunSeconds)) == std::future_status::timeout) {
      abandonTest("korvat ran for more than " + std::to_string(kRunSeconds) + " s");
    }
  });
  Outcome outcome;
  outcome.status = korvat::runKorvat(static_cast<int>(argv.size()), argv.data());
  ended.set_value();
  watch.join();
  // korvat counts interrupts while it runs; the test process stops on them again.
  for (const int signal : {SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
  fs::current_path(home);
  outcome.out = out.end();
  outcome.err = err.end();
  return outcome;
}

}  // namespace korvat::test
