#include "key_hash.h"

#include <atomic>

#include "../platform/random.h"
#include "split_mix.h"

namespace zelkor {

namespace {

struct ProcessKey {
  std::uint64_t words[4] = {0, 0, 0, 0};
  ProcessKey() noexcept { platform::fill_random(words, sizeof words); }
};

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
