#include "binding/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "binding/messages.hpp"
#include "portable/portable.hpp"

namespace ratiokit::py {
namespace {

PyObject* COLLECTIONS_SEQUENCE = nullptr;
#ifndef Py_TPFLAGS_MAPPING
PyObject* COLLECTIONS_MAPPING = nullptr;
#endif
PyObject* NUMBERS_REAL = nullptr;

// isinstance(obj, <module>.<name>), the class looked up once; -1 with an exception set.
int is_instance_of(PyObject* obj, PyObject*& cls, const char* module, const char* name) {
  if (cls == nullptr) {
    PyObject* found = PyImport_ImportModule(module);
    if (found == nullptr) return -1;
    cls = PyObject_GetAttrString(found, name);
    Py_DECREF(found);
    if (cls == nullptr) return -1;
  }
  return PyObject_IsInstance(obj, cls);
}

// list, tuple, or anything registered as a collections.abc.Sequence.
bool is_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  const int r = is_instance_of(obj, COLLECTIONS_SEQUENCE, "collections.abc", "Sequence");
  if (r < 0) PyErr_Clear();
  return r > 0;
}

// The type's name without its module, as type(obj).__name__ gives it.
const char* short_type_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

// isinstance(obj, <module>.<name>) for a module that is only asked when it is already
// imported: an instance of its class cannot exist otherwise. -1 with an exception set.
int is_loaded_instance(PyObject* obj, const char* module, const char* name) {
  PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), module);  // borrowed
  if (found == nullptr) return 0;
  PyObject* cls = PyObject_GetAttrString(found, name);
  if (cls == nullptr) {
    PyErr_Clear();
    return 0;
  }
  const int r = PyObject_IsInstance(obj, cls);
  Py_DECREF(cls);
  return r;
}

// isinstance(obj, collections.abc.Mapping); pairs ask it of every item that is not a tuple or
// list, so where the interpreter keeps the answer in a type flag (set on the ABC's subclasses
// and registered classes) that flag is read instead.
int is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return 1;
#ifdef Py_TPFLAGS_MAPPING
  return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MAPPING) ? 1 : 0;
#else
  return is_instance_of(obj, COLLECTIONS_MAPPING, "collections.abc", "Mapping");
#endif
}

// A pandas DataFrame, a pyarrow Table or RecordBatch, or a Mapping, where a column or pairs are
// expected: iterating any of them (or a table's to_pylist()) gives column names, keys or rows as
// dicts, which nobody means to compare. -1 with an exception set.
int is_table(PyObject* obj) {
  for (const auto& [module, name] : {std::pair{"pandas", "DataFrame"}, {"pyarrow", "Table"},
                                     {"pyarrow", "RecordBatch"}}) {
    const int r = is_loaded_instance(obj, module, name);
    if (r != 0) return r;
  }
  return is_mapping(obj);
}

// The list an object's to_pylist() gives (a pyarrow array's), a new reference; nullptr with no
// exception set when it has none.
PyObject* pylist_of(PyObject* obj) {
  PyObject* method = PyObject_GetAttrString(obj, "to_pylist");
  if (method == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return nullptr;
  }
  PyObject* list = PyCallable_Check(method) ? PyObject_CallNoArgs(method) : nullptr;
  Py_DECREF(method);
  return list;
}

bool is_iterable(PyObject* obj) {
  return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj);
}

// Walks the items of a sequence argument in order, calling item(obj) on each until it returns
// false.
template <class F>
bool for_each_item(PyObject* seq, F&& item) {
  ItemCursor items(seq);
  while (PyObject* obj = items.next()) {
    const bool ok = item(obj);
    Py_DECREF(obj);
    if (!ok) return false;
  }
  return !PyErr_Occurred();
}

// The length an argument says it has (0 when it cannot say), in `declared`, and how many items
// to reserve room for, in `hint`.
void size_hints(PyObject* obj, Py_ssize_t& hint, Py_ssize_t* declared) {
  hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  if (declared != nullptr) *declared = hint;
  // Only an exact list or tuple is known to hold what its length says; any other sequence may
  // claim billions of items and yield three, so its claim sizes nothing beyond a modest start.
  constexpr Py_ssize_t MAX_UNCHECKED_HINT = 4096;
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
    hint = std::min(hint, MAX_UNCHECKED_HINT);
  }
}

