// The settings of one run, all taken from the command line.
#pragma once

#include <string>

#include "demux/damage_record.h"

namespace korvat {

struct RunOptions {
  bool copyVideoBeforeStart = false;     // -i: copy the video before the first sequence header too
  bool stripPes = true;                  // cleared by -p: keep the audio as PES packets
  DamageMode damage = DamageMode::Stop;  // -r, or -k (which wins)
  std::string program;                   // argv[0], for a command that goes on where this run stopped
  std::string inputName;
  std::string audioName;
  std::string videoName;

  bool readsStandardInput() const { return inputName == kStandardInput; }
  // A lone '-' in the input's place.
  static constexpr const char* kStandardInput = "-";
};

enum class CommandLine {
  Run,
  Usage,
  TooManyNames,
  TooFewNames,
  Help,
  Version,
  StandardInputUnnamedOutputs,  // '-' as the input, and no names to derive the outputs' from
  StandardInputAsOutput,        // '-' in an output's place
};

// Reads argv[1..argc-1]. Options start with '-' and only their second
// character counts (i, p, r, k or h, either case; anything else is ignored,
// and standard error says what),
// but for --help and --version, which are whole words. Up to three names
// follow in any order with the options: input, audio, video; a lone '-' is a
// name, that of standard input. Missing output names are derived from the
// input name.
CommandLine parseCommandLine(int argc, const char* const* argv, RunOptions& options);

void printUsage();
void printVersion();

}  // namespace korvat
