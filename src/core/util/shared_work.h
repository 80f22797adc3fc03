// Work split into numbered pieces that any number of threads take in turn:
// whichever thread is running takes the next piece, so a thread that the
// system keeps waiting slows the work by one piece at most, and one thread
// alone still does all of it. A failing piece (an exception) ends the work:
// pieces not yet taken are skipped and the first exception is kept for the
// owner to rethrow once every thread has left.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <utility>

namespace zelkor {

// Where one thread waits for a condition that another makes true: the
// waiter spins for a while (a condition about to hold costs no sleep and no
// wake-up by the system), then sleeps until notified.
class Wakeup {
 public:
  // `ready()` reads atomics only; the waker makes it true, then calls notify.
  template <typename Ready>
  void wait_until(Ready&& ready) noexcept {
    for (int spin = 0; spin < SPINS; ++spin) {
      if (ready()) return;
      pause();
    }
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, ready);
  }
  void notify() noexcept {
    { const std::lock_guard<std::mutex> hold(lock_); }  // a waiter is either asleep or sees the change
    changed_.notify_all();
  }

 private:
  static constexpr int SPINS = 1 << 14;  // some 50-200 microseconds
  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  std::mutex lock_;
  std::condition_variable changed_;
};

class SharedWork {
 public:
  explicit SharedWork(std::size_t pieces) noexcept : pieces_(pieces) {}
  SharedWork(const SharedWork&) = delete;
  SharedWork& operator=(const SharedWork&) = delete;

  // Runs `piece(i)` for pieces not yet taken, then waits until every taken
  // piece is done, on whatever thread took it; what the pieces wrote is
  // then visible to the caller. Returns false when a piece failed.
  template <typename Piece>
  bool take_part(Piece&& piece) noexcept {
    take_pieces(piece);
    return wait();
  }

  // Runs `piece(i)` for pieces not yet taken, without waiting for the
  // others; stops early once `stop` (when given) is set.
  template <typename Piece>
  void take_pieces(Piece&& piece, const std::atomic<bool>* stop = nullptr) noexcept {
    for (;;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= pieces_) return;
      if (!failed_.load(std::memory_order_relaxed)) {
        try {
          piece(i);
        } catch (...) {
          fail(std::current_exception());
        }
      }
      if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == pieces_) all_done_.notify();
    }
  }

  // Waits until every piece is done, as take_part does.
  bool wait() noexcept {
    all_done_.wait_until([this] { return done_.load(std::memory_order_acquire) == pieces_; });
    return !failed_.load(std::memory_order_acquire);
  }

  // After every thread has left: rethrows the first failure, if any.
  void rethrow_failure() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  // Only the first failing thread keeps its exception; it is read after
  // every thread has left.
  void fail(std::exception_ptr e) noexcept {
    if (!failed_.exchange(true, std::memory_order_acq_rel)) error_ = std::move(e);
  }

  const std::size_t pieces_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> done_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
  Wakeup all_done_;
};

}  // namespace zelkor
