#include "../random.h"

#include <errno.h>
#include <time.h>

#include <cstdint>
#include <cstring>

#include "features.h"

#if ZELKOR_USE_GETRANDOM
#include <sys/random.h>
#elif ZELKOR_HAVE_GETENTROPY && defined(__APPLE__)
#include <sys/random.h>
#endif

namespace zelkor::platform {

namespace {

// How many bytes of [out, out + size) the system's source filled.
std::size_t from_system(unsigned char* out, std::size_t size) noexcept {
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

std::uint64_t split_mix(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

void fill_random(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  const std::size_t got = from_system(bytes, size);
  if (got == size) return;
  // No system entropy: fall back to clock, address and process noise.
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  std::uint64_t state = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30);
  state ^= reinterpret_cast<std::uintptr_t>(out) * 0x9e3779b97f4a7c15ULL;
  state ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) * 0xc2b2ae3d27d4eb4fULL;
  for (std::size_t i = got; i < size; i += sizeof state) {
    state = split_mix(state);
    const std::size_t n = size - i < sizeof state ? size - i : sizeof state;
    std::memcpy(bytes + i, &state, n);
  }
}

}  // namespace zelkor::platform
