// Results built as Python objects once the GIL is back: new references, or nullptr with the
// exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace ratiokit::py {

PyObject* float_list(const std::vector<double>& values);
// [(list of int, float), ...]
PyObject* cluster_list(const std::vector<std::pair<std::vector<size_t>, double>>& clusters);

}  // namespace ratiokit::py
