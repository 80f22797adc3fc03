// The parts of a background task that do not depend on the system; each
// system's implementation starts the thread (posix/, windows/).
#include "background_task.h"

#include <utility>

namespace zelkor::platform {

void BackgroundTask::wait() {
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void BackgroundTask::run() noexcept {
  try {
    work_();
  } catch (...) {
    error_ = std::current_exception();
  }
}

}  // namespace zelkor::platform
