#include "random.h"

#include <atomic>
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

HashKey new_hash_key() noexcept {
  struct ProcessKey {
    std::uint64_t words[4] = {0, 0, 0, 0};
    ProcessKey() noexcept { fill_random(words, sizeof words); }
  };
  static const ProcessKey process_key;
  static std::atomic<std::uint64_t> tables{0};
  const std::uint64_t n = tables.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t* w = process_key.words;
  HashKey key;
  key.k0 = split_mix(w[0] ^ split_mix(n));
  key.k1 = split_mix(w[1] ^ key.k0) | 1;
  key.k2 = split_mix(w[2] ^ w[3] ^ key.k1) | 1;
  return key;
}

}  // namespace zelkor::platform
