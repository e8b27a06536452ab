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
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/messages.hpp"
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
// pairs would otherwise spend as long allocating as computing. Blocks are never moved, so a view
// stays valid from the moment its text is copied; clear() keeps them for the next texts, which
// then land in memory that is already mapped.
struct FlatPairs {
  static constexpr size_t BLOCK = size_t{1} << 20;
  size_t block = BLOCK;  // code points per new block, unless one text is longer
  std::vector<std::pair<std::unique_ptr<uint32_t[]>, size_t>> blocks;  // storage, capacity
  std::vector<std::pair<Text, Text>> pairs;  // views into blocks
  // Each pair's alphabet for ratio_symbols (see to_operand_pair); empty while every pair read
  // since the last clear() is two str.
  std::vector<uint32_t> alphabets;

  void clear();
  // Room for n code points after those placed since the last clear().
  uint32_t* place(size_t n);

 private:
  size_t current_ = 0;  // the block being filled
  size_t used_ = 0;     // code points placed in it
};

// The items of a sequence argument, one at a time and in order. A list or tuple is read from a
// snapshot of its items, taken at the first step (references only, one pass with the GIL held):
// another thread may change the caller's list while the GIL is released between steps, or sort
// it (a list looks empty while it is sorted, which raises RuntimeError here), and a call must
// still return one result per item it started with, each belonging to its item. Any other
// sequence is iterated as the call goes, so that one that makes its items on demand is never
// held whole (its results belong to the items its iteration gave, whatever it does). Signals
// are polled every few thousand items, so that Ctrl-C stops a long conversion. Use only with
// the GIL held, the sequence kept alive by the caller.
class ItemCursor {
 public:
  explicit ItemCursor(PyObject* seq) : seq_(seq) {}
  ~ItemCursor() {
    Py_XDECREF(items_);
    Py_XDECREF(iter_);
  }
  ItemCursor(const ItemCursor&) = delete;
  ItemCursor& operator=(const ItemCursor&) = delete;

  // A new reference to the next item; null at the end, or with an exception set.
  PyObject* next();

 private:
  bool start();
  PyObject* end();

  PyObject* seq_;
  PyObject* items_ = nullptr;  // the snapshot of a list or tuple
  PyObject* iter_ = nullptr;   // or the iterator of another sequence
  Py_ssize_t index_ = 0;
  bool ended_ = false;
};

// Item ids by Python equality, found as a dict finds its keys (same hash, then the same object
// or equal by ==), in an open-addressed table that holds no references: the caller keeps the
// items alive while it is filled. Storage only; reused from one pair to the next.
struct ItemIds {
  struct Slot {
    PyObject* key;  // null: empty
    Py_hash_t hash;
    uint32_t id;
  };
  std::vector<Slot> slots;
};

// The two sides of one ratio: two str as their code points, or two sequences of hashable items
// (each a list, tuple, bytes or bytearray; bytes hold the items 0..255) as item ids. Items are
// compared as a dict compares keys, so that equal items (1 and 1.0) share an id: b's distinct
// items get 0, 1, ... in first-seen order and an item of a that b lacks gets the id after them,
// which b never holds. Two bytes are their byte values. A str beside a sequence is refused
// (TypeError): difflib would compare the characters with the items and find nothing.
// Errors follow the module's conventions, arguments named "a" and "b". `alphabet` is set to the
// pair's alphabet for ratio_symbols: 0 for two str, 256 for two bytes, b's distinct items + 1
// for ids.
bool to_operand_pair(PyObject* a, PyObject* b, ItemIds& ids, CodePoints& ca, CodePoints& cb,
                     size_t& alphabet);

// How a batch reads its pairs. `tuples`: as the module's own ratio_many, a sequence of 2-tuples
// of str. `any_pairs`: as the package's, any iterable of 2-item iterables whose sides are as
// to_operand_pair takes them, or an array with to_pylist() (a pyarrow list array of 2-item
// lists) read through that list, as columns are.
enum class PairShape : uint8_t { tuples, any_pairs };

