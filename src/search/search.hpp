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
#include <span>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "parallel/progress.hpp"

namespace ratiokit {

struct Scored {
  size_t index;
  double score;
};

// The choices whose ratio reaches `cutoff`, best first and ties by lower index, at most `limit`
// of them. The running limit-th best score is the cutoff for the rest. With `keep_ties`, choices
// tied with the last one kept come too, for callers that break ties their own way. With
// `autojunk`, scores are ratio_autojunk_chars (difflib's default constructor).
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

}  // namespace ratiokit
