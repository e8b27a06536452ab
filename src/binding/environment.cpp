#include "binding/environment.hpp"

#include <cstdlib>

#include "parallel/parallel.hpp"
#include "ratio/ratio.hpp"

namespace ratiokit::py {
namespace {

// -1: follow RATIOKIT_PROGRESS; 0 or 1: the process's own choice. Changed with the GIL held.
int PROGRESS_LINES = -1;

PyObject* progress_lines(PyObject*, PyObject* mode) {
  PyObject* previous = PROGRESS_LINES < 0 ? Py_None : PyBool_FromLong(PROGRESS_LINES);
  if (mode == Py_None) {
    PROGRESS_LINES = -1;
  } else {
    const int on = PyObject_IsTrue(mode);
    if (on < 0) return nullptr;
    PROGRESS_LINES = on;
  }
  Py_INCREF(previous);
  return previous;
}

}  // namespace

uint64_t work_factor_setting() {
  // Initialised once; the GIL serialises the first calls, and getenv never races with the
  // interpreter's own changes to the environment (os.environ writes hold the GIL too).
  static const uint64_t factor = parse_work_factor(std::getenv("RK_WORK_FACTOR"));
  return factor;
}

void configure_shared_pool() {
  static bool configured = false;  // the GIL serialises the first calls
  if (configured) return;
  configured = true;
  set_shared_pool_size(
      shared_pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS")));
}

bool progress_lines_setting() {
  if (PROGRESS_LINES >= 0) return PROGRESS_LINES != 0;
  return std::getenv("RATIOKIT_PROGRESS") != nullptr;
}

PyMethodDef PROGRESS_LINES_DEF = {
    "_progress_lines", progress_lines, METH_O,
    "_progress_lines(mode)\n--\n\n"
    "Whether calls write progress lines to standard error: True, False, or None to follow\n"
    "RATIOKIT_PROGRESS. Returns the previous mode, for the caller to restore."};

}  // namespace ratiokit::py
