#include "../background_task.h"

#include <system_error>
#include <utility>

namespace zelkor::platform {

// Windows has no signals to keep away from the thread: a console's Ctrl+C
// arrives on a thread of its own.
BackgroundTask::BackgroundTask(std::function<void()> work, bool in_background) : work_(std::move(work)) {
  if (in_background) {
    try {
      thread_ = std::jthread([this] { run(); });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the work runs here instead.
    }
  }
  run();
}

}  // namespace zelkor::platform
