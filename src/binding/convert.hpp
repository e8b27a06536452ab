// The binding's conversion of arguments: Python-to-C++ conversion of every declared argument
// kind and the decoding of concurrency modes. It also brings in the rest of the binding's
// plumbing, so that an entry point needs this one header:
//   args.hpp     argument parsing and the rule that names the argument in a TypeError
//   errors.hpp   C++ exception translation, PanicException, the type-mismatch TypeError
//   gil.hpp      the GIL released around a computation, with signal polling
//   results.hpp  Python objects built from results
//   types.hpp    heap-type plumbing for the module's classes
//
// Converters return false with a Python exception set. Inputs are always copied into owned C++
// memory so that the computation can run with the GIL released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/results.hpp"
#include "binding/types.hpp"
#include "gestalt/gestalt.hpp"
#include "gestalt/scratch.hpp"
#include "parallel/concurrency.hpp"
#include "parallel/parallel.hpp"

namespace ratiokit::py {

// Per-kind converters; the name is used only for messages that must name the argument.
bool to_code_points(PyObject* obj, const char* name, CodePoints& out);
// The two texts of a ratio call, arguments "a" then "b".
bool to_text_pair(PyObject* const* arg, CodePoints& a, CodePoints& b);
// Where single-pair calls copy their texts: kept per thread, so that a short call allocates
// nothing once its thread has warmed up.
extern thread_local ScratchSlot<CodePoints> PAIR_A, PAIR_B;
bool to_utf8(PyObject* obj, std::string& out);
bool to_f64(PyObject* obj, double& out);
bool to_u64(PyObject* obj, uint64_t& out);
bool to_text_list(PyObject* obj, const char* name, std::vector<CodePoints>& out);
// As to_text_list, refusing (ValueError) more than `max_items` texts, before copying them when
// the sequence says its length up front.
bool to_bounded_text_list(PyObject* obj, const char* name, const size_t& max_items,
                          std::vector<CodePoints>& out);
// A sequence of (str, str) tuples, every text copied into a few large blocks: a batch of short
// pairs would otherwise spend as long allocating as computing.
struct FlatPairs {
  static constexpr size_t BLOCK = size_t{1} << 20;  // code points per block, unless one is longer
  std::vector<std::unique_ptr<uint32_t[]>> blocks;
  std::vector<std::pair<Text, Text>> pairs;  // views into blocks
};
bool to_flat_pairs(PyObject* obj, const char* name, FlatPairs& out);
bool to_token_lists(PyObject* obj, std::vector<std::vector<std::string>>& out);

// Decodes a concurrency mode; an unknown one raises ValueError (call with the GIL held, before
// any work starts).
bool parse_concurrency(const std::string& text, Concurrency& out);

}  // namespace ratiokit::py
