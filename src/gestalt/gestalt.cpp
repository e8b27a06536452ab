// The Ratcliff/Obershelp recursion over automaton-found blocks. Tested by
// tests/cpp/gestalt_test.cpp and, against difflib itself, by tests/test_ratio.py.
#include "gestalt/gestalt.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gestalt/internal.hpp"
#include "gestalt/recursion.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit {

void return_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

size_t scratch_bytes(const Sam& sam) {
  return scratch_bytes_of(sam.edges, sam.scan, sam.prefix_state, sam.end_positions, sam.states,
                          sam.sorted_positions,
                          sam.end_index.blocks, sam.end_index.zeros, sam.heavy_paths,
                          sam.path_slot);
}

size_t scratch_bytes(const MatchStats& ms) { return scratch_bytes_of(ms.state, ms.len); }
size_t scratch_bytes(const SkipIndex& index) { return scratch_bytes(index.tree); }

thread_local ScratchSlot<MatchStats> MS_BUF;
thread_local ScratchSlot<std::vector<uint32_t>> CAP_BUF;
thread_local ScratchSlot<SkipIndex> SKIP_BUF;
thread_local ScratchSlot<std::vector<Window>> WINDOW_BUF;
// The automaton of a one-off ratio, kept per thread so that its arrays are reused.
thread_local ScratchSlot<Sam> SAM_BUF;

GestaltCount gestalt_count_sam(Text a, Text b, const Sam& sam_b, const MatchStats& ms,
                               StopRule rule) {
  Borrow<std::vector<uint32_t>> cap(CAP_BUF);
  Borrow<SkipIndex> skip(SKIP_BUF);
  cap->assign(a.size(), NO_CHAR);
  skip->clear();
  return recurse(a.size(), b.size(), rule, [&](const WindowBounds& w) {
    return longest_in(a, b, sam_b, ms, *cap, w.alo, w.ahi, w.blo, w.bhi, &*skip);
  });
}

uint64_t gestalt_m_with(Text a, const Sam& sam, Text b) {
  Borrow<MatchStats> ms(MS_BUF);
  matching_stats_into(a, sam, *ms);
  return gestalt_count_sam(a, b, sam, *ms, StopRule{}).m;
}

double gestalt_ratio_chars(Text a, Text b) {
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  Borrow<Sam> sam(SAM_BUF);
  build_sam_into(b, *sam);
  const uint64_t m = a.empty() ? 0 : gestalt_m_with(a, *sam, b);
  return ratio_from_m(m, total);
}

}  // namespace ratiokit
