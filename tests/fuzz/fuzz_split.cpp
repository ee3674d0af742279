// libFuzzer target: any input is a recording. The first byte picks the mode
// (-i, -p or the default with its stripping pass, each with or without -r);
// korvat then runs for real in a private directory, and what must hold for
// any input is checked. A violation aborts, which libFuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/harness.h"

namespace {

using korvat::test::Bytes;

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

// The payload bytes the recording holds, walking its packets as korvat does.
std::uint64_t payloadBytes(const Bytes& recording) {
  std::uint64_t total = 0;
  korvat::test::forEachPacket(recording, [&](const korvat::test::PacketView& packet) {
    total += std::min<std::uint64_t>(packet.length, recording.size() - packet.offset - 8);
  });
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] % 3;  // 0: -i (with -p), 1: -p, 2: the default, stripped
  const bool skipDamage = (data[0] & 0x80) != 0;
  const Bytes recording(reinterpret_cast<const char*>(data + 1), size - 1);
  const korvat::test::TempDir dir;
  dir.write("rec", recording);
  std::vector<std::string> args = {"rec"};
  if (mode == 0) args.push_back("-i");
  if (mode != 2) args.push_back("-p");
  if (skipDamage) args.push_back("-r");
  const korvat::test::Outcome run = korvat::test::runKorvat(dir, args);

  require(run.status == 0 || run.status == 2, "exit status neither 0 nor 2");
  const Bytes video = dir.read("rec.m2v"), audio = dir.read("rec.mp2");
  // With -r korvat reads past damage that ends the walk here, and may put
  // silence under pictures that lost their sound: a picture lasts 42 ms at
  // most, whose silence takes 2.4 KiB at most (Layer I at 448 kbit/s), and
  // one frame more.
  std::uint64_t silence = 2048;
  for (std::size_t at = 0; mode == 2 && skipDamage && (at = video.find(Bytes("\0\0\1\0", 4), at)) != Bytes::npos;
       ++at) {
    silence += 2432;
  }
  require(video.size() + audio.size() <= (skipDamage ? recording.size() : payloadBytes(recording)) + silence,
          "outputs larger than the payloads");
  require(mode == 0 || korvat::test::isPrefix(Bytes("\0\0\1\xB3", 4), video) || video.empty(),
          "video does not begin with a sequence header");
  require(mode != 2 || audio.empty() ||
              (audio.size() > 1 && static_cast<unsigned char>(audio[0]) == 0xFF &&
               (static_cast<unsigned char>(audio[1]) & 0xF0) == 0xF0),
          "stripped audio does not begin with a frame sync");
  const std::string temp = dir.tempFile();
  require(temp.empty() || run.out.find(korvat::test::tempKept(temp)) != Bytes::npos,
          "temporary file left without a word");
  return 0;
}
