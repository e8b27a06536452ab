// ratio(a, b) and ratio_many(pairs, threads=0).
#include <optional>

#include "binding/batch.hpp"
#include "binding/convert.hpp"
#include "binding/environment.hpp"
#include "binding/messages.hpp"
#include "binding/progress.hpp"
#include "binding/entry_points.hpp"
#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"
#include "rationer/rationer.hpp"

namespace ratiokit::py {
namespace {

// A batch longer than one step is read a step at a time: while the pool computes one step, the
// calling thread copies the next. The copying then overlaps the computing instead of preceding
// it, and two steps' buffers, reused, keep the memory bounded, mapped and mostly in cache
// (first-touch page faults alone once cost as much as copying the texts).
constexpr size_t STEP_PAIRS = 4096;
constexpr size_t STEP_CODE_POINTS = size_t{1} << 17;

// One step's pairs, copied, and their ratios; the step itself is the body of its loop.
struct Step {
  FlatPairs input;
  std::vector<double> out;
  uint64_t work_factor = 0;
  bool autojunk = false;

  void operator()(size_t begin, size_t end) {
    ratio_range(input.pairs, out, begin, end, work_factor, autojunk, input.alphabets);
  }
};

const char* const RATIO_PARAMS[] = {"a", "b"};
const Signature RATIO_SIG{"ratio()", RATIO_PARAMS, 2, 2};

PyObject* ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return pair_ratio(RATIO_SIG, args, nargs, kwnames, nullptr); });
}

const char* const RATIO_MANY_PARAMS[] = {"pairs", "threads"};
const Signature RATIO_MANY_SIG{"ratio_many()", RATIO_MANY_PARAMS, 2, 1};

PyObject* ratio_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fastcall(RATIO_MANY_SIG, args, nargs, kwnames, arg)) return nullptr;
    uint64_t threads = 0;
    if (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads)) return nullptr;
    return ratio_batch(arg[0], threads, nullptr);
  });
}

const char* const PRIVATE_RATIO_MANY_PARAMS[] = {"pairs", "threads", "progress"};
const Signature PRIVATE_RATIO_MANY_SIG{"_ratio_many()", PRIVATE_RATIO_MANY_PARAMS, 3, 1};

PyObject* ratio_many_progress(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3] = {nullptr, nullptr, nullptr};
    if (!parse_fastcall(PRIVATE_RATIO_MANY_SIG, args, nargs, kwnames, arg)) return nullptr;
    uint64_t threads = 0;
    if (arg[1] != nullptr && !convert_arg(arg[1], "threads", to_u64, threads)) return nullptr;
    PyObject* callable = nullptr;
    if (!to_progress(arg[2], callable)) return nullptr;
    return ratio_batch(arg[0], threads, nullptr, callable, PairShape::any_pairs);
  });
}

// The package's ratio(a, b=None, /, *, autojunk=False), parsed here as the interpreter parses a
// Python function of that signature, with its messages.
const char* const PUBLIC_RATIO_NAME = "ratio()";

bool public_keywords(PyObject* const* values, PyObject* kwnames, bool& autojunk) {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_CompareWithASCIIString(key, "autojunk") == 0) {
      const int truth = PyObject_IsTrue(values[k]);
      if (truth < 0) return false;
      autojunk = truth != 0;
    } else if (PyUnicode_CompareWithASCIIString(key, "a") == 0 ||
               PyUnicode_CompareWithASCIIString(key, "b") == 0) {
      PyErr_Format(PyExc_TypeError, msg::POSITIONAL_ONLY, PUBLIC_RATIO_NAME, key);
      return false;
    } else {
      PyErr_Format(PyExc_TypeError, msg::UNEXPECTED_KEYWORD, PUBLIC_RATIO_NAME, key);
      return false;
    }
  }
  return true;
}

