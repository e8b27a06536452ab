// The exact ratio of one pair and of a pairs argument, shared by the free functions and
// Rationer's methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "rationer/rationer.hpp"

namespace ratiokit::py {

// Reads the two str arguments of `sig` and returns their exact ratio as a float, or null with an
// exception set: through the free dispatcher, or the handle's own when there is one.
PyObject* pair_ratio(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const Rationer* handle);

// Reads `pairs` (argument "pairs") and returns the list of their exact ratios, or null with an
// exception set. Without a handle the pairs go through as the free batch, `threads` as
// ratio_many's; with one, through its pool and, where its batch engine shares work, that engine.
// `progress`, when not null, is a callable validated by to_progress. `shape` says which pairs
// are taken (see PairShape); `autojunk` gives difflib's default ratio instead (free batch only).
PyObject* ratio_batch(PyObject* pairs, uint64_t threads, const Rationer* handle,
                      PyObject* progress = nullptr, PairShape shape = PairShape::tuples,
                      bool autojunk = false);

}  // namespace ratiokit::py
