// The order of a key table's entries by key: ascending unsigned bytewise
// (a key before every longer key it is a prefix of).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "../platform/memory.h"
#include "../util/shared_work.h"
#include "key_table.h"

namespace zelkor {

// Below this many keys a second thread costs a build more than it saves.
inline constexpr std::uint64_t KEYS_WORTH_A_THREAD = 65536;

class KeyOrder {
 public:
  // Prepares to sort every entry of `table`; the table must not change
  // until the order has been read.
  explicit KeyOrder(const KeyTable& table);
  KeyOrder(const KeyOrder&) = delete;
  KeyOrder& operator=(const KeyOrder&) = delete;

  // Does a share of the sorting. Several threads may call this at once:
  // the first splits the entries into independent parts while the others
  // wait, and every caller then sorts parts until none is left unclaimed.
  // The order is complete once every call has returned.
  void sort_share();

  std::size_t size() const noexcept { return count_; }
  // Arena offset of the i-th entry in key order.
  std::uint64_t entry(std::size_t i) const noexcept { return items_[i].entry_and_length >> 16; }
  // Length of the i-th key in key order.
  std::size_t key_length(std::size_t i) const noexcept { return items_[i].entry_and_length & 0xFFFF; }

  // A key's bytes [depth, depth + 8) as a big-endian word, zero-padded past
  // the key's end, so comparing chunks orders keys by those bytes. The
  // entry's arena offset and the key's length share one word, so that
  // lengths are read without visiting the entry.
  struct Item {
    std::uint64_t chunk;
    std::uint64_t entry_and_length;  // arena offset << 16 | key length (at most 65535)
  };

 private:
  // Items that agree on their first `depth` key bytes and on the first
  // `byte` bytes of their chunks (loaded at `depth`).
  struct Range {
    Item* items;
    std::size_t n;
    std::size_t depth;
    int byte;
  };

  std::string_view key(const Item& item) const noexcept;
  void load_chunks(Item* items, std::size_t n, std::size_t depth) const noexcept;
  bool prepare(Range& r);
  template <typename Emit>
  void split(const Range& r, Emit&& emit);
  void sort_range(Range r);
  void load_items();
  void split_into_parts();

  static constexpr int UNSPLIT = 0, SPLITTING = 1, READY = 2;

  std::string_view arena_;
  std::size_t count_;
  std::vector<Item, platform::HugePageAllocator<Item>> items_;
  std::vector<Item, platform::HugePageAllocator<Item>> scratch_;
  std::vector<Range> parts_;
  std::atomic<int> stage_{UNSPLIT};
  // Those who wait for the split wait here, not in stage_.wait():
  // libstdc++ before GCC 13 can lose that wake-up on systems without a
  // futex (mingw-w64's Windows among them), and the build would hang.
  Wakeup ready_;
  std::atomic<std::size_t> next_part_{0};
};

// The arena offsets of `table`'s entries in key order, sorted on the
// calling thread alone.
std::vector<std::uint64_t> sorted_key_order(const KeyTable& table);

}  // namespace zelkor