PyObject* ratio_public(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    bool autojunk = false;
    if (kwnames != nullptr && !public_keywords(args + nargs, kwnames, autojunk)) return nullptr;
    if (nargs == 2 && args[1] != Py_None) {
      PyObject* a = args[0];
      PyObject* b = args[1];
      Borrow<CodePoints> ca(PAIR_A), cb(PAIR_B);
      size_t alphabet = 0;
      if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
        if (!to_text_pair(args, *ca, *cb)) return nullptr;
      } else {
        ItemIds ids;
        if (!to_operand_pair(a, b, ids, *ca, *cb, alphabet)) return nullptr;
      }
      const uint64_t work_factor = work_factor_setting();
      double value = 0.0;
      const bool ok = without_gil([&] {
        value = autojunk ? ratio_autojunk_chars(*ca, *cb, work_factor, alphabet)
                         : ratio_symbols(*ca, *cb, alphabet, work_factor);
      });
      return ok ? PyFloat_FromDouble(value) : nullptr;
    }
    if (nargs == 0) {
      PyErr_Format(PyExc_TypeError, msg::MISSING_A, PUBLIC_RATIO_NAME);
      return nullptr;
    }
    if (nargs > 2) {
      PyErr_Format(PyExc_TypeError, msg::TOO_MANY_POSITIONAL_RANGE, PUBLIC_RATIO_NAME,
                   Py_ssize_t{1}, Py_ssize_t{2}, nargs, "were");
      return nullptr;
    }
    // One argument, or b=None: the list form. A str or bytes alone is a pair left half given.
    PyObject* a = args[0];
    if (PyUnicode_Check(a) || PyBytes_Check(a) || PyByteArray_Check(a)) {
      if (nargs == 1) {
        PyErr_Format(PyExc_TypeError, msg::MISSING_B, PUBLIC_RATIO_NAME);
      } else {
        PyErr_Format(PyExc_TypeError, msg::NONE_B, PUBLIC_RATIO_NAME);
      }
      return nullptr;
    }
    return ratio_batch(a, 0, nullptr, nullptr, PairShape::any_pairs, autojunk);
  });
}

const char* const RATIO_BY_PARAMS[] = {"a", "b", "search"};
const Signature RATIO_BY_SIG{"_ratio_by()", RATIO_BY_PARAMS, 3, 3};

PyObject* ratio_by_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3];
    if (!parse_fastcall(RATIO_BY_SIG, args, nargs, kwnames, arg)) return nullptr;
    CodePoints a, b;
    std::string name;
    if (!to_text_pair(arg, a, b) || !convert_arg(arg[2], "search", to_utf8, name)) return nullptr;
    Search search;
    if (name == "bits") {
      search = Search::bits;
    } else if (name == "b2j") {
      search = Search::b2j;
    } else if (name == "automaton") {
      search = Search::automaton;
    } else if (name == "diag") {
      search = Search::diag;
    } else {
      PyErr_Format(PyExc_ValueError,
                   "unknown search %R (expected 'bits', 'b2j', 'automaton' or 'diag')", arg[2]);
      return nullptr;
    }
    if (!search_applies(search, a, b)) {
      PyErr_Format(PyExc_ValueError, "the %s search does not apply to this pair", name.c_str());
      return nullptr;
    }
    double value = 0.0;
    if (!without_gil([&] { value = ratio_by(a, b, search); })) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

}  // namespace

