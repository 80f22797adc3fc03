#include "queries.h"

#include <algorithm>

namespace zelkor {

PositionRange prefix_range(const Reader& reader, std::string_view prefix) noexcept {
  const std::size_t n = reader.entry_count();
  const std::size_t begin = reader.lower_bound(prefix);
  std::size_t end = begin;
  if (prefix.empty()) {
    end = n;  // every key starts with the empty prefix
  } else {
    while (end < n && reader.key_has_prefix(end, prefix)) ++end;
  }
  return {begin, end};
}

PositionRange key_range(const Reader& reader, std::optional<std::string_view> start,
                        std::optional<std::string_view> stop) noexcept {
  const std::size_t begin = start ? reader.lower_bound(*start) : 0;
  const std::size_t end = stop ? reader.lower_bound(*stop) : reader.entry_count();
  return {begin, std::max(begin, end)};
}

PositionRange clip_positions(const Reader& reader, std::int64_t begin, std::int64_t end) noexcept {
  const std::size_t n = reader.entry_count();
  const auto clip = [n](std::int64_t v) {
    if (v <= 0) return std::size_t{0};
    return static_cast<std::uint64_t>(v) >= n ? n : static_cast<std::size_t>(v);
  };
  const std::size_t b = clip(begin);
  return {b, std::max(b, clip(end))};
}

void find_many(const Reader& reader, std::span<const std::string_view> keys,
               std::span<std::optional<std::uint64_t>> found) noexcept {
  const KeyIndex& index = reader.index();
  const std::size_t n = keys.size();
  // A lookup lives from its start at step t to its finish at step
  // t + 2 * LOOKUP_DISTANCE; the ring holds every one in between.
  constexpr std::size_t RING = 4 * LOOKUP_DISTANCE;
  static_assert((RING & (RING - 1)) == 0 && RING > 2 * LOOKUP_DISTANCE);
  KeyIndex::Lookup ring[RING];
  for (std::size_t t = 0; t < n + 2 * LOOKUP_DISTANCE; ++t) {
    if (t < n) ring[t % RING] = index.start_lookup(keys[t]);
    if (t >= LOOKUP_DISTANCE && t - LOOKUP_DISTANCE < n) index.advance_lookup(ring[(t - LOOKUP_DISTANCE) % RING]);
    if (t >= 2 * LOOKUP_DISTANCE) {
      const std::size_t k = t - 2 * LOOKUP_DISTANCE;
      found[k] = index.finish_lookup(keys[k], ring[k % RING]);
      if (found[k]) reader.prefetch_object(*found[k]);
    }
  }
}

}  // namespace zelkor
