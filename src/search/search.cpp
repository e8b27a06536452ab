// extract and the ratio joins. Tested against brute force by tests/test_search.py and
// tests/cpp/search_test.cpp.
#include "search/search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <mutex>
#include <numeric>
#include <optional>
#include <type_traits>

#include "cluster/cluster.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit {
namespace {

// Best first, then lower index.
bool ranks_before(const Scored& x, const Scored& y) {
  return x.score != y.score ? x.score > y.score : x.index < y.index;
}

// The query's histogram: dense for ASCII, a sorted list for the rest.
struct QueryCounts {
  std::array<uint32_t, 128> ascii{};
  CharCounts wide;
};

QueryCounts query_counts(Text query) {
  QueryCounts q;
  for (const auto& [c, k] : char_counts(query)) {
    if (c < 128) {
      q.ascii[c] = k;
    } else {
      q.wide.emplace_back(c, k);
    }
  }
  return q;
}

// One scan's working storage.
struct ScanScratch {
  std::array<uint32_t, 128> used{};
  std::vector<uint32_t> wide;
  std::vector<uint64_t> row;
  CodePoints widened;
  std::vector<uint64_t> need_by_length;
};

// Calls f with t as a span of its own code-point width.
template <class F>
decltype(auto) visit_text(const PackedText& t, F&& f) {
  switch (t.width) {
    case 1:
      return f(std::span<const uint8_t>(static_cast<const uint8_t*>(t.data), t.size));
    case 2:
      return f(std::span<const uint16_t>(static_cast<const uint16_t*>(t.data), t.size));
    default:
      return f(std::span<const uint32_t>(static_cast<const uint32_t*>(t.data), t.size));
  }
}

// The size of the multiset intersection of s and the query (the count behind quick_ratio), or
// some value below `need` once too many characters of s found no partner (need <= len s).
// Choices are met once per query, so walking s beats building its histogram first.
template <class Char>
uint64_t common_count(const QueryCounts& q, std::span<const Char> s, uint64_t need,
                      ScanScratch& sc) {
  const Char* text = s.data();
  const size_t n = s.size();
  const size_t spare = n - need;  // unmatched characters s can afford
  uint32_t* used = sc.used.data();
  const uint32_t* avail = q.ascii.data();
  size_t misses = 0, wide = 0, k = 0;
  for (; k < n && misses <= spare; ++k) {
    const uint32_t c = text[k];
    if (c < 128) {
      const uint32_t u = used[c];
      const uint32_t take = u < avail[c] ? 1u : 0u;
      used[c] = u + take;
      misses += 1 - take;
    } else {
      ++wide;
    }
  }
  std::fill(sc.used.begin(), sc.used.end(), 0u);  // a few wide stores, not one per character
  uint64_t common = k - misses - wide;
  if (misses > spare || wide == 0 || q.wide.empty()) return common;
  sc.wide.clear();
  for (size_t r = 0; r < n; ++r) {
    if (text[r] >= 128) sc.wide.push_back(text[r]);
  }
  std::sort(sc.wide.begin(), sc.wide.end());
  size_t w = 0, j = 0;
  while (w < sc.wide.size() && j < q.wide.size()) {
    const uint32_t c = sc.wide[w];
    if (c < q.wide[j].first) {
      ++w;
    } else if (c > q.wide[j].first) {
      ++j;
    } else {
      size_t run = 0;
      while (w < sc.wide.size() && sc.wide[w] == c) ++w, ++run;
      common += std::min<uint64_t>(run, q.wide[j].second);
      ++j;
    }
  }
  return common;
}

// The same from the choice's counts (character | count << 8, see ChoiceSet): a step per
// distinct character.
uint64_t common_count(const QueryCounts& q, const uint16_t* first, const uint16_t* last, size_t n,
                      uint64_t need) {
  const size_t spare = n - need;
  size_t misses = 0;
  const uint32_t* avail = q.ascii.data();
  for (; first != last; ++first) {
    const uint32_t have = avail[*first & 0x7F], k = *first >> 8;
    misses += k > have ? k - have : 0;
    if (misses > spare) return 0;
  }
  return n - misses;
}

// What a query brings to every choice.
struct QueryState {
  Text query;
  QueryCounts counts;
  LcsMasks masks;
  Sam sam;
  // Popular characters of a long query change the ratio itself; below that length the
  // autojunk ratio is the plain one.
  bool junk;

