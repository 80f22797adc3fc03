// The SplitMix64 step: a bijective mix of 64 bits that spreads a counter
// or a little entropy over the whole word, for seeds and hash keys.
#pragma once

#include <cstdint>

namespace zelkor {

constexpr std::uint64_t split_mix(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace zelkor
