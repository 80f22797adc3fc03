#include "search_tree.h"

#include <algorithm>
#include <cstring>

#include "../format/coding.h"
#include "../format/search_heads.h"

namespace zelkor {

SearchTree::SearchTree(const KeyIndex& index) : levels_(search_levels_for(index.size())) {
  const std::size_t size = search_nodes_for(levels_) * SEARCH_NODE_SIZE;
  char* nodes = owned_.extend(size);
  if (size != 0) std::memset(nodes, 0, size);
  encode_search_heads(nodes, index.size(), levels_, [&](std::uint64_t i) { return index.key_at(i); });
  nodes_ = owned_.data();
}

SearchTree SearchTree::map(const char* nodes, int levels) noexcept {
  SearchTree tree;
  tree.nodes_ = nodes;
  tree.levels_ = levels;
  return tree;
}

std::string_view SearchTree::bytes() const noexcept {
  return {nodes_, search_nodes_for(levels_) * SEARCH_NODE_SIZE};
}

bool SearchTree::less(const char* node, const KeyIndex& index, std::size_t position, std::string_view target) noexcept {
  const std::uint32_t length = decode_u32(node + SEARCH_HEAD_BYTES);
  const std::size_t common = std::min({SEARCH_HEAD_BYTES, std::size_t{length}, target.size()});
  const int c = common == 0 ? 0 : std::memcmp(node, target.data(), common);
  if (c != 0) return c < 0;
  if (common == length) return length < target.size();  // the key is a prefix of the target
  if (common == target.size()) return false;            // the target is a prefix of the key
  return index.key_at(position) < target;               // equal in all cached bytes
}

std::size_t SearchTree::lower_bound(const KeyIndex& index, std::string_view target) const noexcept {
  const std::size_t n = index.size();
  if (n == 0) return 0;
  std::size_t base = 0;
  std::size_t size = n;
  std::size_t node = 0;
  int level = 0;
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t position = base + half;
    const bool below = level < levels_ ? less(nodes_ + node * SEARCH_NODE_SIZE, index, position, target)
                                       : index.key_at(position) < target;
    if (below) base = position;
    node = 2 * node + (below ? 2 : 1);
    size -= half;
    ++level;
  }
  return index.key_at(base) < target ? base + 1 : base;
}

}  // namespace zelkor