// Checks the outer shape of a list argument and returns its length hint (0 when unknown).
bool sequence_of_items(PyObject* obj, Py_ssize_t& hint, Py_ssize_t* declared = nullptr) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, msg::STR_TO_VEC);
    return false;
  }
  if (!is_sequence(obj)) {
    if (PyErr_Occurred()) return false;
    type_mismatch(obj, "Sequence");
    return false;
  }
  size_hints(obj, hint, declared);
  return true;
}

template <class T>
bool copy_units(const T* data, Py_ssize_t n, uint32_t* dest, bool check_surrogates) {
  bool surrogate = false;
  for (Py_ssize_t k = 0; k < n; ++k) {
    const uint32_t c = data[k];
    if (check_surrogates) surrogate |= (c - 0xD800u) < 0x800u;
    dest[k] = c;
  }
  return !surrogate;
}

// Copies the code points of text `obj` to where place(n) says, n being its length.
template <class Place>
bool copy_text(PyObject* obj, const char* name, Place&& place) {
  if (!PyUnicode_Check(obj)) {
    type_mismatch(obj, "str");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(obj) < 0) return false;
#endif
  const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
  if (static_cast<size_t>(n) > MAX_TEXT_LEN) {
    PyErr_Format(PyExc_ValueError, msg::TOO_LONG, name, n, static_cast<Py_ssize_t>(MAX_TEXT_LEN));
    return false;
  }
  uint32_t* dest = place(static_cast<size_t>(n));
  const void* data = PyUnicode_DATA(obj);
  bool ok;
  switch (PyUnicode_KIND(obj)) {
    case PyUnicode_1BYTE_KIND:
      ok = copy_units(static_cast<const Py_UCS1*>(data), n, dest, false);
      break;
    case PyUnicode_2BYTE_KIND:
      ok = copy_units(static_cast<const Py_UCS2*>(data), n, dest, true);
      break;
    default:
      ok = copy_units(static_cast<const Py_UCS4*>(data), n, dest, true);
      break;
  }
  if (ok) return true;
  // A lone surrogate cannot be encoded: let the interpreter raise its own UnicodeEncodeError.
  PyObject* encoded = PyUnicode_AsUTF8String(obj);
  if (encoded == nullptr) return false;
  Py_DECREF(encoded);
  return true;
}

// Sets TypeError with `format`, whose one %U is the qualified type name of obj.
void type_error_naming(PyObject* obj, const char* format) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, format, name);
  Py_DECREF(name);
}

enum class SideKind : uint8_t { text, bytes, items, other };

SideKind side_kind(PyObject* obj) {
  if (PyUnicode_Check(obj)) return SideKind::text;
  if (PyBytes_Check(obj) || PyByteArray_Check(obj)) return SideKind::bytes;
  if (PyList_Check(obj) || PyTuple_Check(obj)) return SideKind::items;
  return SideKind::other;
}

// A side of a pair of sequences as it is read, a new reference: a tuple of the items, or bytes.
// A list or bytearray is copied first, since comparing items can run code that changes it.
PyObject* held_side(PyObject* obj, SideKind kind) {
  if (kind == SideKind::bytes && PyByteArray_Check(obj)) {
    return PyBytes_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
  }
  if (kind == SideKind::items && PyList_Check(obj)) return PyList_AsTuple(obj);
  Py_INCREF(obj);
  return obj;
}

Py_ssize_t held_size(PyObject* held) {
  return PyBytes_Check(held) ? PyBytes_GET_SIZE(held) : PyTuple_GET_SIZE(held);
}

// Item k of a held side, a new reference (a byte is a small int, which the interpreter keeps).
PyObject* held_item(PyObject* held, Py_ssize_t k) {
  if (PyBytes_Check(held)) {
    return PyLong_FromLong(static_cast<unsigned char>(PyBytes_AS_STRING(held)[k]));
  }
  PyObject* item = PyTuple_GET_ITEM(held, k);
  Py_INCREF(item);
  return item;
}

