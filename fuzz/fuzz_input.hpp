// Shared by the fuzz targets: turning the fuzzer's bytes into texts and thresholds, and a check
// that reports what failed before aborting (libFuzzer then saves the input as a crash).
//
// A text is a stream of one-byte symbols over a small alphabet chosen by a header byte, so that
// mutations hit repeated characters, ties and long runs often; a few symbols are operators:
//   0xFF  ends the current text and starts the next one;
//   0xFE  n r  repeats the last n code points r more times (long repetitive texts from few bytes);
//   0xFD  x y z  one raw code point, (x << 16 | y << 8 | z) mod 0x110000 (surrogates included).
// The header's low three bits pick the alphabet size (1 to 8), the next two its family: ASCII
// letters; letters mixed with Latin-1, CJK and astral code points; ASCII letters at the top of
// the 7-bit range; and astral code points only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gestalt/gestalt.hpp"

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace ratiokit::fuzz {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  uint64_t u64() {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v = v << 8 | byte();
    return v;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

inline constexpr uint32_t FAMILIES[4][8] = {
    {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'},
    {'a', 0xE9, 'b', 0x4E00, 0x1F600, 'c', 0x7F, 0x80},
    {0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F},
    {0x1F600, 0x1F601, 0x10FFFF, 0x1F602, 0x20000, 0x1F603, 0x1F604, 0x1F605},
};

// Decodes up to `count` texts of at most `max_len` code points each from the rest of the input.
inline std::vector<CodePoints> decode_texts(ByteReader& in, size_t count, size_t max_len) {
  const uint8_t header = in.byte();
  const uint32_t size = 1 + (header & 7);
  const uint32_t* alphabet = FAMILIES[(header >> 3) & 3];
  std::vector<CodePoints> texts(count);
  size_t t = 0;
  while (!in.empty() && t < count) {
    CodePoints& text = texts[t];
    const uint8_t s = in.byte();
    if (s == 0xFF) {
      ++t;
    } else if (s == 0xFE) {
      const size_t n = std::min<size_t>(in.byte(), text.size());
      const size_t r = in.byte();
      // Copied first: inserting a vector's own range into it is undefined.
      const CodePoints tail(text.end() - static_cast<std::ptrdiff_t>(n), text.end());
      for (size_t k = 0; k < r && n > 0 && text.size() + n <= max_len; ++k) {
        text.insert(text.end(), tail.begin(), tail.end());
      }
    } else if (s == 0xFD) {
      uint32_t c = in.byte();
      c = c << 8 | in.byte();
      c = c << 8 | in.byte();
      if (text.size() < max_len) text.push_back(c % 0x110000);
    } else if (text.size() < max_len) {
      text.push_back(alphabet[s % size]);
    }
  }
  return texts;
}

inline bool all_ascii(Text t) {
  for (uint32_t c : t) {
    if (c >= 128) return false;
  }
  return true;
}

}  // namespace ratiokit::fuzz
