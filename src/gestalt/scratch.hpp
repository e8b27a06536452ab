// Per-thread scratch memory shared by the engines.
//
// Each slot is a thread_local value that one computation at a time borrows exclusively; its
// arrays are cleared and regrown for every use, and keep their capacity up to
// SCRATCH_KEEP_BYTES, so that a thread serving ordinary texts allocates nothing after its first
// calls. A borrow that leaves more than that behind (one very long text) frees it all when it
// ends, so a single huge call does not pin its memory for the life of the thread. A borrow that
// finds its slot already taken (a nested use on the same thread) gets a private value instead.
//
// Every slot's type T has a `size_t scratch_bytes(const T&)` found by argument-dependent lookup
// (vectors have theirs here), counting the heap memory it holds.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace ratiokit {

// Heap memory one slot may keep between borrows.
inline constexpr size_t SCRATCH_KEEP_BYTES = size_t{8} << 20;

// Hands memory the allocator holds free back to the system. Freed blocks of a few megabytes
// would otherwise stay in the process (glibc keeps them once it has raised its mmap threshold).
void return_freed_memory();

template <class T>
size_t scratch_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// Sum of scratch_bytes over several members.
template <class... Ts>
size_t scratch_bytes_of(const Ts&... parts) {
  return (size_t{0} + ... + scratch_bytes(parts));
}

template <class T>
struct ScratchSlot {
  T value;
  bool busy = false;
};

template <class T>
class Borrow {
 public:
  explicit Borrow(ScratchSlot<T>& slot) {
    if (!slot.busy) {
      slot.busy = true;
      busy_ = &slot.busy;
      ptr_ = &slot.value;
    } else {
      own_ = std::make_unique<T>();
      ptr_ = own_.get();
    }
  }
  ~Borrow() {
    if (busy_ == nullptr) return;
    if (scratch_bytes(*ptr_) > SCRATCH_KEEP_BYTES) {
      *ptr_ = T{};
      return_freed_memory();
    }
    *busy_ = false;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  T& operator*() const { return *ptr_; }
  T* operator->() const { return ptr_; }

 private:
  T* ptr_ = nullptr;
  bool* busy_ = nullptr;
  std::unique_ptr<T> own_;
};

}  // namespace ratiokit