// The id of `item` in the table: b's id when an equal item is there, else (with `add`) a new
// one, else `absent`. -1 with an exception set when hashing or comparing raised.
int64_t item_id(ItemIds& table, PyObject* item, bool add, uint32_t& next, uint32_t absent) {
  const Py_hash_t hash = PyObject_Hash(item);
  if (hash == -1 && PyErr_Occurred()) return -1;
  const size_t mask = table.slots.size() - 1;
  for (size_t at = (static_cast<size_t>(hash) * 0x9E3779B97F4A7C15u) >> 7 & mask;; at = (at + 1) & mask) {
    ItemIds::Slot& slot = table.slots[at];
    if (slot.key == nullptr) {
      if (!add) return absent;
      slot = ItemIds::Slot{item, hash, next};
      return next++;
    }
    if (slot.hash == hash) {
      // As a dict compares: the stored key first, the same object without a comparison.
      const int equal = slot.key == item ? 1 : PyObject_RichCompareBool(slot.key, item, Py_EQ);
      if (equal < 0) return -1;
      if (equal > 0) return slot.id;
    }
  }
}

// The ids of b's items (dense, first seen first) and then of a's, as to_operand_pair says. The
// held sides keep every item alive (a byte's small int is the interpreter's own, kept for good).
bool item_ids(PyObject* a, PyObject* b, ItemIds& table, uint32_t* da, uint32_t* db,
              size_t& alphabet, bool& b_failed) {
  const Py_ssize_t la = held_size(a), lb = held_size(b);
  size_t capacity = 16;
  while (capacity < 2 * static_cast<size_t>(lb) + 2) capacity *= 2;  // at most half full
  table.slots.assign(capacity, ItemIds::Slot{nullptr, 0, 0});
  uint32_t distinct = 0;
  b_failed = true;
  for (Py_ssize_t j = 0; j < lb; ++j) {
    PyObject* item = held_item(b, j);
    if (item == nullptr) return false;
    const int64_t id = item_id(table, item, true, distinct, 0);
    Py_DECREF(item);
    if (id < 0) return false;
    db[j] = static_cast<uint32_t>(id);
  }
  b_failed = false;
  uint32_t unused = distinct;
  for (Py_ssize_t i = 0; i < la; ++i) {
    PyObject* item = held_item(a, i);
    if (item == nullptr) return false;
    const int64_t id = item_id(table, item, false, unused, distinct);
    Py_DECREF(item);
    if (id < 0) return false;
    da[i] = static_cast<uint32_t>(id);
  }
  alphabet = size_t{distinct} + 1;
  return true;
}

// The names a pair's failures are reported under; with `wrap`, a TypeError gets the
// "argument '<name>': " prefix of the side that failed.
struct PairNames {
  const char* a;
  const char* b;
  bool wrap;
};

// Converts the two sides of a pair into the places place_a(n) and place_b(n) give.
template <class PlaceA, class PlaceB>
bool operand_pair(PyObject* a, PyObject* b, ItemIds& ids, const PairNames& names,
                  PlaceA&& place_a, PlaceB&& place_b, size_t& alphabet) {
  alphabet = 0;
  const auto fail = [&](bool on_a) { return names.wrap && wrap_arg_error(on_a ? names.a : names.b); };
  const SideKind ka = side_kind(a), kb = side_kind(b);
  if (ka == SideKind::text && kb == SideKind::text) {
    if (!copy_text(a, names.a, place_a)) return fail(true);
    return copy_text(b, names.b, place_b) || fail(false);
  }
  if (ka == SideKind::other || kb == SideKind::other) {
    const bool on_a = ka == SideKind::other;
    type_error_naming(on_a ? a : b, msg::OPERAND_TYPE);
    return fail(on_a);
  }
  if (ka == SideKind::text || kb == SideKind::text) {
    const bool on_a = ka != SideKind::text;  // the side that is not the str
    type_error_naming(on_a ? a : b, msg::MIXED_OPERANDS);
    return fail(on_a);
  }
  PyObject* ha = held_side(a, ka);
  if (ha == nullptr) return fail(true);
  PyObject* hb = held_side(b, kb);
  if (hb == nullptr) {
    Py_DECREF(ha);
    return fail(false);
  }
  bool ok = true, b_failed = false;
  const Py_ssize_t la = held_size(ha), lb = held_size(hb);
  for (const auto& [n, name, on_b] : {std::tuple{la, names.a, false}, std::tuple{lb, names.b, true}}) {
    if (ok && static_cast<size_t>(n) > MAX_TEXT_LEN) {
      PyErr_Format(PyExc_ValueError, msg::TOO_LONG, name, n, static_cast<Py_ssize_t>(MAX_TEXT_LEN));
      ok = false;
      b_failed = on_b;
    }
  }
  if (ok) {
    uint32_t* da = place_a(static_cast<size_t>(la));
    uint32_t* db = place_b(static_cast<size_t>(lb));
    if (PyBytes_Check(ha) && PyBytes_Check(hb)) {
      const auto* pa = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(ha));
      const auto* pb = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(hb));
      std::copy(pa, pa + la, da);
      std::copy(pb, pb + lb, db);
      alphabet = 256;
    } else {
      ok = item_ids(ha, hb, ids, da, db, alphabet, b_failed);
    }
  }
  Py_DECREF(ha);
  Py_DECREF(hb);
  return ok || fail(!b_failed);
}

}  // namespace

