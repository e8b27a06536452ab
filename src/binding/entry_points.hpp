// The module's functions and classes, registered by module.cpp in this order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ratiokit::py {

extern PyMethodDef RATIO_DEF;
extern PyMethodDef RATIO_MANY_DEF;

}  // namespace ratiokit::py
