// Where the audio goes: its file, or nowhere when -p only reports.
#include "audio/audio_sink.h"

namespace korvat {

bool FileSink::write(const unsigned char* data, std::size_t n) {
  const auto size = static_cast<std::uint32_t>(n);
  if (file.write(data, size) != size) return false;
  written += n;
  return true;
}

}  // namespace korvat
