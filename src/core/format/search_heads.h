// The first levels of the halving search over the index, precomputed: one
// encoding for the reader's own copy and for the mapped index's section.
//
// The search over n entries probes positions that depend only on n and on
// the outcomes of earlier probes (base b = 0, size m = n; while m > 1:
// h = m / 2, probe b + h, b += h when its key is less, m -= h), so its
// first `levels` probes form a fixed binary tree of positions, stored in
// level order: the children of node i are 2i + 1 (the key was not less)
// and 2i + 2 (it was). Each node is SEARCH_NODE_SIZE bytes: the first
// SEARCH_HEAD_BYTES bytes of the probed key, zero-padded, then the key's
// full length as a u32 (big-endian). Nodes of subtrees the search never
// enters (m already 1) are all zeros.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "coding.h"

namespace zelkor {

inline constexpr int SEARCH_HEAD_LEVELS = 12;
inline constexpr std::size_t SEARCH_HEAD_BYTES = 16;
inline constexpr std::size_t SEARCH_NODE_SIZE = SEARCH_HEAD_BYTES + 4;

// Levels of the tree for n entries: the search makes ceil(log2 n) probes,
// of which the first SEARCH_HEAD_LEVELS at most are cached.
inline int search_levels_for(std::uint64_t n) noexcept {
  if (n < 2) return 0;
  return std::min(SEARCH_HEAD_LEVELS, static_cast<int>(std::bit_width(n - 1)));
}
inline std::size_t search_nodes_for(int levels) noexcept { return (std::size_t{1} << levels) - 1; }

// Writes the tree of `levels` levels for entries [0, n) into `out`, which
// holds search_nodes_for(levels) zeroed nodes; key_at(i) is the key of
// position i.
template <typename KeyAt>
void encode_search_heads(char* out, std::uint64_t n, int levels, KeyAt&& key_at) {
  struct Fill {
    char* out;
    int levels;
    KeyAt& key_at;
    void operator()(std::size_t node, std::uint64_t base, std::uint64_t size, int level) {
      if (size <= 1 || level >= levels) return;
      const std::uint64_t half = size / 2;
      const std::string_view key = key_at(base + half);
      char* at = out + node * SEARCH_NODE_SIZE;
      std::memcpy(at, key.data(), std::min(key.size(), SEARCH_HEAD_BYTES));
      encode_u32(at + SEARCH_HEAD_BYTES, static_cast<std::uint32_t>(key.size()));
      (*this)(2 * node + 1, base, size - half, level + 1);
      (*this)(2 * node + 2, base + half, size - half, level + 1);
    }
  };
  Fill{out, levels, key_at}(0, 0, n, 0);
}

}  // namespace zelkor
