#include "binding/environment.hpp"

#include <cstdlib>

#include "ratio/ratio.hpp"

namespace ratiokit::py {

uint64_t work_factor_setting() {
  // Initialised once; the GIL serialises the first calls, and getenv never races with the
  // interpreter's own changes to the environment (os.environ writes hold the GIL too).
  static const uint64_t factor = parse_work_factor(std::getenv("RK_WORK_FACTOR"));
  return factor;
}

}  // namespace ratiokit::py
