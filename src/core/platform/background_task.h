// A piece of work run on a second thread while the caller does another: a
// core operation may split a long pass over memory across two cores. The
// thread blocks every signal where the system has them (they keep going to
// the caller's threads), touches nothing but what the work was given, and
// is joined before the task object is gone.
#pragma once

#include <exception>
#include <functional>
#include <thread>

namespace zelkor::platform {

class BackgroundTask {
 public:
  // Starts `work` on a new thread, or runs it right here when
  // `in_background` is false or no thread can be had.
  BackgroundTask(std::function<void()> work, bool in_background);
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;
  ~BackgroundTask() = default;  // joins

  // Waits for the work to end; rethrows what it threw.
  void wait();

 private:
  void run() noexcept;

  std::function<void()> work_;
  std::exception_ptr error_;
  std::jthread thread_;  // last: joined before the members it uses die
};

}  // namespace zelkor::platform
