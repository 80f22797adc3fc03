// Queries over an open reader beyond the single lookup: the run of keys
// with a prefix, key ranges, windows of positions, the walk over distinct
// objects, and many lookups at once. Positions are index order; every
// result is computed from the reader alone and shares nothing with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "offset_set.h"
#include "reader.h"

namespace zelkor {

// Positions begin <= i < end; begin <= end always.
struct PositionRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const noexcept { return end - begin; }
  bool operator==(const PositionRange&) const = default;
};

// The run of keys that start with `prefix`: from the lower bound of the
// prefix (the halving search), one position at a time up to the first key
// that does not start with it or the end of the index. On an index in key
// order these are exactly the keys with the prefix.
PositionRange prefix_range(const Reader& reader, std::string_view prefix) noexcept;

// The keys k with start <= k < stop, an absent bound being open: begin is
// the lower bound of start (0 when open), end the lower bound of stop (the
// entry count when open), raised to begin when it lies below it (stop <=
// start: an empty range at begin).
PositionRange key_range(const Reader& reader, std::optional<std::string_view> start,
                        std::optional<std::string_view> stop) noexcept;

// [begin, end) clipped to the positions of the index: a bound below 0
// counts as 0, one past the entry count as the entry count, and end below
// begin gives an empty range at begin.
PositionRange clip_positions(const Reader& reader, std::int64_t begin, std::int64_t end) noexcept;

// Every entry whose object offset no earlier entry in index order has, in
// index order: the entries that reach each distinct object first.
class DistinctObjects {
 public:
  explicit DistinctObjects(const Reader& reader) : reader_(reader), seen_(reader.entry_count()) {}

  // The next such position, or nullopt once the index is walked.
  std::optional<std::size_t> next() {
    const std::size_t n = reader_.entry_count();
    while (position_ < n) {
      const std::size_t i = position_++;
      reader_.prefetch_ahead(i);
      if (seen_.insert(reader_.object_offset_at(i))) return i;
    }
    return std::nullopt;
  }

 private:
  const Reader& reader_;
  OffsetSet seen_;
  std::size_t position_ = 0;
};

// Looks up keys[i] for every i and stores its object offset, or nullopt
// for an absent key, in found[i] (found.size() >= keys.size()); each found
// record is prefetched for the fetch that follows. The lookups run as a
// software pipeline, LOOKUP_DISTANCE keys apart from stage to stage (hash
// and slot, probe run and entry, key comparison and record), so that the
// cache misses of about three times as many keys overlap.
inline constexpr std::size_t LOOKUP_DISTANCE = 8;
void find_many(const Reader& reader, std::span<const std::string_view> keys,
               std::span<std::optional<std::uint64_t>> found) noexcept;

}  // namespace zelkor