  QueryState(Text q, bool autojunk)
      : query(q),
        counts(query_counts(q)),
        sam(build_sam(q)),
        junk(autojunk && q.size() >= AUTOJUNK_MIN_LEN) {
    // Only choices short enough for the LCS bound to pay use the masks (see scan_choices).
    if (q.size() <= LCS_MAX_CELLS) masks.build(q);
  }
};

void raise_to(std::atomic<double>& floor, double value) {
  double seen = floor.load(std::memory_order_relaxed);
  while (seen < value && !floor.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Keeps the `limit` best of `found` (and, with keep_ties, everything tied with the last of
// them) and returns the score of the limit-th best.
double keep_best(std::vector<Scored>& found, size_t limit, bool keep_ties) {
  std::nth_element(found.begin(), found.begin() + static_cast<ptrdiff_t>(limit - 1), found.end(),
                   ranks_before);
  const double last = found[limit - 1].score;
  if (keep_ties) {
    found.erase(std::partition(found.begin(), found.end(),
                               [&](const Scored& s) { return s.score >= last; }),
                found.end());
  } else {
    found.resize(limit);
  }
  return last;
}

}  // namespace

namespace {

// Choices holding fewer code points than this are scanned on the calling thread: handing
// chunks to the pool costs more than it saves.
constexpr size_t SPREAD_MIN_UNITS = size_t{1} << 20;

// Scans choices [begin, end) into `found`, which ends with at most `limit` of them (plus ties
// with keep_ties) when bounded. The threshold is the larger of what the scan found so far and
// `floor`, which other scans of the same query raise.
void scan_choices(const QueryState& qs, const ChoiceSet& cs, size_t begin, size_t end,
                  size_t limit, bool bounded, double cutoff, bool keep_ties,
                  std::atomic<double>& floor, std::vector<Scored>& found) {
  const CancelCheck check;
  ScanScratch scratch;
  ScanScratch& sc = scratch;
  const bool counted = !cs.starts.empty();
  const size_t lq = qs.query.size();
  size_t prune_at = 2 * limit + 16;
  double local = cutoff;
  double cached_for = -1.0;
  std::vector<uint64_t>& need_by_length = sc.need_by_length;
  for (size_t k = begin; k < end; ++k) {
    check();
    const PackedText& t = cs.texts[k];
    const double threshold = std::max(local, floor.load(std::memory_order_relaxed));
    if (threshold != cached_for) {
      cached_for = threshold;
      need_by_length.clear();
    }
    // The count needed depends on the threshold and the choice's length only.
    const size_t ls = t.size;
    if (ls >= need_by_length.size()) need_by_length.resize(ls + 1, UINT64_MAX);
    uint64_t& need_slot = need_by_length[ls];
    if (need_slot == UINT64_MAX) need_slot = need_count(threshold, ls + lq);
    const uint64_t need = need_slot;
    if (std::min(ls, lq) < need) continue;
    if (need > 0) {
      // The LCS bound grows with la * lb, the test it could spare with la + lb.
      const bool lcs_pays = qs.masks.words > 0 && ls * lq <= LCS_MAX_CELLS;
      // Counting a choice's characters on the fly costs more than the LCS bound of a query of
      // one or two words, which is tighter: such queries go to it at once.
      if (counted && cs.starts[k] != cs.starts[k + 1]) {
        if (common_count(qs.counts, cs.counts.data() + cs.starts[k],
                         cs.counts.data() + cs.starts[k + 1], ls, need) < need) {
          continue;
        }
      } else if ((qs.masks.words > 2 || !lcs_pays) &&
                 visit_text(t, [&](auto s) { return common_count(qs.counts, s, need, sc); }) <
                     need) {
        continue;
      }
      if (lcs_pays &&
          visit_text(t, [&](auto s) { return lcs_length(qs.masks, s, sc.row, need); }) < need) {
        continue;
      }
    }
    const Text s = visit_text(t, [&](auto chars) -> Text {
      using Char = typename decltype(chars)::element_type;
      if constexpr (std::is_same_v<Char, const uint32_t>) {
        return chars;
      } else {
        sc.widened.assign(chars.begin(), chars.end());
        return sc.widened;
      }
    });
    std::optional<double> score;
    if (qs.junk) {
      const double r = ratio_autojunk_chars(s, qs.query);
      if (r >= threshold) score = r;
    } else {
      score = gestalt_ratio_at_least(s, qs.query, qs.sam, threshold);
    }
    if (!score) continue;
    found.push_back({k, *score});
    if (bounded && found.size() >= prune_at) {
      local = std::max(local, keep_best(found, limit, keep_ties));
      raise_to(floor, local);
      prune_at = found.size() + limit + 16;
    }
  }
  if (bounded && found.size() > limit) keep_best(found, limit, keep_ties);
}

// The best `limit` of `kept` (and ties with keep_ties), in rank order.
void finish_ranking(std::vector<Scored>& kept, size_t limit, bool keep_ties) {
  std::sort(kept.begin(), kept.end(), ranks_before);
  if (kept.size() > limit) {
    size_t end = limit;
    if (keep_ties) {
      while (end < kept.size() && kept[end].score == kept[limit - 1].score) ++end;
    }
    kept.resize(end);
  }
}

std::vector<Scored> extract_query(Text query, const ChoiceSet& choices, size_t limit,
                                  double cutoff, bool autojunk, bool keep_ties, bool spread) {
  std::vector<Scored> kept;
  const size_t n = choices.texts.size();
  if (limit == 0 || n == 0) return kept;
  const bool bounded = limit < n;
  const QueryState qs(query, autojunk);
  std::atomic<double> floor{cutoff};
  if (!spread || choices.units < SPREAD_MIN_UNITS) {
    scan_choices(qs, choices, 0, n, limit, bounded, cutoff, keep_ties, floor, kept);
  } else {
    std::mutex mutex;
    parallel_for_chunks(n, MIN_PARALLEL_ITEMS, [&](size_t begin, size_t end) {
      std::vector<Scored> found;
      scan_choices(qs, choices, begin, end, limit, bounded, cutoff, keep_ties, floor, found);
      const std::lock_guard<std::mutex> lock(mutex);
      kept.insert(kept.end(), found.begin(), found.end());
    });
  }
  finish_ranking(kept, limit, keep_ties);
  return kept;
}

// Appends the counts of an ASCII text whose characters occur at most 255 times each, ascending
// by character, to `out`; other texts append nothing. `ascii` is all zeros before and after.
template <class Char>
void count_text(std::span<const Char> s, std::array<uint32_t, 128>& ascii,
                std::vector<uint16_t>& out) {
  bool narrow = true;
  for (const uint32_t c : s) {
    if (c < 128) {
      ++ascii[c];
    } else {
      narrow = false;
    }
  }
  // Characters in ascending order: a pass over the table costs less than sorting them.
  const size_t first = out.size();
  for (uint32_t c = 0; c < 128; ++c) {
    const uint32_t k = ascii[c];
    if (k == 0) continue;
    ascii[c] = 0;
    narrow = narrow && k <= UINT8_MAX;
    if (narrow) out.push_back(static_cast<uint16_t>(c | k << 8));
  }
  if (!narrow) out.resize(first);
}

}  // namespace

ChoiceSet choice_set(std::vector<PackedText> texts, bool counted) {
  ChoiceSet cs;
  cs.texts = std::move(texts);
  for (const PackedText& t : cs.texts) cs.units += t.size;
  if (!counted) return cs;
  const size_t n = cs.texts.size();
  constexpr size_t BLOCK = 4096;
  const size_t blocks = (n + BLOCK - 1) / BLOCK;
  std::vector<std::vector<uint16_t>> pieces(blocks);
  cs.starts.assign(n + 1, 0);
  parallel_for(blocks, [&](size_t b) {
    std::array<uint32_t, 128> ascii{};
    std::vector<uint16_t>& out = pieces[b];
    const size_t end = std::min(n, (b + 1) * BLOCK);
    for (size_t k = b * BLOCK; k < end; ++k) {
      visit_text(cs.texts[k], [&](auto s) { count_text(s, ascii, out); });
      cs.starts[k + 1] = out.size();  // within the block for now
    }
  }, 2);
  size_t total = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t end = std::min(n, (b + 1) * BLOCK);
    for (size_t k = b * BLOCK; k < end; ++k) cs.starts[k + 1] += total;
    total += pieces[b].size();
  }
  append_pieces(pieces, cs.counts);
  return cs;
}

std::vector<Scored> extract_prepared(Text query, const ChoiceSet& choices, size_t limit,
                                     double cutoff, bool autojunk, bool keep_ties) {
  return extract_query(query, choices, limit, cutoff, autojunk, keep_ties, true);
}

std::vector<std::vector<Scored>> extract_many(std::span<const CodePoints> queries,
                                              const ChoiceSet& choices, size_t limit,
                                              double cutoff, bool autojunk, bool keep_ties,
                                              Progress* progress) {
  progress_start(progress, "extract", queries.size(), "%zu queries over %zu choices",
                 queries.size(), choices.texts.size());
  std::vector<std::vector<Scored>> out = parallel_map<std::vector<Scored>>(
      queries.size(),
      [&](size_t q) {
        std::vector<Scored> rows =
            extract_query(queries[q], choices, limit, cutoff, autojunk, keep_ties, false);
        progress_advance(progress, 1);
        return rows;
      },
      2);
  progress_end(progress, "%zu queries", queries.size());
  return out;
}

std::vector<Scored> extract_chars(Text query, std::span<const Text> choices, size_t limit,
                                  double cutoff, bool autojunk, bool keep_ties) {
  std::vector<PackedText> texts;
  texts.reserve(choices.size());
  for (const Text t : choices) texts.push_back({t.data(), t.size(), 4});
  return extract_prepared(query, choice_set(std::move(texts), false), limit, cutoff, autojunk,
                          keep_ties);
}

namespace {

// Pairs within the length bound per verified block of a join: enough to keep the pool busy,
// few enough that a block's candidates cost little next to the strings' automata.
constexpr uint64_t JOIN_BLOCK = uint64_t{1} << 19;

// Every pair a < b of `strings` with ratio(strings[a], strings[b]) >= threshold, as (a, b, ratio)
// ascending; with a split, only pairs a < split <= b, as (a, b - split, ratio). Candidates come a
// block of rows at a time from the length-sorted walk of clustering and are verified (LCS bound,
// then the exact test) before the next block is walked, so memory holds the strings, their
// bounds and automata, one block and the results, whatever the number of candidates. Only the
// rows of the shard-th of `shards` runs of the walk are walked (shards = 1: all of them).
std::vector<RatioPair> join_pairs(std::span<const CodePoints> strings, size_t split,
                                  double threshold, Progress* progress, size_t shard = 0,
                                  size_t shards = 1) {
  const size_t n = strings.size();
  progress_start(progress, "candidates", n, "%zu strings", n);
  const std::vector<CharCounts> counts =
      parallel_map<CharCounts>(n, [&](size_t i) { return char_counts(strings[i]); });
  CandidateStream stream(strings, counts, threshold, split);
  if (shards > 1) stream.limit_to_shard(shard, shards);
  progress_set(progress, n);
  progress_end(progress, "%llu pairs within the length bound",
               static_cast<unsigned long long>(stream.window_pairs()));
  progress_start(progress, "join", stream.window_pairs(), "%llu pairs within the length bound",
                 static_cast<unsigned long long>(stream.window_pairs()));
  LazySams lazy(strings);
  const std::vector<uint32_t> no_forest;
  const std::span<const uint32_t> order = stream.walk_order();
  std::vector<KeyedPair> keyed;
  std::vector<CandidatePair> pairs;
  std::vector<RatioPair> out;
  uint64_t walked = 0;
  while (!stream.finished()) {
    const size_t first_row = stream.rows_walked();
    walked += stream.next_block(no_forest, JOIN_BLOCK, keyed);
    pairs.resize(keyed.size());
    for (size_t k = 0; k < keyed.size(); ++k) pairs[k] = {keyed[k].a, keyed[k].b};
    screen_pairs(pairs, strings, lazy, threshold);
    const std::vector<std::optional<double>> ratios =
        parallel_map<std::optional<double>>(pairs.size(), [&](size_t k) {
          const CandidatePair p = pairs[k];
          return gestalt_ratio_at_least(strings[p.a], strings[p.b], lazy.get(p.b), threshold);
        });
    for (size_t k = 0; k < pairs.size(); ++k) {
      if (ratios[k]) out.push_back({pairs[k].a, pairs[k].b - split, *ratios[k]});
    }
    // The automata of the rows just walked serve no later block.
    for (size_t p = first_row; p < stream.rows_walked(); ++p) lazy.drop(order[p]);
    progress_set(progress, walked);
  }
  std::sort(out.begin(), out.end(),
            [](const RatioPair& x, const RatioPair& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
  progress_end(progress, "%zu pairs", out.size());
  return out;
}

}  // namespace

std::vector<RatioPair> ratio_join_chars(std::span<const CodePoints> left,
                                        std::span<const CodePoints> right, double threshold,
                                        Progress* progress) {
  if (left.empty() || right.empty()) return {};
  // One walk over both lists: callers that hold them side by side in one array lend it as it is.
  if (left.data() + left.size() == right.data()) {
    return join_pairs({left.data(), left.size() + right.size()}, left.size(), threshold,
                      progress);
  }
  std::vector<CodePoints> both(left.begin(), left.end());
  both.insert(both.end(), right.begin(), right.end());
  return join_pairs(both, left.size(), threshold, progress);
}

std::vector<RatioPair> self_join_chars(std::span<const CodePoints> strings, double threshold,
                                       Progress* progress) {
  if (strings.size() < 2) return {};
  return join_pairs(strings, 0, threshold, progress);
}

std::vector<RatioPair> join_shard_chars(std::span<const CodePoints> strings, size_t split,
                                        double threshold, size_t shard, size_t shards) {
  if (strings.size() < 2 || split >= strings.size()) return {};
  return join_pairs(strings, split, threshold, nullptr, shard, std::max<size_t>(shards, 1));
}

}  // namespace ratiokit
