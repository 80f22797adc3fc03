#include "search_tree.h"

#include <algorithm>
#include <cstring>

namespace zelkor {

SearchTree::SearchTree(const KeyIndex& index) {
  const std::size_t n = index.size();
  if (n < 2) return;
  nodes_.resize((std::size_t{1} << LEVELS) - 1);
  fill(index, 0, 0, n, 0);
}

void SearchTree::fill(const KeyIndex& index, std::size_t node, std::size_t base, std::size_t size, int level) {
  if (size <= 1 || level >= LEVELS) return;
  const std::size_t half = size / 2;
  const std::string_view key = index.key_at(base + half);
  Node& out = nodes_[node];
  std::memset(out.head, 0, HEAD);
  std::memcpy(out.head, key.data(), std::min(key.size(), HEAD));
  out.length = static_cast<std::uint32_t>(key.size());
  fill(index, 2 * node + 1, base, size - half, level + 1);
  fill(index, 2 * node + 2, base + half, size - half, level + 1);
}

bool SearchTree::less(const Node& node, const KeyIndex& index, std::size_t position, std::string_view target) noexcept {
  const std::size_t common = std::min({HEAD, std::size_t{node.length}, target.size()});
  const int c = common == 0 ? 0 : std::memcmp(node.head, target.data(), common);
  if (c != 0) return c < 0;
  if (common == node.length) return node.length < target.size();  // the key is a prefix of the target
  if (common == target.size()) return false;                        // the target is a prefix of the key
  return index.key_at(position) < target;                          // equal in all cached bytes
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
    const bool below = level < LEVELS ? less(nodes_[node], index, position, target) : index.key_at(position) < target;
    if (below) base = position;
    node = 2 * node + (below ? 2 : 1);
    size -= half;
    ++level;
  }
  return index.key_at(base) < target ? base + 1 : base;
}

}  // namespace zelkor
