#include "../background_task.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <utility>

namespace zelkor::platform {

BackgroundTask::BackgroundTask(std::function<void()> work, bool in_background) : work_(std::move(work)) {
  if (in_background) {
    sigset_t all, previous;
    sigfillset(&all);
    if (pthread_sigmask(SIG_SETMASK, &all, &previous) == 0) {
      try {
        thread_ = std::jthread([this] { run(); });
      } catch (const std::system_error&) {
        // No thread to be had: the work runs here instead.
      }
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      if (thread_.joinable()) return;
    }
  }
  run();
}

}  // namespace zelkor::platform
