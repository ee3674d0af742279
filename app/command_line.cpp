// Reads the command line into the settings of one run, and prints the usage text.
#include <cctype>
#include <cstring>

#include "app/command_line.h"
#include "console/console.h"

namespace korvat {
namespace {

// Only the character after the dash counts, as it always has, and scripts
// may pass more; what is ignored is said on standard error.
void tellIgnored(const char* argument, bool known) {
  if (!known) {
    consoleNote("korvat: option '%s' is not known and was ignored (korvat knows -i, -p, -r, -k and -h)\n", argument);
  } else if (argument[2] != '\0') {
    consoleNote("korvat: option '%s' was taken as '-%c'; '%s' after it was ignored (give each option on its own)\n",
                argument, argument[1], argument + 2);
  }
}

// False for a request for help.
bool applyOption(const char* argument, RunOptions& options) {
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])));
  tellIgnored(argument, letter != '\0' && std::strchr("iprkh", letter) != nullptr);
  switch (letter) {
    case 'i':
      options.copyVideoBeforeStart = true;
      break;
    case 'p':
      options.stripPes = false;
      break;
    case 'r':
      if (options.damage == DamageMode::Stop) options.damage = DamageMode::Repair;
      break;
    case 'k':
      options.damage = DamageMode::KeepIntact;
      break;
    case 'h':
      return false;
    default:
      break;  // unknown options are ignored, with a word
  }
  return true;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv, RunOptions& options) {
  if (argc > 0 && argv[0] != nullptr) options.program = argv[0];
  if (argc < 2) return CommandLine::Usage;
  std::string* const names[] = {&options.inputName, &options.audioName, &options.videoName};
  int named = 0;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--help") == 0) return CommandLine::Help;
    if (std::strcmp(argument, "--version") == 0) return CommandLine::Version;
    if (argument[0] == '-' && argument[1] != '\0') {
      if (!applyOption(argument, options)) return CommandLine::Help;
      continue;
    }
    if (named == 3) return CommandLine::TooManyNames;
    *names[named++] = argument;
  }
  if (named == 0) return CommandLine::TooFewNames;
  if (options.audioName == RunOptions::kStandardInput || options.videoName == RunOptions::kStandardInput) {
    return CommandLine::StandardInputAsOutput;
  }
  if (options.readsStandardInput() && named < 3) return CommandLine::StandardInputUnnamedOutputs;
  if (named < 3) options.videoName = options.inputName + ".m2v";
  if (named < 2) options.audioName = options.inputName + ".mp2";
  return CommandLine::Run;
}

void printUsage() {
  consolePrint("KORVAT - dvb-s audio/video extractor - v0.3\n\n");
  consolePrint("korvat [-i] input [audio] [video]\n\n");
  consolePrint(" -i        : ungueltige video-pakete mitkopieren\n");
  consolePrint(" -p        : Audiostream inklusive PES-Daten kopieren\n");
  consolePrint("             (erzeugt eine MPP-Datei)\n");
  consolePrint(" -r        : beschaedigte Stellen ueberspringen\n");
  consolePrint(" -k        : wie -r, aber nur unbeschaedigte Pakete, ohne Ton-Reparatur\n");
  consolePrint("\n");
  consolePrint(" input     : DVB-s Audio/Video Datei\n");
  consolePrint("\n");
  consolePrint(" audio     : MP2-Audiodatei (optional)\n");
  consolePrint(" video     : M2V-Videodatei (optional)\n");
  consolePrint("\n");
}

void printVersion() { consolePrint("korvat %s\n", KORVAT_VERSION); }

}  // namespace korvat
