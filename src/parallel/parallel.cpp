// Placeholder: serial implementation until the worker pools land.
#include "parallel/parallel.hpp"

namespace ratiokit {

struct Pool {
  size_t size;
};

PoolHandle make_pool(uint64_t threads) {
  return std::make_shared<Pool>(Pool{static_cast<size_t>(threads)});
}
size_t pool_size(const Pool& pool) { return pool.size; }
bool on_worker_of(const Pool&) { return false; }
size_t ambient_threads() { return 1; }

void parallel_for_chunks(size_t n, size_t, FunctionRef<void(size_t, size_t)> body) {
  if (n > 0) body(0, n);
}

void run_in_pool(Pool*, FunctionRef<void()> job) { job(); }

}  // namespace ratiokit
