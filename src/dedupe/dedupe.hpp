// Order-preserving deduplication at a ratio threshold: the dedupe that keeps a guarantee.
//
// Rows are taken in input order. A row is kept when no kept row before it reaches the threshold
// with it (ratio(strings[kept], strings[row]) >= threshold, the orientation of clustering), else
// it is dropped and points at the first kept row (lowest index) that does. So every dropped row
// has a ratio of at least the threshold to its representative, and no two kept rows reach it in
// index order: unlike single linkage, no chain can join rows far apart. The labels are defined
// by that sequential rule; the computation below only finds them faster.
//
// How it gets there:
//   - Exact copies are settled once: the rows are reduced to their distinct values in order of
//     first occurrence (distinct_strings); a copy goes wherever the first occurrence went.
//   - Rows are decided a block at a time. Every row of a block is tested, in parallel, against
//     the rows kept before the block: only those whose length is within the length bound
//     (kept rows are indexed by length, and each length's histograms are read once for a chunk
//     of rows), then through the coarse and fine count bounds of DenseCounts, then, in index
//     order and stopping at the first hit, the LCS bound and the early-stopping threshold test
//     of gestalt.hpp, with the row's LCS masks and automaton built once. Rows with no such hit
//     are tested, in parallel, against the earlier rows of the block that had none either, for
//     their first hit; a serial pass then settles the block in order, looking further only for
//     a row whose first hit turned out dropped.
//   - Blocks grow with the kept set (at most `max_block` rows), so that testing rows within a
//     block never costs more than testing them against what came before.
//
// Cost: about (kept rows within the length bound) count-bound checks per distinct row, plus the
// exact tests their bounds leave open. Memory: the distinct strings with their character counts
// and histograms (DenseCounts, about 320 bytes each), and one automaton per worker. Progress
// phase "dedupe" counts distinct rows. Runs on the ambient pool; results never depend on the
// number of threads or on the block sizes.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "gestalt/gestalt.hpp"
#include "parallel/progress.hpp"

namespace ratiokit {

inline constexpr size_t DEDUPE_MAX_BLOCK = 4096;

// One representative index per row: labels[i] == i for kept rows. A NaN or non-positive
// threshold is reached by every pair (every row points at row 0); above 1.0, by none.
std::vector<size_t> dedupe_chars(std::span<const CodePoints> strings, double threshold,
                                 Progress* progress = nullptr,
                                 size_t max_block = DEDUPE_MAX_BLOCK);

}  // namespace ratiokit
