// One run: opens the files, runs the two passes, closes the files and says how it went.
#include "app/run.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/failed_run.h"
#include "console/console.h"
#include "demux/demultiplex.h"
#include "file/disk_file.h"
#include "platform/platform.h"
#include "strip/strip_pes_audio.h"

namespace korvat {
namespace {

// The files of one run. In the default mode the audio is collected in the
// temporary file and stripped into the audio file after the loop.
struct RunFiles {
  std::unique_ptr<DiskFile> input, video, audio, temp;
  std::string tempName;
  // What a run that fails names: the files it made, what each holds, and
  // why the first pass stopped.
  std::vector<MadeFile> made;
  PassStop loopStop;
  std::vector<std::uint8_t> trackIds;
  bool inputIsPipe = false;

  void holds(const std::string& name, const std::string& what) {
    for (MadeFile& file : made) {
      if (file.name == name) file.holds = what;
    }
  }

  DiskFile& loopAudio(const RunOptions& options) { return options.stripPes ? *temp : *audio; }

  // Closes every file still open, input first, without checking: for ways
  // out on which an error has been reported already.
  void closeAll() {
    input.reset();
    video.reset();
    audio.reset();
    temp.reset();
  }
};

std::unique_ptr<DiskFile> createOutput(const std::string& name, RunFiles& files) {
  auto file = std::make_unique<DiskFile>(name, Disposition::CreateNew);
  if (file->error() == FileError::Ok) {
    files.made.push_back({name, ""});
    return file;
  }
  consolePrint("error creating output file '%s'\n", name.c_str());
  explainOutputFailure(name, file->openFailure());
  return nullptr;
}

// "v.m2v" and "./v.m2v" are one file.
bool namesOneFile(const std::string& a, const std::string& b) {
  std::error_code failedA, failedB;
  const std::filesystem::path pathA = std::filesystem::absolute(a, failedA).lexically_normal();
  const std::filesystem::path pathB = std::filesystem::absolute(b, failedB).lexically_normal();
  return a == b || (!failedA && !failedB && pathA == pathB);
}

// An output whose name is taken, or whose directory is missing, stops the
// run before any file is made, so a failed run leaves no empty file that
// would stop the next. What changes after this look the create still finds.
bool outputNamesFree(const RunOptions& options) {
  for (const std::string* name : {&options.videoName, &options.audioName}) {
    const platform::OpenFailure taken = takenName(*name);
    if (taken == platform::OpenFailure::None) continue;
    consolePrint("error creating output file '%s'\n", name->c_str());
    explainOutputFailure(*name, taken);
    return false;
  }
  // The audio file would find its name taken by the video file just made.
  if (!namesOneFile(options.audioName, options.videoName)) return true;
  consolePrint("error creating output file '%s'\n", options.audioName.c_str());
  consoleNote("korvat: cannot create '%s': it is the video file's name too\n", options.audioName.c_str());
  return false;
}

// The audio goes to a temporary file in the current directory first.
bool createTemporaryAudio(RunFiles& files) {
  platform::OpenFailure why = platform::OpenFailure::None;
  files.temp = DiskFile::createTemporary(files.tempName, why);
  if (!files.tempName.empty()) files.made.push_back({files.tempName, ""});
  if (files.temp) return true;
  if (files.tempName.empty()) {
    consolePrint("error creating temp file !\n");
  } else {
    consolePrint("error creating temporary file '%s'\n", files.tempName.c_str());
  }
  explainTemporaryFailure(why);
  return false;
}

// The outputs were made a moment ago and hold nothing: a run that stops
// before it reads leaves no empty file that would stop the next.
void removeEmptyOutputs(const RunOptions& options, RunFiles& files) {
  files.video.reset();
  files.audio.reset();
  for (const std::string* name : {&options.videoName, &options.audioName}) {
    if (!platform::deleteFile(name->c_str())) continue;
    files.made.erase(std::remove_if(files.made.begin(), files.made.end(),
                                    [name](const MadeFile& made) { return made.name == *name; }),
                     files.made.end());
  }
}

// Opens the input and creates the outputs, video before audio, once neither
// name is taken; the audio file is made before the temporary file, so that a
// run that could not write its audio stops before it reads anything.
bool setUp(const RunOptions& options, RunFiles& files) {
  if (options.readsStandardInput()) {
    files.input = DiskFile::standardInput();
  } else {
    files.input = std::make_unique<DiskFile>(options.inputName, Disposition::OpenExisting);
  }
  if (files.input->error() != FileError::Ok) {
    consolePrint("error opening input stream '%s'\n", options.inputName.c_str());
    explainInputFailure(options.inputName, files.input->openFailure());
    return false;
  }
  files.inputIsPipe = !files.input->seekable();
  if (!outputNamesFree(options)) return false;
  files.video = createOutput(options.videoName, files);
  if (!files.video) return false;
  files.audio = createOutput(options.audioName, files);
  if (!files.audio) return false;
  if (!options.stripPes || createTemporaryAudio(files)) return true;
  removeEmptyOutputs(options, files);
  return false;
}

// A failure that the OS reports only when an output is closed is a failed
// write to it.
bool closeOutput(DiskFile& output, const char* failure) {
  if (output.close()) return true;
  consolePrint("%s", failure);
  consolePrint("\nerror reading/writing file\n");
  return false;
}

int exitStatus(PassEnd loop, bool outputsClosed, PassEnd pass) {
  if (loop == PassEnd::Interrupted || pass == PassEnd::Interrupted) return kExitInterrupted;
  const bool split = loop == PassEnd::Completed && outputsClosed && pass == PassEnd::Completed;
  return split ? kExitSuccess : kExitFailure;
}

// What a muxer's audio offset wants, on standard error: the time stamp of the
// first audio frame less that of the first picture. Never a guess.
// `of` names another track's file; the audio file's line names none.
void printAudioDelay(const RunOptions& options, const TimeStamp& picture, const TimeStamp& frame,
                     const std::string& of = "") {
  std::string unknown;
  if (options.copyVideoBeforeStart) {
    unknown = kVideoCopiedBeforeStart;
  } else if (!options.stripPes) {
    unknown = "-p keeps the audio in PES packets";
  } else if (!picture.known) {
    unknown = std::string("first picture: ") + picture.missing;
  } else if (!frame.known) {
    unknown = frame.missing;
  }
  if (unknown.empty()) {
    consoleNote("audio delay%s: %+" PRId64 " ms\n", of.c_str(), millisecondsBetween(picture.ticks, frame.ticks));
  } else {
    consoleNote("audio delay%s: unknown (%s)\n", of.c_str(), unknown.c_str());
  }
}

// With -r the audio follows the video through the damage; -k keeps the
// intact packets exactly.
StripOptions stripOptionsAfter(const RunOptions& options, DemuxResult& loop) {
  StripOptions strip;
  strip.interruptsSeen = loop.interruptsSeen;
  strip.audioName = options.audioName;
  strip.damage = options.damage;
  strip.record = std::move(loop.damage);
  return strip;
}

// Where an output of the first pass ends: at its own failed write, or where the loop stopped.
PassStop ownStop(const DiskFile& output, PassStop::Why failedWrite, const PassStop& loopStop) {
  return output.error() == FileError::ShortWrite ? PassStop{failedWrite, 0} : loopStop;
}

// What the first pass leaves for the audio to be finished with.
struct AfterLoop {
  DemuxResult loop;
  bool wroteVideo = false;
  bool videoClosed = false;
  PassStop audioStop;  // where the audio the loop collected ends
};

// -p: the audio file holds the PES packets as they came.
int finishWithPesKept(const RunOptions& options, RunFiles& files, AfterLoop& after) {
  const bool wroteAudio = files.audio->tell() > 0;
  const bool audioClosed = closeOutput(*files.audio, "\nerror writing to audio-file\n");
  const bool outputsClosed = audioClosed && after.videoClosed;
  files.holds(options.audioName, heldUpTo("the audio in PES packets",
                                          audioClosed ? after.audioStop : PassStop{PassStop::AudioWrite}, "the input"));
  const StripOptions stripOptions = stripOptionsAfter(options, after.loop);
  if (outputsClosed && wroteAudio && options.damage == DamageMode::Repair && after.loop.end == PassEnd::Completed) {
    reportAudioParting(options.audioName, stripOptions);
  }
  if (after.wroteVideo && wroteAudio) {
    printAudioDelay(options, after.loop.firstPicture, TimeStamp::unknown("no frame sought"));
  }
  return exitStatus(after.loop.end, outputsClosed, PassEnd::Completed);
}

// The default mode: the stripping pass turns the collected PES packets into
// the audio file and a file for each further track.
int finishWithStripping(const RunOptions& options, RunFiles& files, AfterLoop& after) {
  files.holds(files.tempName, heldUpTo("the audio in PES packets", after.audioStop, "the input"));
  const StripResult pass =
      finishStrippedAudio(files.temp, files.tempName, *files.audio, stripOptionsAfter(options, after.loop));
  files.audio.reset();
  // The audio and its tracks go as far as the first pass went, or as far as
  // the second got through the temporary file.
  const bool passStopped = pass.stop.why != PassStop::None;
  const PassStop& strippedStop = passStopped ? pass.stop : after.audioStop;
  const char* audioWhere = passStopped ? "the temporary file" : "the input";
  files.holds(options.audioName, heldUpTo("the audio", strippedStop, audioWhere));
  for (const ExtraTracks::Track& track : pass.madeTracks) {
    char what[32];
    std::snprintf(what, sizeof what, "audio track %02x", track.id);
    files.made.push_back({track.name, track.failed ? std::string(what) + " up to a failed write to it"
                                                   : heldUpTo(what, strippedStop, audioWhere)});
    files.trackIds.push_back(track.id);
  }
  const TimeStamp& picture = after.loop.firstPicture;
  if (after.wroteVideo && pass.wroteAudio) printAudioDelay(options, picture, pass.firstFrame);
  for (const ExtraTracks::Track& track : pass.tracks) {
    consoleNote("audio track %02x in '%s'\n", track.id, track.name.c_str());
    if (after.wroteVideo) printAudioDelay(options, picture, track.firstFrame, " of '" + track.name + "'");
  }
  const int status = exitStatus(after.loop.end, after.videoClosed, pass.end);
  return status == kExitSuccess && pass.tracksFailed ? kExitFailure : status;
}

int runPasses(const RunOptions& options, RunFiles& files) {
  // Waiting for a pipe's writer ends when the user asks the run to stop.
  if (!setUp(options, files)) return platform::interruptCount() > 0 ? kExitInterrupted : kExitFailure;
  const DemuxOptions demuxOptions{options.copyVideoBeforeStart, options.damage};
  AfterLoop after;
  after.loop = demultiplex(*files.input, *files.video, files.loopAudio(options), demuxOptions);
  files.input.reset();
  files.loopStop = after.loop.stop;
  // Both outputs may have met a full disk; the loop names the first it noticed,
  // but each file's own failure is where that file ends.
  const PassStop videoStop = ownStop(*files.video, PassStop::VideoWrite, after.loop.stop);
  after.audioStop = ownStop(files.loopAudio(options), PassStop::AudioWrite, after.loop.stop);
  after.wroteVideo = files.video->tell() > 0;
  after.videoClosed = closeOutput(*files.video, "\nerror writing to video-file\n");
  files.holds(options.videoName,
              heldUpTo("the video", after.videoClosed ? videoStop : PassStop{PassStop::VideoWrite}, "the input"));
  return options.stripPes ? finishWithStripping(options, files, after) : finishWithPesKept(options, files, after);
}

// Working memory is taken up front, so running out of it is all but
// impossible; should it happen, the files are closed and the audio collected
// so far is still named, as for any failed pass.
int splitRecording(const RunOptions& options) {
  RunFiles files;
  int status = kExitFailure;
  try {
    status = runPasses(options, files);
  } catch (const std::bad_alloc&) {
    consolePrint("\nout of memory\n");
    const bool tempKept = files.temp != nullptr;
    files.closeAll();
    if (tempKept) consolePrint("\ntemporary file '%s' kept\n", files.tempName.c_str());
  }
  if (status == kExitSuccess) return status;
  // The files are closed, so what the OS says of their sizes is what they hold.
  files.closeAll();
  if (files.loopStop.why == PassStop::EmptyInput) {
    const std::string input = options.readsStandardInput() ? "standard input" : "'" + options.inputName + "'";
    consoleNote("korvat: %s held no byte: there is nothing to split\n", input.c_str());
  }
  tellMadeFiles(files.made);
  if (files.loopStop.why == PassStop::DamagedHeader)
    suggestRepairRun(options, files.loopStop.at, files.trackIds, files.inputIsPipe);
  return status;
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
    case CommandLine::Help:
      printUsage();
      return kExitSuccess;
    case CommandLine::Version:
      printVersion();
      return kExitSuccess;
    case CommandLine::StandardInputUnnamedOutputs:
      consoleNote(
          "korvat: with the recording on standard input ('-'), name the audio and video files too:"
          " korvat [options] - audio video\n");
      return kExitUsage;
    case CommandLine::StandardInputAsOutput:
      consoleNote(
          "korvat: '-' names standard input, where only the recording comes from;"
          " give the audio and video files names of their own\n");
      return kExitUsage;
    case CommandLine::Run:
      break;
  }
  return splitRecording(options);
}

}  // namespace korvat