bool to_operand_pair(PyObject* a, PyObject* b, ItemIds& ids, CodePoints& ca, CodePoints& cb,
                     size_t& alphabet) {
  const auto into = [](CodePoints& out) {
    return [&out](size_t n) {
      out.resize(n);
      return out.data();
    };
  };
  return operand_pair(a, b, ids, PairNames{"a", "b", true}, into(ca), into(cb), alphabet);
}

// How far ahead of the item being read ItemCursor::next asks for memory (see there).
constexpr Py_ssize_t PREFETCH_FAR = 16;
constexpr Py_ssize_t PREFETCH_NEAR = 8;

PyObject* ItemCursor::next() {
  if (ended_) return nullptr;
  if (items_ == nullptr && iter_ == nullptr && !start()) return end();
  constexpr Py_ssize_t SIGNAL_POLL_ITEMS = Py_ssize_t{1} << 14;
  if (index_ % SIGNAL_POLL_ITEMS == SIGNAL_POLL_ITEMS - 1 && PyErr_CheckSignals() < 0) {
    return end();
  }
  if (items_ != nullptr) {
    const Py_ssize_t size = PyTuple_GET_SIZE(items_);
    if (index_ == size) return end();
    // A batch's items lie scattered over the heap, and reading them in turn would wait on
    // memory at each one: the item far ahead is asked for, and the members of a tuple nearer
    // ahead (a pair's two texts), whose own header the first request has brought in by then.
    if (index_ + PREFETCH_FAR < size) prefetch(PyTuple_GET_ITEM(items_, index_ + PREFETCH_FAR));
    if (index_ + PREFETCH_NEAR < size) {
      PyObject* ahead = PyTuple_GET_ITEM(items_, index_ + PREFETCH_NEAR);
      if (PyTuple_CheckExact(ahead) && PyTuple_GET_SIZE(ahead) == 2) {
        for (Py_ssize_t k = 0; k < 2; ++k) {
          const char* member = reinterpret_cast<const char*>(PyTuple_GET_ITEM(ahead, k));
          prefetch(member);
          prefetch(member + 64);  // a short str's characters follow its header
        }
      }
    }
    PyObject* obj = PyTuple_GET_ITEM(items_, index_);
    ++index_;
    Py_INCREF(obj);
    return obj;
  }
  PyObject* obj = PyIter_Next(iter_);
  if (obj == nullptr) return end();
  ++index_;
  return obj;
}

bool ItemCursor::start() {
  if (PyTuple_CheckExact(seq_)) {
    Py_INCREF(seq_);
    items_ = seq_;
    return true;
  }
  if (PyList_Check(seq_) || PyTuple_Check(seq_)) {
    // list.sort() empties the list while it runs (and marks it so): its items are nowhere to
    // be read until it ends.
    if (PyList_Check(seq_) && reinterpret_cast<PyListObject*>(seq_)->allocated < 0) {
      PyErr_SetString(PyExc_RuntimeError, msg::LIST_BEING_SORTED);
      return false;
    }
    items_ = PySequence_Tuple(seq_);
    return items_ != nullptr;
  }
  iter_ = PyObject_GetIter(seq_);
  return iter_ != nullptr;
}

PyObject* ItemCursor::end() {
  ended_ = true;
  return nullptr;
}

void FlatPairs::clear() {
  pairs.clear();
  alphabets.clear();
  current_ = 0;
  used_ = 0;
}

uint32_t* FlatPairs::place(size_t n) {
  for (; current_ < blocks.size(); ++current_, used_ = 0) {
    auto& [memory, capacity] = blocks[current_];
    if (capacity - used_ >= n) {
      uint32_t* at = memory.get() + used_;
      used_ += n;
      return at;
    }
  }
  const size_t capacity = std::max(n, block);
  blocks.emplace_back(new uint32_t[capacity], capacity);
  current_ = blocks.size() - 1;
  used_ = n;
  return blocks.back().first.get();
}