PyObject* pair_ratio(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const Rationer* handle) {
  PyObject* arg[2];
  if (!parse_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
  Borrow<CodePoints> a(PAIR_A), b(PAIR_B);
  if (!to_text_pair(arg, *a, *b)) return nullptr;
  const uint64_t work_factor = work_factor_setting();
  double value = 0.0;
  const bool done = without_gil([&] {
    value = handle != nullptr ? handle->ratio(*a, *b, work_factor)
                              : ratio_chars(*a, *b, work_factor);
  });
  return done ? PyFloat_FromDouble(value) : nullptr;
}

PyObject* ratio_batch(PyObject* pairs, uint64_t threads, const Rationer* handle,
                      PyObject* progress, PairShape shape, bool autojunk) {
  const uint64_t work_factor = work_factor_setting();
  // A batch reports its progress only to a callable that asks for it: the pairs done so far,
  // a step at a time.
  std::optional<ProgressReport> report;
  if (progress != nullptr) report.emplace(progress);
  Progress* const record = report ? report->record() : nullptr;
  const PollHook hook = report ? report->hook() : PollHook{};
  PairReader reader;
  Step steps[2];
  for (Step& step : steps) {
    step.input.block = STEP_CODE_POINTS;
    step.work_factor = work_factor;
    step.autojunk = autojunk;
  }
  const auto read_step = [&](Step& step) {
    step.input.clear();
    return reader.read(step.input, STEP_PAIRS, STEP_CODE_POINTS) || wrap_arg_error("pairs");
  };
  if (!convert_arg(pairs, "pairs", [&](PyObject* obj) { return reader.open(obj, "pairs", shape); }) ||
      !read_step(steps[0])) {
    return nullptr;
  }
  // A handle's engine shares automata and repeated pairs across the whole batch, so a batch
  // whose first step shows either is read whole for it.
  FlatPairs& first = steps[0].input;
  if (handle != nullptr && !reader.ended() && shares_work(first.pairs, 1)) {
    first.block = FlatPairs::BLOCK;
    if (!reader.read(first, SIZE_MAX, SIZE_MAX)) {
      wrap_arg_error("pairs");
      return nullptr;
    }
  }
  std::vector<double> values;
  progress_start(record, "pairs", reader.hint(), "%zu pairs", reader.hint());
  if (reader.ended()) {
    const bool ok = without_gil([&] {
      if (handle != nullptr) {
        values = handle->ratio_many(first.pairs, work_factor);
      } else {
        values = run_on_threads(
            threads,
            [&] { return ratio_many_plain(first.pairs, work_factor, autojunk, first.alphabets); });
      }
    }, hook);
    return ok ? float_list(values) : nullptr;
  }
  const PoolHandle own = handle == nullptr && threads > 0 ? make_pool(threads) : nullptr;
  Pool* const pool = handle != nullptr ? handle->pool.get() : own.get();
  FloatParts floats;
  floats.reserve(reader.hint());
  const bool ok = without_gil([&](ReleasedGil& gil) {
    // The loops live inside the release of the GIL: one dropped on the way out of a failure
    // still has its cancellation flag to stop its chunks by.
    std::optional<BackgroundLoop> running[2];
    const auto start = [&](size_t s) {
      steps[s].out.resize(steps[s].input.pairs.size());
      running[s].emplace(pool, steps[s].input.pairs.size(), steps[s]);
    };
    start(0);
    if (!reader.ended()) {
      gil.holding([&] { return read_step(steps[1]); });
      if (!steps[1].input.pairs.empty()) start(1);
    }
    // Steps finish in turn. Each finished step's ratios become floats, and its buffers take
    // the next pairs, in one hold of the GIL, while the other step computes.
    for (size_t s = 0; running[s]; s ^= 1) {
      running[s]->wait();
      running[s].reset();
      bool read = false;
      gil.holding([&] {
        if (!floats.append(steps[s].out)) return false;
        if (reader.ended()) return true;
        read = true;
        return read_step(steps[s]);
      });
      if (read && !steps[s].input.pairs.empty()) start(s);
      if (record != nullptr && floats.size() > record->total.load(std::memory_order_relaxed)) {
        record->total.store(floats.size(), std::memory_order_relaxed);  // its length was a guess
      }
      progress_set(record, floats.size());
    }
  }, hook);
  return ok ? floats.take() : nullptr;
}

PyMethodDef RATIO_BY_DEF = {
    "_ratio_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_by_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_by(a, b, search)\n--\n\n"
    "The exact ratio by one longest-match search ('bits', 'b2j', 'automaton' or 'diag'), for\n"
    "tests that hold every search against difflib. ValueError where the search does not apply:\n"
    "'bits' needs one text of at most 256 code points, 'b2j' two ASCII texts, 'diag' two texts\n"
    "of at most 65,533 code points."};

PyMethodDef RATIO_DEF = {
    "ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio)),
    METH_FASTCALL | METH_KEYWORDS,
    "ratio(a, b)\n--\n\n"
    "Fast exact difflib.SequenceMatcher(None, a, b, autojunk=False).ratio().\n\n"
    "The GIL is released for the compute after both inputs are copied into owned strings, so\n"
    "calls from many Python threads scale across cores instead of serialising on the GIL.\n"
    "Backs the scalar form of the package's public ratio; the package routes a batch to\n"
    "ratio_many."};

PyMethodDef PUBLIC_RATIO_DEF = {
    "ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_public)),
    METH_FASTCALL | METH_KEYWORDS,
    "ratio(a, b=None, /, *, autojunk=False)\n--\n\n"
    "Exact difflib.SequenceMatcher(None, a, b, autojunk=False).ratio().\n\n"
    "a and b are two str, or two sequences of hashable items (lists, tuples, bytes), compared\n"
    "as difflib compares them: lists of lines, lists of tokens. With one list of (a, b) pairs,\n"
    "returns one ratio per pair, computed across all cores (see ratio_many). With\n"
    "autojunk=True, exactly difflib.SequenceMatcher(None, a, b).ratio() (difflib's default):\n"
    "once b has 200 or more items, those occurring more than 1% (+1) of the time are left out\n"
    "of the longest-match search, as difflib does."};

PyMethodDef PRIVATE_RATIO_MANY_DEF = {
    "_ratio_many",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_many_progress)),
    METH_FASTCALL | METH_KEYWORDS,
    "_ratio_many(pairs, threads=0, progress=None)\n--\n\n"
    "ratio_many with a progress callable, called as progress('pairs', done, total) while a long\n"
    "batch runs. Backs the package's ratio_many."};

PyMethodDef RATIO_MANY_DEF = {
    "ratio_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ratio_many)),
    METH_FASTCALL | METH_KEYWORDS,
    "ratio_many(pairs, threads=0)\n--\n\n"
    "One exact ratio per (a, b) pair, computed across cores inside the module with the GIL\n"
    "released. Backs the list form of the package's public ratio. threads=0 uses all cores;\n"
    "threads=N computes on N threads. A long batch is read a part at a time, on the calling\n"
    "thread while the parts before it compute, so its copies of the texts take a few MB\n"
    "whatever its size."};

}  // namespace ratiokit::py
