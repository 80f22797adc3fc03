// A set of object offsets private to one query, for visiting each distinct
// object once. Any 64-bit value may be an offset in a damaged file, so the
// empty-slot marker is tracked apart from the stored values.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelkor {

class OffsetSet {
 public:
  // Room for `expected` offsets without growing.
  explicit OffsetSet(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected + expected / 2 + 1) capacity *= 2;
    slots_.assign(capacity, EMPTY);
  }

  // Adds `offset`; true when it was not in the set before.
  bool insert(std::uint64_t offset) {
    if (offset == EMPTY) return !std::exchange(has_empty_value_, true);
    if ((size_ + 1) * 3 > slots_.size() * 2) grow();
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t i = mix(offset) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == offset) return false;
      if (slots_[i] == EMPTY) {
        slots_[i] = offset;
        ++size_;
        return true;
      }
    }
  }

 private:
  static constexpr std::uint64_t EMPTY = ~std::uint64_t{0};

  static std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 29);
  }

  void grow() {
    std::vector<std::uint64_t> old(slots_.size() * 2, EMPTY);
    old.swap(slots_);
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t v : old) {
      if (v == EMPTY) continue;
      std::uint64_t i = mix(v) & mask;
      while (slots_[i] != EMPTY) i = (i + 1) & mask;
      slots_[i] = v;
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t size_ = 0;
  bool has_empty_value_ = false;
};

}  // namespace zelkor