bool PairReader::open(PyObject* obj, const char* name, PairShape shape) {
  Py_ssize_t hint = 0;
  if (shape == PairShape::tuples) {
    if (!sequence_of_items(obj, hint)) return false;
  } else {
    // Any iterable but a str or bytes, whose items would be taken for pairs of characters.
    if (side_kind(obj) == SideKind::text || side_kind(obj) == SideKind::bytes) {
      type_error_naming(obj, msg::PAIRS_TYPE);
      return false;
    }
    const int table = is_table(obj);
    if (table != 0) {
      if (table > 0) PyErr_Format(PyExc_TypeError, msg::PAIRS_NOT_TABLE, short_type_name(obj));
      return false;
    }
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
      // An array of lists iterates as scalars of its own kind; its list holds plain ones.
      items_.reset();
      Py_CLEAR(list_);
      list_ = pylist_of(obj);
      if (list_ != nullptr) obj = list_;
      if (PyErr_Occurred()) return false;
    }
    if (!PyList_Check(obj) && !PyTuple_Check(obj) && !PyIter_Check(obj)) {
      // Checks that the argument is iterable at all, before any work is set up for it.
      PyObject* iter = PyObject_GetIter(obj);
      if (iter == nullptr) return false;
      Py_DECREF(iter);
    }
    hint = PyObject_LengthHint(obj, 0);
    if (hint < 0) return false;
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) hint = std::min<Py_ssize_t>(hint, 4096);
  }
  shape_ = shape;
  name_ = name;
  hint_ = static_cast<size_t>(hint);
  items_.emplace(obj);
  ended_ = false;
  return true;
}

bool PairReader::read(FlatPairs& out, size_t max_pairs, size_t max_code_points) {
  size_t pairs = 0;
  size_t code_points = 0;
  while (!ended_ && pairs < max_pairs && code_points < max_code_points) {
    PyObject* item = items_->next();
    if (item == nullptr) {
      ended_ = true;
      return !PyErr_Occurred();
    }
    Text side[2];
    size_t alphabet = 0;
    const bool ok = read_pair(item, out, side, alphabet);
    Py_DECREF(item);
    if (!ok) return false;
    if (alphabet != 0 && out.alphabets.empty()) out.alphabets.assign(out.pairs.size(), 0);
    if (!out.alphabets.empty()) out.alphabets.push_back(static_cast<uint32_t>(alphabet));
    out.pairs.emplace_back(side[0], side[1]);
    ++pairs;
    code_points += side[0].size() + side[1].size();
  }
  return true;
}

bool PairReader::read_pair(PyObject* item, FlatPairs& out, Text side[2], size_t& alphabet) {
  const auto place = [&](size_t k) {
    return [&out, side, k](size_t n) {
      uint32_t* at = out.place(n);
      side[k] = Text(at, n);
      return at;
    };
  };
  // The common pair first: a tuple of two str, read as the module's own batch reads it.
  if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2) {
    PyObject* a = PyTuple_GET_ITEM(item, 0);
    PyObject* b = PyTuple_GET_ITEM(item, 1);
    if (shape_ == PairShape::tuples || (PyUnicode_Check(a) && PyUnicode_Check(b))) {
      return copy_text(a, name_, place(0)) && copy_text(b, name_, place(1));
    }
  }
  if (shape_ == PairShape::tuples) {
    if (!PyTuple_Check(item)) {
      type_mismatch(item, "tuple");
      return false;
    }
    PyErr_Format(PyExc_ValueError, msg::TUPLE_LENGTH, Py_ssize_t{2}, PyTuple_GET_SIZE(item));
    return false;
  }
  // A tuple or list is read where it lies; any other iterable (an array's row) once, into a
  // list. A str or bytes is refused: its characters would make a pair of one-character texts.
  PyObject* pair = nullptr;
  if (PyTuple_Check(item) || PyList_Check(item)) {
    Py_INCREF(item);
    pair = item;
  } else if (side_kind(item) == SideKind::other) {
    // A mapping iterates as its keys, which would be compared in place of its values.
    const int mapping = is_mapping(item);
    if (mapping < 0) return false;
    if (mapping == 0) {
      pair = PySequence_Fast(item, "");
      if (pair == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
      }
    }
  }
  if (pair == nullptr) {
    type_error_naming(item, msg::NOT_A_PAIR);
    return false;
  }
  bool ok = false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
  if (n != 2) {
    if (PyTuple_Check(pair)) {
      PyErr_Format(PyExc_ValueError, msg::TUPLE_LENGTH, Py_ssize_t{2}, n);
    } else {
      PyErr_Format(PyExc_ValueError, msg::PAIR_LENGTH, n);
    }
  } else {
    // The sides are held while they are read: comparing items may run code that changes a list.
    PyObject* a = PySequence_Fast_GET_ITEM(pair, 0);
    PyObject* b = PySequence_Fast_GET_ITEM(pair, 1);
    Py_INCREF(a);
    Py_INCREF(b);
    ok = operand_pair(a, b, ids_, PairNames{name_, name_, false}, place(0), place(1), alphabet);
    Py_DECREF(a);
    Py_DECREF(b);
  }
  Py_DECREF(pair);
  return ok;
}

