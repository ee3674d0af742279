// How a failed run tells the user what it left and how to go on.
#include "app/failed_run.h"

#include <cinttypes>
#include <filesystem>

#include "console/console.h"
#include "strip/extra_tracks.h"

namespace korvat {
namespace {

using platform::OpenFailure;

// What is said alike of a file to read and of one to make.
const char* eitherReason(OpenFailure why) {
  switch (why) {
    case OpenFailure::IsDirectory:
      return "it is a directory";
    case OpenFailure::InUse:
      return "another program holds it";
    default:
      return "the system refused it";
  }
}

const char* inputReason(OpenFailure why) {
  switch (why) {
    case OpenFailure::Missing:
      return "it does not exist";
    case OpenFailure::Denied:
      return "it is not readable";
    case OpenFailure::NotRegular:
      return "it is neither a regular file nor a pipe";
    case OpenFailure::Interrupted:
      return "the run was stopped while it waited for the pipe's writer";
    case OpenFailure::Terminal:
      return "standard input is a terminal; give the recording through a pipe ('cat rec.* | korvat - a v')";
    default:
      return eitherReason(why);
  }
}

const char* outputReason(const std::string& name, OpenFailure why) {
  switch (why) {
    case OpenFailure::Exists: {
      std::uint64_t size = 0;
      // A file left empty is what a run that failed before it wrote anything leaves.
      if (platform::findEntry(name.c_str(), size) == platform::Entry::File && size == 0) {
        return "it exists already and is empty, likely left by a run that failed; korvat never writes over a file";
      }
      return "it exists already; korvat never writes over a file";
    }
    case OpenFailure::Missing:
      return "its directory does not exist";
    case OpenFailure::Denied:
      return "its directory is not writable";
    case OpenFailure::NotRegular:
      return "it is not a regular file";
    default:
      return eitherReason(why);
  }
}

// `name` with "-n" before its extension (or at its end when it has none).
std::string numbered(const std::string& name, int n) {
  const std::size_t base = name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1;
  const std::size_t dot = name.rfind('.');
  const std::size_t at = dot != std::string::npos && dot > base ? dot : name.size();
  return name.substr(0, at) + "-" + std::to_string(n) + name.substr(at);
}

bool isFree(const std::string& name) { return takenName(name) == OpenFailure::None; }

}  // namespace

void explainInputFailure(const std::string& name, OpenFailure why) {
  consoleNote("korvat: cannot read '%s': %s\n", name.c_str(), inputReason(why));
}

void explainOutputFailure(const std::string& name, OpenFailure why) {
  consoleNote("korvat: cannot create '%s': %s\n", name.c_str(), outputReason(name, why));
}

void explainTemporaryFailure(OpenFailure why) {
  const char* reason = why == OpenFailure::Denied    ? "it is not writable"
                       : why == OpenFailure::Missing ? "it no longer exists"
                                                     : eitherReason(why);
  consoleNote("korvat: cannot create the temporary file in the current directory: %s\n", reason);
}

OpenFailure takenName(const std::string& name) {
  std::uint64_t size = 0;
  switch (platform::findEntry(name.c_str(), size)) {
    case platform::Entry::None: {
      // A file cannot be made in a directory that is not there.
      const std::string directory = std::filesystem::path(name).parent_path().string();
      const bool placed =
          directory.empty() || platform::findEntry(directory.c_str(), size) == platform::Entry::Directory;
      return placed ? OpenFailure::None : OpenFailure::Missing;
    }
    case platform::Entry::Directory:
      return OpenFailure::IsDirectory;
    default:
      return OpenFailure::Exists;
  }
}

std::string heldUpTo(const char* what, const PassStop& stop, const char* where) {
  const std::string at = " at byte " + std::to_string(stop.at) + " of " + where;
  switch (stop.why) {
    case PassStop::None:
      return std::string(what) + " to the end of " + where;
    case PassStop::DamagedHeader:
      return std::string(what) + " up to the damaged packet header" + at;
    case PassStop::ReadError:
      return std::string(what) + " up to the read error" + at;
    case PassStop::EmptyInput:
      return std::string(what) + ": none, " + where + " is empty";
    case PassStop::VideoWrite:
      return std::string(what) + " up to the failed write to the video file";
    case PassStop::AudioWrite:
      return std::string(what) + " up to the failed write to the audio file";
    case PassStop::Interrupted:
      return std::string(what) + " up to the interrupt";
  }
  return what;
}

void tellMadeFiles(const std::vector<MadeFile>& files) {
  for (const MadeFile& file : files) {
    std::uint64_t size = 0;
    if (platform::findEntry(file.name.c_str(), size) != platform::Entry::File) continue;
    if (size == 0) {
      consoleNote("korvat: this run made '%s': empty\n", file.name.c_str());
    } else {
      consoleNote("korvat: this run made '%s': %" PRIu64 " bytes%s%s\n", file.name.c_str(), size,
                  file.holds.empty() ? "" : ", ", file.holds.c_str());
    }
  }
}

std::string quoteForShell(const std::string& word) {
  const bool doubled = platform::shellQuoting() == platform::ShellQuoting::Double;
  const char* plain = doubled ? "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+.,/:=@\\"
                              : "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+.,/:=@";
  if (!word.empty() && word.find_first_not_of(plain) == std::string::npos) return word;
  if (doubled) return "\"" + word + "\"";
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void suggestRepairRun(const RunOptions& options, std::uint64_t at, const std::vector<std::uint8_t>& trackIds,
                      bool inputIsPipe) {
  // New names, so that the command works as given and nothing is removed.
  std::string audio, video;
  for (int n = 2;; ++n) {
    audio = numbered(options.audioName, n);
    video = numbered(options.videoName, n);
    bool free = isFree(audio) && isFree(video) && audio != video;
    for (const std::uint8_t id : trackIds) free = free && isFree(trackName(audio, id));
    if (free || n == 1000) break;
  }
  std::string command = quoteForShell(options.program.empty() ? "korvat" : options.program);
  if (options.copyVideoBeforeStart) command += " -i";
  if (!options.stripPes) command += " -p";
  command += " -r " + quoteForShell(options.inputName) + " " + quoteForShell(audio) + " " + quoteForShell(video);
  consoleNote("korvat: damaged packet header at byte %" PRIu64 "; -r skips damaged stretches:\nkorvat:   %s\n", at,
              command.c_str());
  // What went through a pipe has to come through one again.
  if (options.readsStandardInput()) {
    consoleNote("korvat: give it the recording on standard input again\n");
  } else if (inputIsPipe) {
    consoleNote("korvat: '%s' is a pipe: give it the recording through a pipe again\n", options.inputName.c_str());
  }
}

}  // namespace korvat
