#include "key_order.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "../format/coding.h"
#include "../format/huge_pages.h"

namespace zelkor {

namespace {

// One key in the sort: `chunk` holds key bytes [depth, depth + 8) as a
// big-endian word, zero-padded past the key's end, so comparing chunks
// orders keys by those bytes. The key's arena entry and length share one
// word, so that lengths are read without visiting the entry.
struct SortItem {
  std::uint64_t chunk;
  std::uint64_t entry_and_length;  // arena offset << 16 | key length (at most 65535)

  std::uint64_t entry() const noexcept { return entry_and_length >> 16; }
  std::size_t length() const noexcept { return entry_and_length & 0xFFFF; }
};

using Items = std::vector<SortItem, HugePageAllocator<SortItem>>;

// Runs shorter than this are sorted by comparison.
constexpr std::size_t RADIX_MIN = 256;

class KeySorter {
 public:
  explicit KeySorter(const KeyTable& table) : arena_(table.arena()), count_(table.size()) {}

  std::vector<std::uint64_t> sorted() {
    Items items(count_);
    std::size_t i = 0;
    for (std::uint64_t at = 0; at < arena_.size(); ++i) {
      const char* entry = arena_.data() + at;
      const std::string_view key = KeyTable::key_of(entry);
      items[i] = SortItem{chunk_at(key, 0), at << 16 | key.size()};
      at += KeyTable::entry_size(key.size());
    }
    scratch_.resize(count_);
    base_ = items.data();
    sort_run(items.data(), count_, 0, 0);
    std::vector<std::uint64_t> order(count_);
    for (std::size_t k = 0; k < count_; ++k) order[k] = items[k].entry();
    return order;
  }

 private:
  std::string_view key(const SortItem& item) const noexcept {
    return {arena_.data() + item.entry() + KeyTable::KEY_AT, item.length()};
  }

  static std::uint64_t chunk_at(std::string_view key, std::size_t depth) noexcept {
    char buf[8] = {0};
    if (depth < key.size()) std::memcpy(buf, key.data() + depth, std::min<std::size_t>(key.size() - depth, 8));
    return decode_u64(buf);
  }

  void load_chunks(SortItem* items, std::size_t n, std::size_t depth) const noexcept {
    // Keys are visited out of their arena order: fetch them well ahead
    // (a miss costs about as much as forty of these steps).
    constexpr std::size_t AHEAD = 40;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + AHEAD < n) __builtin_prefetch(key(items[i + AHEAD]).data() + depth);
      items[i].chunk = chunk_at(key(items[i]), depth);
    }
  }

  // Sorts items[0, n), which agree on their first `depth` key bytes and on
  // the first `byte` bytes of their chunks (loaded at `depth`). Most-
  // significant byte first; byte positions where all agree are passed over
  // without moving anything. Only buckets smaller than half the range are
  // sorted by recursion; the largest continues in the loop, so recursion is
  // at most logarithmically deep.
  void sort_run(SortItem* items, std::size_t n, std::size_t depth, int byte) {
    for (;;) {
      if (n < 2) return;
      if (byte < 8) byte = first_varying_byte(items, n, byte);
      if (byte == 8) {
        // Equal chunks: the keys that end within them are prefixes of every
        // longer one here and differ only in length; they come first,
        // shortest first, and the rest are ordered by their next bytes.
        const std::size_t next = depth + 8;
        SortItem* longer = move_short_keys_first(items, n, next);
        std::sort(items, longer, [](const SortItem& a, const SortItem& b) { return a.length() < b.length(); });
        n = static_cast<std::size_t>(items + n - longer);
        items = longer;
        depth = next;
        byte = 0;
        load_chunks(items, n, depth);
        continue;
      }
      if (n < RADIX_MIN) {
        // Chunks differ here, so most comparisons end at the chunk.
        std::sort(items, items + n, [&](const SortItem& a, const SortItem& b) {
          if (a.chunk != b.chunk) return a.chunk < b.chunk;
          return key(a).substr(depth) < key(b).substr(depth);
        });
        return;
      }
      const int shift = 56 - 8 * byte;
      // Four interleaved tallies: runs of equal bytes do not serialize on
      // one counter.
      std::size_t tally[4][256] = {};
      std::size_t i = 0;
      for (; i + 4 <= n; i += 4) {
        ++tally[0][(items[i].chunk >> shift) & 0xFF];
        ++tally[1][(items[i + 1].chunk >> shift) & 0xFF];
        ++tally[2][(items[i + 2].chunk >> shift) & 0xFF];
        ++tally[3][(items[i + 3].chunk >> shift) & 0xFF];
      }
      for (; i < n; ++i) ++tally[0][(items[i].chunk >> shift) & 0xFF];
      std::size_t count[256];
      for (int v = 0; v < 256; ++v) count[v] = tally[0][v] + tally[1][v] + tally[2][v] + tally[3][v];
      std::size_t start[256];
      std::size_t at = 0;
      for (int v = 0; v < 256; ++v) {
        start[v] = at;
        at += count[v];
      }
      SortItem* out = scratch_.data() + (items - base_);
      std::size_t fill[256];
      std::memcpy(fill, start, sizeof fill);
      for (std::size_t k = 0; k < n; ++k) out[fill[(items[k].chunk >> shift) & 0xFF]++] = items[k];
      std::memcpy(items, out, n * sizeof(SortItem));

      int largest = 0;
      for (int v = 1; v < 256; ++v) {
        if (count[v] > count[largest]) largest = v;
      }
      for (int v = 0; v < 256; ++v) {
        if (v != largest && count[v] > 1) sort_run(items + start[v], count[v], depth, byte + 1);
      }
      items += start[largest];
      n = count[largest];
      ++byte;
    }
  }

  // The first chunk byte, from `byte` on, in which items[0, n) differ; 8
  // when their chunks are all equal.
  static int first_varying_byte(const SortItem* items, std::size_t n, int byte) noexcept {
    std::uint64_t all = ~std::uint64_t{0};
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
      all &= items[i].chunk;
      any |= items[i].chunk;
    }
    const std::uint64_t differing = (all ^ any) & (~std::uint64_t{0} >> (8 * byte));
    return differing == 0 ? 8 : std::countl_zero(differing) / 8;
  }

  // Moves the keys at most `length` bytes long to the front, keeping the
  // order of the others; returns the start of the others.
  SortItem* move_short_keys_first(SortItem* items, std::size_t n, std::size_t length) {
    std::size_t shorter = 0;
    for (std::size_t i = 0; i < n; ++i) shorter += items[i].length() <= length;
    if (shorter == 0) return items;
    SortItem* spill = scratch_.data() + (items - base_);
    std::size_t front = 0, back = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (items[i].length() <= length) {
        items[front++] = items[i];
      } else {
        spill[back++] = items[i];
      }
    }
    std::memcpy(items + front, spill, back * sizeof(SortItem));
    return items + front;
  }

  std::string_view arena_;
  std::size_t count_;
  Items scratch_;
  SortItem* base_ = nullptr;
};

}  // namespace

std::vector<std::uint64_t> sorted_key_order(const KeyTable& table) { return KeySorter(table).sorted(); }

}  // namespace zelkor
