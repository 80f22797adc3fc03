#include "random.h"

#include <cstdint>
#include <cstring>

#include "../util/split_mix.h"
#include "system.h"

namespace zelkor::platform {

void fill_random(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  const std::size_t got = system::random_bytes(bytes, size);
  if (got == size) return;
  // No system entropy: fall back to clock, address and process noise.
  std::uint64_t state = system::noise() ^ reinterpret_cast<std::uintptr_t>(out) * 0x9e3779b97f4a7c15ULL;
  for (std::size_t i = got; i < size; i += sizeof state) {
    state = split_mix(state);
    const std::size_t n = size - i < sizeof state ? size - i : sizeof state;
    std::memcpy(bytes + i, &state, n);
  }
}

}  // namespace zelkor::platform
