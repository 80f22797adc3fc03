// Keyed 64-bit hash of key bytes for the key tables. Each table in memory
// draws its own HashKey (platform::new_hash_key), so equal keys hash
// differently in different tables and an adversary who chooses keys cannot
// predict collisions; a table stored in a file records the seed of its key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "uint128.h"

namespace zelkor {

struct HashKey {
  std::uint64_t k0, k1, k2;
};

namespace detail {

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint64_t load32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
// Folds the 128-bit product of a and b into 64 bits.
inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) noexcept {
  const uint128 p = static_cast<uint128>(a) * b;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

}  // namespace detail

inline std::uint64_t hash_key(const char* p, std::size_t n, const HashKey& key) noexcept {
  using detail::fold_mul;
  using detail::load32;
  using detail::load64;
  std::uint64_t a, b;
  std::uint64_t state = key.k0 ^ (static_cast<std::uint64_t>(n) * 0x9e3779b97f4a7c15ULL);
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
          (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n >> 1])) << 8) |
          static_cast<unsigned char>(p[n - 1]);
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    std::size_t left = n;
    while (left > 16) {
      state = fold_mul(load64(p) ^ key.k1, load64(p + 8) ^ state);
      p += 16;
      left -= 16;
    }
    a = load64(p + left - 16);
    b = load64(p + left - 8);
  }
  return fold_mul(key.k1 ^ fold_mul(a ^ key.k1, b ^ state), key.k2 ^ n);
}

}  // namespace zelkor