// The pairs argument of a batch read a part at a time, for a computation that starts on the
// first pairs while later ones are still being copied. Use only with the GIL held.
class PairReader {
 public:
  PairReader() = default;
  ~PairReader() {
    items_.reset();
    Py_XDECREF(list_);
  }
  PairReader(const PairReader&) = delete;
  PairReader& operator=(const PairReader&) = delete;

  // Checks the argument's outer shape; false with an exception set.
  bool open(PyObject* obj, const char* name, PairShape shape = PairShape::tuples);
  // Appends the next pairs to `out`: at least one (unless the input has ended), then more while
  // fewer than `max_pairs` have been added and their texts hold fewer than `max_code_points`.
  // False with an exception set when an item fails to convert.
  bool read(FlatPairs& out, size_t max_pairs, size_t max_code_points);
  bool ended() const { return ended_; }
  // How many pairs the argument says it holds (0 when it cannot say).
  size_t hint() const { return hint_; }

 private:
  bool read_pair(PyObject* item, FlatPairs& out, Text side[2], size_t& alphabet);

  PyObject* list_ = nullptr;  // what an array's to_pylist() gave, read in its place
  std::optional<ItemCursor> items_;
  ItemIds ids_;
  PairShape shape_ = PairShape::tuples;
  const char* name_ = nullptr;
  size_t hint_ = 0;
  bool ended_ = false;
};
bool to_token_lists(PyObject* obj, std::vector<std::vector<std::string>>& out);

// The package's input rule, wider than the module's own list kinds above, for the private entry
// points behind the package's functions. A column of strings is any iterable of str: a list,
// tuple or other sequence is read in place, any other iterable (a generator, a NumPy array, a
// pandas Series) once as the call goes, and an object with to_pylist() (a pyarrow array) through
// the list it gives. A str or bytes, a pandas DataFrame, a Mapping or a non-iterable is refused
// with a TypeError saying what to pass, and a non-str item with its position.
//
// What to read a column's items from: a new reference, or nullptr with TypeError set.
// `not_iterable` is the message for a str, bytes or non-iterable, with the type's name.
PyObject* column_source(PyObject* obj, const char* not_iterable = msg::NOT_ITERABLE);
// The column as a list: `obj` itself when it is exactly a list, else a new list of its items in
// order (the items unchecked). A new reference, or nullptr with TypeError set.
PyObject* column_list(PyObject* obj, const char* not_iterable = msg::NOT_ITERABLE);
// A column of strings, refusing (ValueError) more than `max_items`.
inline constexpr size_t NO_ITEM_LIMIT = SIZE_MAX;
bool to_text_column(PyObject* obj, const char* name, const size_t& max_items,
                    std::vector<CodePoints>& out);
// What to read the tokens of document number `index` from (any iterable but a str or bytes), as
// column_source does for a column.
PyObject* document_source(PyObject* doc, Py_ssize_t index);
// Documents: a column (as above) of documents, each any iterable of str tokens.
bool to_token_column(PyObject* obj, std::vector<std::vector<std::string>>& out);
// The package's TypeError for a non-str item at `position` of a column; returns false.
bool item_not_str(PyObject* item, Py_ssize_t position);
// Likewise for token `position` of document `doc`.
bool token_not_str(PyObject* token, Py_ssize_t doc, Py_ssize_t position);
// The package's counts (threads, limits, sizes): as to_u64, not an integer: TypeError, negative or
// too large: OverflowError, either named "argument '<name>': ...".
bool to_count(PyObject* obj, const char* name, uint64_t& out);
// The package's thresholds and cutoffs: a real number (not a bool) in [0, 1]; TypeError for any
// other type, ValueError for NaN or a value outside, both naming the argument.
bool to_unit(PyObject* obj, const char* name, double& out);

// Decodes a concurrency mode; an unknown one raises ValueError (call with the GIL held, before
// any work starts).
bool parse_concurrency(const std::string& text, Concurrency& out);

}  // namespace ratiokit::py
