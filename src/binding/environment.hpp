// Settings the module takes from the environment, read here, with the interpreter's lock held,
// and handed to the engines as plain values: engines never read the environment.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace ratiokit::py {

// RK_WORK_FACTOR as ratio_chars() takes it; read at the first call that needs it and kept for
// the process. Call with the GIL held.
uint64_t work_factor_setting();

// Sizes the process-wide pool from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (a positive decimal
// count; anything else is ignored), else the CPUs available. Read at the first computation, so
// that a value set after import but before it still counts. Call with the GIL held, before the
// GIL is released around a computation.
void configure_shared_pool();

// Whether a call writes RATIOKIT_PROGRESS lines: the variable being set, unless the process has
// overridden it (see PROGRESS_LINES_DEF). Read at every call. Call with the GIL held.
bool progress_lines_setting();

// _progress_lines(mode): sets whether calls write progress lines (True, False, or None to follow
// RATIOKIT_PROGRESS) and returns the previous mode.
extern PyMethodDef PROGRESS_LINES_DEF;

}  // namespace ratiokit::py
