#include "demux/run.h"

#include <memory>
#include <new>
#include <string>

#include "demux/console.h"
#include "demux/demultiplex.h"
#include "file/disk_file.h"
#include "platform/platform.h"
#include "strip/strip_pes_audio.h"

namespace korvat {
namespace {

// The files of one run. Releasing them closes them, input first.
struct RunFiles {
  std::unique_ptr<DiskFile> input, video, audio;
  std::string tempName;
  bool tempInUse = false;

  void release() {
    input.reset();
    video.reset();
    audio.reset();
  }
};

std::unique_ptr<DiskFile> openFile(const std::string& name, FileMode mode, bool create, bool overwrite) {
  auto file = std::make_unique<DiskFile>(name.c_str(), mode, create, overwrite);
  if (file->error() != FileError::Ok) return nullptr;
  return file;
}

std::unique_ptr<DiskFile> createOutput(const std::string& name) {
  auto file = openFile(name, FileMode::Write, true, false);
  if (!file) consolePrint("error creating output file '%s'\n", name.c_str());
  return file;
}

// The audio goes to a temporary file in the current directory first. The
// audio file itself is made by the stripping pass; one that exists already
// would make that pass fail, so the run does not start.
bool createTemporaryAudio(const RunOptions& options, RunFiles& files) {
  if (platform::pathExists(options.audioName.c_str())) {
    consolePrint("error creating output file '%s'\n", options.audioName.c_str());
    return false;
  }
  if (!platform::makeTempFile(files.tempName)) {
    consolePrint("error creating temp file !\n");
    return false;
  }
  files.audio = openFile(files.tempName, FileMode::Write, true, true);
  if (!files.audio) {
    consolePrint("error creating temporary file '%s'\n", files.tempName.c_str());
    return false;
  }
  files.tempInUse = true;
  return true;
}

// Opens the input and creates the outputs, video before audio, so an existing
// video file stops the run before any audio file is touched.
bool setUp(const RunOptions& options, RunFiles& files) {
  files.input = openFile(options.inputName, FileMode::Read, false, false);
  if (!files.input) {
    consolePrint("error opening input stream '%s'\n", options.inputName.c_str());
    return false;
  }
  files.video = createOutput(options.videoName);
  if (!files.video) return false;
  if (options.stripPes) return createTemporaryAudio(options, files);
  files.audio = createOutput(options.audioName);
  return files.audio != nullptr;
}

int splitInto(const RunOptions& options, RunFiles& files) {
  const DemuxEnd end = setUp(options, files)
                           ? demultiplex(*files.input, *files.video, *files.audio, options)
                           : DemuxEnd::Failed;
  // The temporary file must be closed before the pass opens it again.
  files.release();
  bool audioKept = true;
  if (files.tempInUse && options.stripPes) audioKept = finishStrippedAudio(files.tempName, options.audioName);
  if (end == DemuxEnd::Interrupted || (!audioKept && platform::interruptCount() > 0)) return kExitInterrupted;
  return end == DemuxEnd::EndOfInput && audioKept ? kExitSuccess : kExitFailure;
}

// Working memory is taken up front, so running out of it is all but
// impossible; should it happen, the files are closed and the audio collected
// so far is still named, as for any failed pass.
int split(const RunOptions& options) {
  RunFiles files;
  try {
    return splitInto(options, files);
  } catch (const std::bad_alloc&) {
    consolePrint("\nout of memory\n");
    files.release();
    if (files.tempInUse) consolePrint("\ntemporary file '%s' kept\n", files.tempName.c_str());
    return kExitFailure;
  }
}

}  // namespace

int runKorvat(int argc, const char* const* argv) {
  platform::setUpProcess();
  RunOptions options;
  switch (parseCommandLine(argc, argv, options)) {
    case CommandLine::Usage:
      printUsage();
      return kExitUsage;
    case CommandLine::TooManyNames:
      consolePrint("zu viele Parameter!\n");
      return kExitUsage;
    case CommandLine::TooFewNames:
      consolePrint("zu wenig Parameter!\n");
      return kExitUsage;
    case CommandLine::Run:
      break;
  }
  return split(options);
}

}  // namespace korvat
