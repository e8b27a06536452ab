#include "binding/results.hpp"

namespace ratiokit::py {

PyObject* float_list(const std::vector<double>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < values.size(); ++k) {
    PyObject* f = PyFloat_FromDouble(values[k]);
    if (f == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), f);
  }
  return list;
}

FloatParts::~FloatParts() {
  for (PyObject* f : items_) Py_DECREF(f);
}

bool FloatParts::append(std::span<const double> values) {
  items_.reserve(items_.size() + values.size());  // so that no float made below can be lost
  for (const double v : values) {
    PyObject* f = PyFloat_FromDouble(v);
    if (f == nullptr) return false;
    items_.push_back(f);
  }
  return true;
}

PyObject* FloatParts::take() {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < items_.size(); ++k) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), items_[k]);
  }
  items_.clear();
  return list;
}

PyObject* cluster_list(const std::vector<std::pair<std::vector<size_t>, double>>& clusters) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(clusters.size()));
  if (list == nullptr) return nullptr;
  for (size_t c = 0; c < clusters.size(); ++c) {
    const auto& [members, score] = clusters[c];
    PyObject* ids = PyList_New(static_cast<Py_ssize_t>(members.size()));
    PyObject* value = PyFloat_FromDouble(score);
    PyObject* pair = PyTuple_New(2);
    if (ids == nullptr || value == nullptr || pair == nullptr) {
      Py_XDECREF(ids);
      Py_XDECREF(value);
      Py_XDECREF(pair);
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, ids);
    PyTuple_SET_ITEM(pair, 1, value);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(c), pair);
    for (size_t k = 0; k < members.size(); ++k) {
      PyObject* id = PyLong_FromSize_t(members[k]);
      if (id == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(k), id);
    }
  }
  return list;
}

}  // namespace ratiokit::py
