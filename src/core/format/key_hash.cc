#include "key_hash.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace zelkor {

namespace {

struct ProcessKey {
  std::uint64_t words[4];
  ProcessKey() noexcept {
    std::size_t got = 0;
    auto* out = reinterpret_cast<unsigned char*>(words);
    while (got < sizeof words) {
      const ssize_t n = ::getrandom(out + got, sizeof words - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got < sizeof words) {
      // No OS entropy (a very old kernel or a seccomp filter): fall back to
      // clock and address noise rather than fail; only collision resistance
      // against chosen keys depends on it, never correctness.
      timespec ts{};
      ::clock_gettime(CLOCK_MONOTONIC, &ts);
      const auto addr = reinterpret_cast<std::uintptr_t>(this);
      words[0] ^= static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30);
      words[1] ^= addr * 0x9e3779b97f4a7c15ULL;
      const auto pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid()));
      words[2] ^= pid * std::uint64_t{0xc2b2ae3d27d4eb4f};
      words[3] ^= words[0] + words[1] + words[2];
    }
  }
};

std::uint64_t split_mix(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

HashKey new_hash_key() noexcept {
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

}  // namespace zelkor
