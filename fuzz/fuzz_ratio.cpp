// The exact engines agree with each other and with the brute-force count: the automaton engine
// on any code points, the b2j engine on ASCII and over symbol buckets, and the dispatchers on
// whatever they pick.
#include "fuzz_input.hpp"
#include "ratio/ratio.hpp"
#include "reference.hpp"

using namespace ratiokit;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const std::vector<CodePoints> texts = fuzz::decode_texts(in, 2, 1500);
  const CodePoints& a = texts[0];
  const CodePoints& b = texts[1];
  const size_t total = a.size() + b.size();

  const uint64_t m = gestalt_m_with(a, build_sam(b), b);
  FUZZ_CHECK(m <= std::min(a.size(), b.size()));
  const double exact = total == 0 ? 1.0 : ratio_from_m(m, total);
  FUZZ_CHECK(gestalt_ratio_chars(a, b) == exact);
  FUZZ_CHECK(ratio_chars(a, b, DEFAULT_WORK_FACTOR) == exact);
  FUZZ_CHECK(ratio_chars(a, b, 0) == exact);
  // The b2j engine's cost grows with the coinciding pairs, up to la * lb on long runs (which is
  // why the dispatcher avoids it there); keep it to pairs it can finish quickly.
  if (fuzz::all_ascii(a) && fuzz::all_ascii(b) && a.size() * b.size() <= 250'000) {
    const double b2j = ratio_b2j_chars(a, b, ascii_counts(b).count);
    FUZZ_CHECK(b2j == exact);
  }
  // The same search over one bucket per symbol, as sequences of items get it, forced by the
  // largest work factor.
  if (a.size() * b.size() <= 250'000) {
    uint32_t top = 0;
    for (const uint32_t c : a) top = std::max(top, c);
    for (const uint32_t c : b) top = std::max(top, c);
    const size_t alphabet = std::max<size_t>(size_t{top} + 1, 129);
    FUZZ_CHECK(ratio_symbols(a, b, alphabet, UINT64_MAX) == exact);
    FUZZ_CHECK(ratio_symbols(a, b, alphabet, DEFAULT_WORK_FACTOR) == exact);
  }
  // The brute-force count costs up to la * lb * min(la, lb); keep it to small pairs.
  const size_t shorter = std::min(a.size(), b.size());
  if (a.size() * b.size() * std::max<size_t>(shorter, 1) <= 200'000) {
    FUZZ_CHECK(reference::matching_count(a, b) == m);
  }
  return 0;
}
