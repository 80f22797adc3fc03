#include "../random.h"

#include <cstdint>
#include <cstring>

#include "win32.h"
// After windows.h, whose types it uses.
#include <bcrypt.h>

namespace zelkor::platform {

namespace {

// How many bytes of [out, out + size) the system's source filled.
std::size_t from_system(unsigned char* out, std::size_t size) noexcept {
  std::size_t got = 0;
  while (got < size) {
    const ULONG n = size - got < 0x40000000 ? static_cast<ULONG>(size - got) : 0x40000000;
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out + got, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) break;
    got += n;
  }
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
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  std::uint64_t state = static_cast<std::uint64_t>(counter.QuadPart) ^ (::GetTickCount64() << 30);
  state ^= reinterpret_cast<std::uintptr_t>(out) * 0x9e3779b97f4a7c15ULL;
  state ^= std::uint64_t{::GetCurrentProcessId()} * 0xc2b2ae3d27d4eb4fULL;
  for (std::size_t i = got; i < size; i += sizeof state) {
    state = split_mix(state);
    const std::size_t n = size - i < sizeof state ? size - i : sizeof state;
    std::memcpy(bytes + i, &state, n);
  }
}

}  // namespace zelkor::platform
