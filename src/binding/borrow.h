// Per-instance borrow accounting. 0: free; n > 0: n shared borrows; -1: one
// exclusive borrow. Calls hold the interpreter lock, so a conflict means
// re-entry: Python code run inside a call (an __index__, a key's iteration)
// calling back into the same instance.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_ref.h"

namespace zelkor::py {

class BorrowCell {
 public:
  bool try_share() noexcept {
    std::int64_t n = state_.load(std::memory_order_relaxed);
    while (n != -1) {
      if (state_.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void unshare() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  bool try_take() noexcept {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void give_back() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> state_{0};
};

// Shared access for one call; raises "Already mutably borrowed" on conflict.
// (The constructors are not noexcept: raising may run Python code, which
// may end the thread by a forced unwind; see guarded().)
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowCell& cell) : cell_(cell.try_share() ? &cell : nullptr) {
    if (cell_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (cell_ != nullptr) cell_->unshare();
  }
  explicit operator bool() const noexcept { return cell_ != nullptr; }

 private:
  BorrowCell* cell_;
};

// Exclusive access for one call; raises "Already borrowed" on conflict.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowCell& cell) : cell_(cell.try_take() ? &cell : nullptr) {
    if (cell_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (cell_ != nullptr) cell_->give_back();
  }
  explicit operator bool() const noexcept { return cell_ != nullptr; }

 private:
  BorrowCell* cell_;
};

}  // namespace zelkor::py
