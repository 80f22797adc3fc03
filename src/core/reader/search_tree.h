// The first levels of the reader's halving search, cached (the tree of
// format/search_heads.h): each node keeps the first bytes and the length of
// the key at its position, which decide most comparisons without touching
// the index section; the rest fall back to the full key. The probes and
// their outcomes are exactly those of the uncached search, as long as the
// nodes agree with the keys; nodes of a damaged mapped index may steer the
// search wrong, never outside the index.
#pragma once

#include <cstdint>
#include <string_view>

#include "../platform/byte_buffer.h"
#include "key_index.h"

namespace zelkor {

class SearchTree {
 public:
  SearchTree() = default;
  // The tree of `index`, built from its keys.
  explicit SearchTree(const KeyIndex& index);
  // The tree stored at `nodes`, `levels` levels deep.
  static SearchTree map(const char* nodes, int levels) noexcept;

  // First position whose key is not less than `target` by the halving
  // search over the stored order: base b = 0, size m = n; while m > 1,
  // h = m / 2, b += h if key[b + h] < target, m -= h; then b, or b + 1 if
  // key[b] < target. n when there are no entries.
  std::size_t lower_bound(const KeyIndex& index, std::string_view target) const noexcept;

  // The node bytes, for comparing a stored tree with the keys.
  std::string_view bytes() const noexcept;

 private:
  // key[position] < target, decided from the node when it can be.
  static bool less(const char* node, const KeyIndex& index, std::size_t position, std::string_view target) noexcept;

  ByteBuffer owned_;
  const char* nodes_ = nullptr;
  int levels_ = 0;
};

}  // namespace zelkor
