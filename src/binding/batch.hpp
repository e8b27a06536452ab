// The exact ratios of a pairs argument, shared by ratio_many and Rationer.ratio_many.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "binding/convert.hpp"
#include "rationer/rationer.hpp"

namespace ratiokit::py {

// Reads `pairs` (argument "pairs") and returns the list of their exact ratios, or null with an
// exception set. Without a handle the pairs go through as the free batch, `threads` as
// ratio_many's; with one, through its pool and, where its batch engine shares work, that engine.
// `progress`, when not null, is a callable validated by to_progress. `shape` says which pairs
// are taken (see PairShape); `autojunk` gives difflib's default ratio instead (free batch only).
PyObject* ratio_batch(PyObject* pairs, uint64_t threads, const Rationer* handle,
                      PyObject* progress = nullptr, PairShape shape = PairShape::tuples,
                      bool autojunk = false);

}  // namespace ratiokit::py
