// Results built as Python objects once the GIL is back: new references, or nullptr with the
// exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace ratiokit::py {

PyObject* float_list(const std::vector<double>& values);

// A list of floats made a part at a time, each part's floats as soon as its values are known,
// so that a batch makes them while its next part computes instead of all at its end. Use only
// with the GIL held, destruction included: it drops the floats it has not handed over.
class FloatParts {
 public:
  FloatParts() = default;
  ~FloatParts();
  FloatParts(const FloatParts&) = delete;
  FloatParts& operator=(const FloatParts&) = delete;

  void reserve(size_t n) { items_.reserve(n); }
  size_t size() const { return items_.size(); }
  // Appends one float per value; false with MemoryError set.
  bool append(std::span<const double> values);
  // The list of every float appended, in order, the floats handed over to it.
  PyObject* take();

 private:
  std::vector<PyObject*> items_;
};
// [(list of int, float), ...]
PyObject* cluster_list(const std::vector<std::pair<std::vector<size_t>, double>>& clusters);

}  // namespace ratiokit::py
