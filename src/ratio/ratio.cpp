// Exact-ratio dispatch: which longest-match search serves a pair.
#include "ratio/ratio.hpp"

#include <algorithm>
#include <optional>

namespace ratiokit {
namespace {

// How many times the work factor ratio_symbols grants the index over an alphabet of buckets.
constexpr uint64_t SYMBOL_WORK_SCALE = 16;

// From this length on, a text gets no automaton when the other text is short enough for masks.
constexpr size_t LONG_TEXT = size_t{1} << 16;

}  // namespace

AsciiCounts ascii_counts(Text s) {
  AsciiCounts out;
  out.count.fill(0);
  out.non_ascii = 0;
  for (uint32_t c : s) {
    if (c < 128) {
      ++out.count[c];
    } else {
      ++out.non_ascii;
    }
  }
  return out;
}

uint64_t parse_work_factor(const char* text) {
  if (text == nullptr) return DEFAULT_WORK_FACTOR;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return DEFAULT_WORK_FACTOR;
  uint64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return DEFAULT_WORK_FACTOR;
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return DEFAULT_WORK_FACTOR;
    value = value * 10 + digit;
  }
  return value;
}

double ratio_chars(Text a, Text b, uint64_t work_factor) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  if (la == 0 || lb == 0) return 0.0;
  const auto by_bits = [&] { return ratio_from_m(gestalt_count_bits(a, b, StopRule{}).m, la + lb); };
  const bool bits = bits_fit(la, lb);
  // One word of masks wins whatever the texts; past it, only while few rows keep runs alive.
  if (bits && std::min(la, lb) <= 64) return by_bits();
  // A short a against a long b: b's automaton would cost tens of bytes per code point of b,
  // the masks a few megabytes in all. They sweep b once per level of the recursion, which
  // stays a handful on ordinary text (it can reach the length of a on periodic text).
  if (la <= BITS_MAX_COLS && lb >= LONG_TEXT) return by_bits();
  // A few hundred to a few thousand code points a side: the dense sweep, whatever the texts.
  if (diag_suits(a, b)) return ratio_from_m(gestalt_count_diag(a, b, StopRule{}).m, la + lb);
  const AsciiCounts ca = ascii_counts(a);
  const AsciiCounts cb = ascii_counts(b);
  if (ca.non_ascii != 0 || cb.non_ascii != 0) return bits ? by_bits() : gestalt_ratio_chars(a, b);
  uint64_t coinciding = 0;
  for (size_t c = 0; c < 128; ++c) {
    coinciding += static_cast<uint64_t>(ca.count[c]) * cb.count[c];
  }
  // Code and prose coincide at about one position pair in ten to twenty; a handful of letters
  // (DNA, binary) at one in two to four, where the automaton is faster.
  if (bits && coinciding * 8 <= static_cast<uint64_t>(la) * lb) return by_bits();
  // Saturating, so that a huge factor means "always b2j" rather than wrapping around.
  const uint64_t total = la + lb;
  const uint64_t w = work_factor;
  const uint64_t budget = w > UINT64_MAX / total ? UINT64_MAX : w * total;
  if (coinciding > budget) {
    return gestalt_ratio_chars(a, b);
  }
  return ratio_b2j_chars(a, b, cb.count);
}

bool search_applies(Search search, Text a, Text b) {
  switch (search) {
    case Search::bits:
      return std::min(a.size(), b.size()) <= BITS_MAX_COLS;
    case Search::b2j: {
      const auto ascii = [](Text t) { return std::all_of(t.begin(), t.end(), [](uint32_t c) { return c < 128; }); };
      return ascii(a) && ascii(b);
    }
    case Search::automaton:
      return true;
    case Search::diag:
      return a.size() <= DIAG_MAX_LEN && b.size() <= DIAG_MAX_LEN;
  }
  return false;
}

double ratio_by(Text a, Text b, Search search) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  switch (search) {
    case Search::bits:
      return ratio_from_m(gestalt_count_bits(a, b, StopRule{}).m, la + lb);
    case Search::b2j:
      return ratio_b2j_chars(a, b, ascii_counts(b).count);
    case Search::automaton:
      return gestalt_ratio_chars(a, b);
    case Search::diag:
      return ratio_from_m(gestalt_count_diag(a, b, StopRule{}).m, la + lb);
  }
  return 0.0;
}

double ratio_symbols(Text a, Text b, size_t alphabet, uint64_t work_factor) {
  const size_t la = a.size(), lb = b.size();
  if (alphabet <= 128 || la == 0 || lb == 0) return ratio_chars(a, b, work_factor);
  // Against an automaton over many distinct symbols the index wins at far more coinciding
  // pairs than against one over text (measured on lines and tokens of the standard library).
  const uint64_t total = la + lb;
  const uint64_t factor =
      work_factor > UINT64_MAX / SYMBOL_WORK_SCALE ? UINT64_MAX : work_factor * SYMBOL_WORK_SCALE;
  const uint64_t budget = factor > UINT64_MAX / total ? UINT64_MAX : factor * total;
  if (const std::optional<uint64_t> m = gestalt_count_symbols(a, b, alphabet, budget)) {
    return ratio_from_m(*m, total);
  }
  return ratio_chars(a, b, work_factor);
}

double ratio_autojunk_chars(Text a, Text b, uint64_t work_factor, size_t plain_alphabet) {
  const size_t la = a.size(), lb = b.size();
  // Nothing is popular: the plain ratio.
  if (lb < AUTOJUNK_MIN_LEN) return ratio_symbols(a, b, plain_alphabet, work_factor);
  if (la == 0) return 0.0;
  return ratio_from_m(gestalt_count_autojunk(a, b, plain_alphabet), la + lb);
}

CharCounts char_counts(Text s) {
  CharCounts out;
  std::array<uint32_t, 128> hist{};
  for (uint32_t c : s) {
    if (c >= 128) {
      std::vector<uint32_t> sorted(s.begin(), s.end());
      std::sort(sorted.begin(), sorted.end());
      for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        out.emplace_back(sorted[i], static_cast<uint32_t>(j - i));
        i = j;
      }
      return out;
    }
    ++hist[c];
  }
  for (uint32_t c = 0; c < 128; ++c) {
    if (hist[c] != 0) out.emplace_back(c, hist[c]);
  }
  return out;
}

}  // namespace ratiokit
