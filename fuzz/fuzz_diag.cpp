// The diagonal sweep agrees with the automaton and the brute-force count, under every stopping
// rule, on pairs of any code points (byte lanes, 16-bit lanes, runs past 255).
// Input: a byte choosing the cap, then the pair.
#include "fuzz_input.hpp"
#include "gestalt/gestalt.hpp"
#include "reference.hpp"

using namespace ratiokit;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t cap_byte = in.byte();
  const std::vector<CodePoints> texts = fuzz::decode_texts(in, 2, 1500);
  const CodePoints& a = texts[0];
  const CodePoints& b = texts[1];

  const GestaltCount diag = gestalt_count_diag(a, b, StopRule{});
  FUZZ_CHECK(diag.outcome == Outcome::exact);
  const uint64_t m = gestalt_m_with(a, build_sam(b), b);
  FUZZ_CHECK(diag.m == m);
  const size_t shorter = std::min(a.size(), b.size());
  if (a.size() * b.size() * std::max<size_t>(shorter, 1) <= 400'000) {
    FUZZ_CHECK(reference::matching_count(a, b) == m);
  }
  // A needed count one either side of M, and a cap anywhere up to it.
  const uint64_t cap = cap_byte % (m + 2);
  const GestaltCount capped = gestalt_count_diag(a, b, StopRule{0, cap});
  FUZZ_CHECK((capped.outcome == Outcome::reached_cap) == (m >= cap));
  FUZZ_CHECK(capped.outcome == Outcome::reached_cap || capped.m == m);
  for (uint64_t need : {m, m + 1}) {
    const GestaltCount r = gestalt_count_diag(a, b, StopRule{need, need});
    FUZZ_CHECK(r.outcome == (m >= need ? Outcome::reached_cap : Outcome::short_of_need));
  }
  return 0;
}