bool to_code_points(PyObject* obj, const char* name, CodePoints& out) {
  return copy_text(obj, name, [&](size_t n) {
    out.resize(n);
    return out.data();
  });
}

thread_local ScratchSlot<CodePoints> PAIR_A, PAIR_B;

bool to_text_pair(PyObject* const* arg, CodePoints& a, CodePoints& b) {
  return convert_arg(arg[0], "a", to_code_points, "a", a) &&
         convert_arg(arg[1], "b", to_code_points, "b", b);
}

bool to_utf8(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    type_mismatch(obj, "str");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool to_f64(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_u64(PyObject* obj, uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  out = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

namespace {

// The texts of a list argument whose shape has been checked; with `positions`, a non-str item is
// reported with its position (the package's rule) instead of the module's type mismatch.
bool read_texts(PyObject* obj, const char* name, size_t max_items, Py_ssize_t hint,
                Py_ssize_t declared, bool positions, std::vector<CodePoints>& out) {
  const auto too_many = [&](Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, msg::TOO_MANY_ITEMS, name, count, max_items);
    return false;
  };
  if (static_cast<size_t>(declared) > max_items) return too_many(declared);
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* item) {
    if (out.size() == max_items) return too_many(static_cast<Py_ssize_t>(out.size()) + 1);
    if (positions && !PyUnicode_Check(item)) {
      return item_not_str(item, static_cast<Py_ssize_t>(out.size()));
    }
    out.emplace_back();
    return to_code_points(item, name, out.back());
  });
}

}  // namespace

bool to_bounded_text_list(PyObject* obj, const char* name, const size_t& max_items,
                          std::vector<CodePoints>& out) {
  Py_ssize_t hint, declared;
  if (!sequence_of_items(obj, hint, &declared)) return false;
  return read_texts(obj, name, max_items, hint, declared, false, out);
}

bool to_text_list(PyObject* obj, const char* name, std::vector<CodePoints>& out) {
  return to_bounded_text_list(obj, name, SIZE_MAX, out);
}

bool to_token_lists(PyObject* obj, std::vector<std::vector<std::string>>& out) {
  Py_ssize_t hint;
  if (!sequence_of_items(obj, hint)) return false;
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* doc) {
    Py_ssize_t doc_hint;
    if (!sequence_of_items(doc, doc_hint)) return false;
    out.emplace_back();
    std::vector<std::string>& tokens = out.back();
    tokens.reserve(static_cast<size_t>(doc_hint));
    return for_each_item(doc, [&](PyObject* token) {
      tokens.emplace_back();
      return to_utf8(token, tokens.back());
    });
  });
}

PyObject* column_source(PyObject* obj, const char* not_iterable) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    Py_INCREF(obj);
    return obj;
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, not_iterable, short_type_name(obj));
    return nullptr;
  }
  const int table = is_table(obj);
  if (table < 0) return nullptr;
  if (table > 0) {
    PyErr_Format(PyExc_TypeError, msg::COLUMN_NOT_TABLE, short_type_name(obj));
    return nullptr;
  }
  if (PyObject* list = pylist_of(obj)) return list;
  if (PyErr_Occurred()) return nullptr;
  if (!is_iterable(obj)) {
    PyErr_Format(PyExc_TypeError, not_iterable, short_type_name(obj));
    return nullptr;
  }
  Py_INCREF(obj);
  return obj;
}

