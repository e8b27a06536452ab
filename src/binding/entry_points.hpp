// The module's functions and classes, registered by module.cpp in this order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace ratiokit::py {

extern PyMethodDef RATIO_DEF;
extern PyMethodDef RATIO_MANY_DEF;
extern PyMethodDef PRIVATE_RATIO_MANY_DEF;
extern PyMethodDef CLUSTER_CANONICALS_DEF;
extern PyMethodDef CLUSTER_CANONICALS_LSH_DEF;
extern PyMethodDef COSINE_JOIN_DEF;
// The package's ratio, registered as _ratio_public with the package as its __module__, so that
// it pickles as ratiokit.ratio.
extern PyMethodDef PUBLIC_RATIO_DEF;
inline constexpr const char* PUBLIC_RATIO_ATTR = "_ratio_public";
inline constexpr const char* PUBLIC_RATIO_MODULE = "ratiokit";
// Private entry points of the package's search and join functions.
extern PyMethodDef RATIO_AUTOJUNK_DEF;
// One longest-match search forced, for the tests.
extern PyMethodDef RATIO_BY_DEF;
extern PyMethodDef EXTRACT_DEF;
extern PyMethodDef EXTRACT_MANY_DEF;
extern PyMethodDef RATIO_JOIN_DEF;
extern PyMethodDef RATIO_JOIN_COLUMNS_DEF;
extern PyMethodDef DEDUPE_DEF;
// Private twins taking a progress callable, wrapped by the package under the public names.
extern PyMethodDef PRIVATE_CLUSTER_CANONICALS_DEF;
extern PyMethodDef PRIVATE_CLUSTER_CANONICALS_LSH_DEF;
extern PyMethodDef CLUSTER_RESIDENT_BUDGET_DEF;
extern PyMethodDef PRIVATE_COSINE_JOIN_DEF;
// Stages of a computation spread over several processes (py_stages.cpp).
extern PyMethodDef STAGE_DEFS[];
extern const size_t STAGE_DEF_COUNT;
// The package's input rule and value checks, for its Python code.
extern PyMethodDef COLUMN_DEF;
extern PyMethodDef DOCUMENTS_DEF;
extern PyMethodDef COUNT_DEF;
extern PyMethodDef UNIT_DEF;

// The Rationer class, created on first use and kept for the process: a new reference, or
// nullptr with the exception set.
PyObject* rationer_type();
// The CosineJoiner class, likewise.
PyObject* cosine_joiner_type();
// The _Choices class (prepared choices of the search functions), likewise.
PyObject* choices_type();

}  // namespace ratiokit::py
