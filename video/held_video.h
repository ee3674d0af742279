// The video bytes the clean cut holds until it knows whether they are written,
// in one buffer that bytes can be read straight into. Bytes that went to the
// file as they came pass it by.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace korvat {

class HeldVideo {
 public:
  // Where the next n bytes go: a reader that fills it spares append() a copy.
  unsigned char* roomFor(std::size_t n) {
    if (first + size + n > room) makeRoom(n);
    return at(end());
  }
  void append(const unsigned char* data, std::size_t n) {
    unsigned char* to = roomFor(n);
    if (data != to) std::memcpy(to, data, n);
    size += n;
  }
  // n bytes went by without being held: nothing is held now.
  void passed(std::uint64_t n) { begin += n; }
  // Done with the bytes before `to`.
  void forget(std::uint64_t to) {
    const auto n = static_cast<std::size_t>(to - begin);
    first += n;
    size -= n;
    begin = to;
  }
  // The stream's bytes from start() to end() are held.
  std::uint64_t start() const { return begin; }
  std::uint64_t end() const { return begin + size; }
  std::size_t heldBytes() const { return size; }
  const unsigned char* at(std::uint64_t position) const { return buffer.get() + first + (position - begin); }
  unsigned char* at(std::uint64_t position) { return buffer.get() + first + (position - begin); }

 private:
  // Room for the largest pictures of standard definition from the start.
  static constexpr std::size_t kFirstRoom = 1 << 20;

  // What was written or dropped leaves room at the front: used again before
  // the buffer grows, so that bytes move once for many units.
  void makeRoom(std::size_t n) {
    if (size + n > room) {
      room = std::max({size + n, 2 * room, kFirstRoom});
      std::unique_ptr<unsigned char[]> larger(new unsigned char[room]);
      if (size > 0) std::memcpy(larger.get(), at(begin), size);
      buffer = std::move(larger);
    } else {
      std::memmove(buffer.get(), at(begin), size);
    }
    first = 0;
  }

  std::unique_ptr<unsigned char[]> buffer;
  std::size_t first = 0, size = 0, room = 0;  // buffer[first, first + size) hold the bytes from begin on
  std::uint64_t begin = 0;
};

}  // namespace korvat