PyObject* column_list(PyObject* obj, const char* not_iterable) {
  if (PyList_CheckExact(obj)) {
    Py_INCREF(obj);
    return obj;
  }
  PyObject* source = column_source(obj, not_iterable);
  if (source == nullptr || PyList_CheckExact(source)) return source;
  PyObject* list = PySequence_List(source);
  Py_DECREF(source);
  return list;
}

bool to_text_column(PyObject* obj, const char* name, const size_t& max_items,
                    std::vector<CodePoints>& out) {
  PyObject* source = column_source(obj);
  if (source == nullptr) return false;
  Py_ssize_t hint, declared;
  size_hints(source, hint, &declared);
  const bool ok = read_texts(source, name, max_items, hint, declared, true, out);
  Py_DECREF(source);
  return ok;
}

PyObject* document_source(PyObject* doc, Py_ssize_t index) {
  if (!PyUnicode_Check(doc) && !PyBytes_Check(doc)) {
    PyObject* tokens = pylist_of(doc);
    if (tokens != nullptr || PyErr_Occurred()) return tokens;
    if (is_iterable(doc)) {
      Py_INCREF(doc);
      return doc;
    }
  }
  PyErr_Format(PyExc_TypeError, msg::DOCUMENT_NOT_TOKENS, index, short_type_name(doc));
  return nullptr;
}

bool to_token_column(PyObject* obj, std::vector<std::vector<std::string>>& out) {
  PyObject* source = column_source(obj, msg::NOT_DOCUMENTS);
  if (source == nullptr) return false;
  Py_ssize_t hint;
  size_hints(source, hint, nullptr);
  out.clear();
  out.reserve(static_cast<size_t>(hint));
  const bool ok = for_each_item(source, [&](PyObject* doc) {
    const Py_ssize_t index = static_cast<Py_ssize_t>(out.size());
    PyObject* tokens = document_source(doc, index);
    if (tokens == nullptr) return false;
    out.emplace_back();
    std::vector<std::string>& words = out.back();
    Py_ssize_t doc_hint;
    size_hints(tokens, doc_hint, nullptr);
    words.reserve(static_cast<size_t>(doc_hint));
    const bool read = for_each_item(tokens, [&](PyObject* token) {
      if (!PyUnicode_Check(token)) {
        return token_not_str(token, index, static_cast<Py_ssize_t>(words.size()));
      }
      words.emplace_back();
      return to_utf8(token, words.back());
    });
    Py_DECREF(tokens);
    return read;
  });
  Py_DECREF(source);
  return ok;
}

bool item_not_str(PyObject* item, Py_ssize_t position) {
  PyErr_Format(PyExc_TypeError, msg::ITEM_NOT_STR, position, short_type_name(item));
  return false;
}

bool token_not_str(PyObject* token, Py_ssize_t doc, Py_ssize_t position) {
  PyErr_Format(PyExc_TypeError, msg::TOKEN_NOT_STR, doc, position, short_type_name(token));
  return false;
}

bool to_count(PyObject* obj, const char* name, uint64_t& out) {
  if (to_u64(obj, out)) return true;
  wrap_arg_error(name, PyExc_OverflowError);
  return wrap_arg_error(name);
}

bool to_unit(PyObject* obj, const char* name, double& out) {
  int real = PyFloat_Check(obj) || (PyLong_Check(obj) && !PyBool_Check(obj));
  if (!real && !PyBool_Check(obj)) {
    real = is_instance_of(obj, NUMBERS_REAL, "numbers", "Real");
    if (real < 0) return false;
  }
  if (!real) {
    PyErr_Format(PyExc_TypeError, msg::UNIT_TYPE, short_type_name(obj));
    return wrap_arg_error(name);
  }
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) return wrap_arg_error(name);
  if (!(out >= 0.0 && out <= 1.0)) {
    PyErr_Format(PyExc_ValueError, msg::UNIT_RANGE, name, obj);
    return false;
  }
  return true;
}

bool parse_concurrency(const std::string& text, Concurrency& out) {
  const std::string lowered = lower_ascii(text);
  if (const auto mode = concurrency_from(lowered)) {
    out = *mode;
    return true;
  }
  const std::string literal = quoted_literal(lowered);
  PyErr_Format(PyExc_ValueError, msg::UNKNOWN_CONCURRENCY, literal.c_str());
  return false;
}

}  // namespace ratiokit::py
