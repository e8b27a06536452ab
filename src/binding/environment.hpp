// Settings the module takes from the environment, read here, with the interpreter's lock held,
// and handed to the engines as plain values.
#pragma once

#include <cstdint>

namespace ratiokit::py {

// RK_WORK_FACTOR as ratio_chars() takes it; read at the first call that needs it and kept for
// the process. Call with the GIL held.
uint64_t work_factor_setting();

}  // namespace ratiokit::py
