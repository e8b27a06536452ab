// Queries and joins over exact ratios: the best choices for one query (extract), and every pair
// of two lists, or of one list with itself, whose ratio reaches a threshold (joins).
//
// Both orient pairs like difflib: extract scores ratio(choice, query), so the query is the
// second text and its automaton is built once; a join scores ratio(left[i], right[j]), and a
// self-join ratio(s[i], s[j]) for i < j, the orientation of clustering. Every candidate passes
// the cheap bounds of cluster.hpp (length, then character counts) before an exact threshold
// test of gestalt.hpp, and the results carry exact ratios. Both add a third bound between
// them: M never exceeds the longest common subsequence, which a bit-parallel scan over the
// shorter text's character masks gives in a few operations per character of the other. Loops
// run on the ambient pool; results never depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "parallel/progress.hpp"

namespace ratiokit {

struct Scored {
  size_t index;
  double score;
};

// A text as its owner stores it: `size` code points of `width` bytes each (1, 2 or 4), so that
// choices held elsewhere in the narrowest width that fits them are read where they lie, and
// only the few that reach the exact test are widened.
struct PackedText {
  const void* data = nullptr;
  size_t size = 0;
  uint8_t width = 4;
};

// What every query against one list of choices needs, built once by choice_set.
struct ChoiceSet {
  std::vector<PackedText> texts;  // borrowed: their owner keeps them alive and unchanged
  size_t units = 0;               // code points of all choices, the estimate of a query's work
  // With counts: the character counts of choice k, ascending by character, are
  // counts[starts[k]] .. counts[starts[k + 1]), each `character | count << 8`: two bytes a
  // distinct character, since the scan of every query reads them all. Only ASCII choices whose
  // characters occur at most 255 times each are counted (the run of the others is empty).
  // Without counts (starts empty), the LCS bound does the count's work, which costs less than
  // counting first for a list that meets one query only.
  std::vector<size_t> starts;
  std::vector<uint16_t> counts;
};

// Parallel on the ambient pool when `counted`.
ChoiceSet choice_set(std::vector<PackedText> texts, bool counted);

// The choices whose ratio reaches `cutoff`, best first and ties by lower index, at most `limit`
// of them. The running limit-th best score is the cutoff for the rest. With `keep_ties`, choices
// tied with the last one kept come too, for callers that break ties their own way. With
// `autojunk`, scores are ratio_autojunk_chars (difflib's default constructor). Runs on the
// ambient pool when the choices hold enough code points to repay it, on the calling thread
// otherwise.
std::vector<Scored> extract_prepared(Text query, const ChoiceSet& choices, size_t limit,
                                     double cutoff, bool autojunk, bool keep_ties);

// extract_prepared of every query (each on one thread, the queries spread over the ambient
// pool). Phase "extract" counts queries.
std::vector<std::vector<Scored>> extract_many(std::span<const CodePoints> queries,
                                              const ChoiceSet& choices, size_t limit,
                                              double cutoff, bool autojunk, bool keep_ties,
                                              Progress* progress = nullptr);

// extract_prepared over plain code-point choices.
std::vector<Scored> extract_chars(Text query, std::span<const Text> choices, size_t limit,
                                  double cutoff, bool autojunk, bool keep_ties);

struct RatioPair {
  size_t i, j;
  double ratio;
};

// Every (i, j) with ratio(left[i], right[j]) >= threshold, ascending by (i, j). Candidates are
// streamed: the length-sorted walk of clustering (cluster.hpp, CandidateStream) over both lists
// yields a block of rows at a time, whose pairs are verified (LCS bound, then the exact test)
// before the next block is walked, so memory is the strings, their histograms, the automata of
// strings still ahead in the walk, one block of a fixed number of pairs and the results,
// whatever the threshold. A left and right
// that lie side by side in one array are walked in place; otherwise they are copied into one.
// Phases "candidates" (strings; the histograms and the walk's order) and "join" (pairs within
// the length bound).
std::vector<RatioPair> ratio_join_chars(std::span<const CodePoints> left,
                                        std::span<const CodePoints> right, double threshold,
                                        Progress* progress = nullptr);

// Every (i, j), i < j, with ratio(s[i], s[j]) >= threshold, ascending by (i, j). Streamed and
// reported as ratio_join_chars.
std::vector<RatioPair> self_join_chars(std::span<const CodePoints> strings, double threshold,
                                       Progress* progress = nullptr);

// One shard of a join, for a join spread over several calls that each hold every string: the
// pairs of self_join_chars(strings) (split 0) or of ratio_join_chars(strings[..split],
// strings[split..]) that the shard-th of `shards` runs of the candidate walk's rows find
// (CandidateStream::limit_to_shard), reported and ordered as those. Every pair belongs to
// exactly one shard, so the shards together test the pairs of one whole join, and the union
// of their rows is its answer. shards = 0 counts as 1.
std::vector<RatioPair> join_shard_chars(std::span<const CodePoints> strings, size_t split,
                                        double threshold, size_t shard, size_t shards);

}  // namespace ratiokit
