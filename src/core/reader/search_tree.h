// The first levels of the reader's halving search, cached. The search over
// the entries probes positions that depend only on the entry count and on
// the outcomes of earlier probes, so its first LEVELS probes form a fixed
// binary tree of positions. Each node keeps the first bytes and the length
// of the key at its position, which decide most comparisons without touching
// the key arena; the rest fall back to the full key. The probes and their
// outcomes are exactly those of the uncached search.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "key_index.h"

namespace zelkor {

class SearchTree {
 public:
  SearchTree() = default;
  explicit SearchTree(const KeyIndex& index);

  // First position whose key is not less than `target` by the halving
  // search over the stored order: base b = 0, size m = n; while m > 1,
  // h = m / 2, b += h if key[b + h] < target, m -= h; then b, or b + 1 if
  // key[b] < target. n when there are no entries.
  std::size_t lower_bound(const KeyIndex& index, std::string_view target) const noexcept;

 private:
  static constexpr int LEVELS = 12;
  static constexpr std::size_t HEAD = 16;
  struct Node {
    char head[HEAD];     // the key's first bytes, zero-padded
    std::uint32_t length;  // the key's full length
  };

  void fill(const KeyIndex& index, std::size_t node, std::size_t base, std::size_t size, int level);
  // key[position] < target, decided from the node when it can be.
  static bool less(const Node& node, const KeyIndex& index, std::size_t position, std::string_view target) noexcept;

  std::vector<Node> nodes_;  // level-order: children of i at 2i + 1 (not less) and 2i + 2 (less)
};

}  // namespace zelkor
