#include "../system.h"

#include <cstdint>

#include "win32.h"
// After windows.h, whose types it uses.
#include <bcrypt.h>

namespace zelkor::platform::system {

std::size_t random_bytes(unsigned char* out, std::size_t size) noexcept {
  std::size_t got = 0;
  while (got < size) {
    const ULONG n = size - got < 0x40000000 ? static_cast<ULONG>(size - got) : 0x40000000;
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out + got, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) break;
    got += n;
  }
  return got;
}

std::uint64_t noise() noexcept {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  const std::uint64_t clock = static_cast<std::uint64_t>(counter.QuadPart) ^ (::GetTickCount64() << 30);
  return clock ^ std::uint64_t{::GetCurrentProcessId()} * 0xc2b2ae3d27d4eb4fULL;
}

}  // namespace zelkor::platform::system
