// The exact ratio of two texts, bit for bit difflib's SequenceMatcher(None, a, b,
// autojunk=False).ratio(), and the character histograms clustering bounds itself with.
//
// ratio_chars() picks one of four searches for difflib's longest blocks, which always agree on
// M, by what they cost for the pair at hand: the bit-parallel search (gestalt.hpp) when the
// shorter text has at most 64 code points, or whenever a short a (BITS_MAX_COLS) meets a long
// b, whose automaton would take far more memory than both texts; the dense diagonal sweep
// (gestalt.hpp) for texts of a few hundred to a few thousand code points (diag_suits); the
// bit-parallel search again where its masks cost less than an automaton would (bits_fit);
// otherwise difflib's own search over a counting-sort index of b (b2j.hpp) for pure-ASCII pairs
// where few positions coincide, and the suffix automaton (gestalt.hpp) for everything else. The
// b2j search's cost grows with the number S of coinciding index pairs, so it runs when
// S <= W * (la + lb). W is the caller's: the binding reads RK_WORK_FACTOR (default 8, about
// where the two searches cost the same on source code) once per process, with the interpreter's
// lock held, and passes it down; engines never read the environment. Each thread keeps its own
// scratch; calls on different threads share nothing writable.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "gestalt/b2j.hpp"
#include "gestalt/gestalt.hpp"

namespace ratiokit {

struct AsciiCounts {
  std::array<uint32_t, 128> count;
  uint32_t non_ascii;
};

AsciiCounts ascii_counts(Text s);

inline constexpr uint64_t DEFAULT_WORK_FACTOR = 8;

// RK_WORK_FACTOR's value: an optional '+' and decimal digits fitting 64 bits; anything else
// (or no variable) gives the default.
uint64_t parse_work_factor(const char* text);

double ratio_chars(Text a, Text b, uint64_t work_factor);

// One search forced, for tests that hold each against difflib: bits needs the shorter text within
// BITS_MAX_COLS code points, b2j pure-ASCII texts and diag both texts within DIAG_MAX_LEN (the
// caller checks; see search_applies).
enum class Search : uint8_t { bits, b2j, automaton, diag };
bool search_applies(Search search, Text a, Text b);
double ratio_by(Text a, Text b, Search search);

// The ratio of two sequences of symbols below `alphabet` (the binding's ids of hashable items,
// or byte values): the value of ratio_chars, with difflib's own search over an index of b with
// one bucket per symbol whenever few positions coincide (as for ASCII texts, with a budget
// sixteen times the work factor), since lines and tokens coincide rarely and their symbols are
// many. `alphabet` 0 means code points of any size: ratio_chars itself.
double ratio_symbols(Text a, Text b, size_t alphabet, uint64_t work_factor);

// difflib.SequenceMatcher(None, a, b).ratio(), the default autojunk=True (gestalt/b2j.hpp).
// Shorter b than AUTOJUNK_MIN_LEN give exactly ratio_symbols, dispatched with `work_factor` and
// `plain_alphabet` (symbols below it are indexed as they are, 0: code points).
double ratio_autojunk_chars(Text a, Text b, uint64_t work_factor = DEFAULT_WORK_FACTOR,
                            size_t plain_alphabet = 0);

// (code point, count) for each distinct code point, ascending.
using CharCounts = std::vector<std::pair<uint32_t, uint32_t>>;
CharCounts char_counts(Text s);

}  // namespace ratiokit
