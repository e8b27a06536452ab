// Per-thread scratch memory shared by the engines.
//
// Each slot is a thread_local value that one computation at a time borrows exclusively; its
// arrays are cleared and regrown for every use but never shrunk, so a thread that has served
// long texts keeps that capacity and later calls allocate nothing. A borrow that finds its slot
// already taken (a nested use on the same thread) gets a private value instead of sharing it.
#pragma once

#include <memory>

namespace ratiokit {

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
    if (busy_) *busy_ = false;
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
