// difflib's own longest-match search, find_longest_match with no junk, over a counting-sort
// index of b; and difflib's default autojunk=True, which leaves b's popular elements out of
// that index.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "gestalt/gestalt.hpp"

namespace ratiokit {

// The count of a and b under `rule` through b's index. Both texts must be pure ASCII;
// counts_b is b's histogram (ascii_counts). Its cost grows with the number of index pairs
// (i, j) where a[i] == b[j].
GestaltCount gestalt_count_b2j(Text a, Text b, const std::array<uint32_t, 128>& counts_b,
                               StopRule rule);

// The exact ratio by the same search; 1.0 for two empty texts.
double ratio_b2j_chars(Text a, Text b, const std::array<uint32_t, 128>& counts_b);

// difflib.SequenceMatcher(None, a, b).ratio(), the default autojunk=True: when b has at least
// AUTOJUNK_MIN_LEN elements, those occurring more than len(b) / 100 + 1 times are left out of the
// longest-match index, and each block found then grows through equal elements on both sides.
inline constexpr size_t AUTOJUNK_MIN_LEN = 200;

// difflib's M with autojunk for a non-empty a and a b of at least AUTOJUNK_MIN_LEN elements.
// With `plain_alphabet`, every symbol is below it and indexed as it is; 0: code points, ranked
// among b's distinct ones unless both texts are ASCII.
uint64_t gestalt_count_autojunk(Text a, Text b, size_t plain_alphabet = 0);

// M of two sequences of symbols below `alphabet`, by difflib's search over an index of b with
// one bucket per symbol; nullopt, without searching, when more than `max_coinciding` position
// pairs (i, j) have a[i] == b[j].
std::optional<uint64_t> gestalt_count_symbols(Text a, Text b, size_t alphabet,
                                              uint64_t max_coinciding);

}  // namespace ratiokit
