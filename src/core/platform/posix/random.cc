#include "../system.h"

#include <errno.h>
#include <time.h>

#include <cstdint>

#include "features.h"

#if ZELKOR_USE_GETRANDOM
#include <sys/random.h>
#elif ZELKOR_HAVE_GETENTROPY && defined(__APPLE__)
#include <sys/random.h>
#endif

namespace zelkor::platform::system {

std::size_t random_bytes(unsigned char* out, std::size_t size) noexcept {
  std::size_t got = 0;
#if ZELKOR_USE_GETRANDOM
  while (got < size) {
    const ssize_t n = ::getrandom(out + got, size - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
#elif ZELKOR_HAVE_GETENTROPY
  // At most 256 bytes a call.
  while (got < size) {
    const std::size_t n = size - got < 256 ? size - got : 256;
    if (::getentropy(out + got, n) != 0) break;
    got += n;
  }
#else
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  while (got < size) {
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
#endif
  return got;
}

std::uint64_t noise() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t clock = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30);
  return clock ^ static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) * 0xc2b2ae3d27d4eb4fULL;
}

}  // namespace zelkor::platform::system
