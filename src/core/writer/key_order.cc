#include "key_order.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "../format/coding.h"

namespace zelkor {

namespace {

using Item = KeyOrder::Item;

// Ranges shorter than this are sorted by comparison.
constexpr std::size_t RADIX_MIN = 256;

std::size_t length_of(const Item& item) noexcept { return item.entry_and_length & 0xFFFF; }

std::uint64_t chunk_at(std::string_view key, std::size_t depth) noexcept {
  char buf[8] = {0};
  if (depth < key.size()) std::memcpy(buf, key.data() + depth, std::min<std::size_t>(key.size() - depth, 8));
  return decode_u64(buf);
}

// The first chunk byte, from `byte` on, in which items[0, n) differ; 8 when
// their chunks are all equal.
int first_varying_byte(const Item* items, std::size_t n, int byte) noexcept {
  std::uint64_t all = ~std::uint64_t{0};
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < n; ++i) {
    all &= items[i].chunk;
    any |= items[i].chunk;
  }
  const std::uint64_t differing = (all ^ any) & (~std::uint64_t{0} >> (8 * byte));
  return differing == 0 ? 8 : std::countl_zero(differing) / 8;
}

}  // namespace

KeyOrder::KeyOrder(const KeyTable& table) : arena_(table.arena()), count_(table.size()) {}

void KeyOrder::load_items() {
  items_.resize(count_);
  scratch_.resize(count_);
  std::size_t i = 0;
  for (std::uint64_t at = 0; at < arena_.size(); ++i) {
    const std::string_view k = KeyTable::key_of(arena_.data() + at);
    items_[i] = Item{chunk_at(k, 0), at << 16 | k.size()};
    at += KeyTable::entry_size(k.size());
  }
}

std::string_view KeyOrder::key(const Item& item) const noexcept {
  return {arena_.data() + (item.entry_and_length >> 16) + KeyTable::KEY_AT, length_of(item)};
}

void KeyOrder::load_chunks(Item* items, std::size_t n, std::size_t depth) const noexcept {
  // Keys are visited out of their arena order: fetch them well ahead (a
  // miss costs about as much as forty of these steps).
  constexpr std::size_t AHEAD = 40;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) __builtin_prefetch(key(items[i + AHEAD]).data() + depth);
    items[i].chunk = chunk_at(key(items[i]), depth);
  }
}

// Brings `r` to a byte on which its items differ and returns true, or sorts
// it outright and returns false: passes over chunk bytes on which all agree,
// moves past equal chunks, and sorts short ranges by comparison.
bool KeyOrder::prepare(Range& r) {
  for (;;) {
    if (r.n < 2) return false;
    if (r.byte < 8) r.byte = first_varying_byte(r.items, r.n, r.byte);
    if (r.byte == 8) {
      // Equal chunks: the keys that end within them are prefixes of every
      // longer one here and differ only in length; they come first,
      // shortest first, and the rest are ordered by their next bytes.
      const std::size_t next = r.depth + 8;
      Item* longer = std::stable_partition(r.items, r.items + r.n, [next](const Item& it) { return length_of(it) <= next; });
      std::sort(r.items, longer, [](const Item& a, const Item& b) { return length_of(a) < length_of(b); });
      r = Range{longer, static_cast<std::size_t>(r.items + r.n - longer), next, 0};
      load_chunks(r.items, r.n, r.depth);
      continue;
    }
    if (r.n < RADIX_MIN) {
      // Chunks differ here, so most comparisons end at the chunk.
      const std::size_t depth = r.depth;
      std::sort(r.items, r.items + r.n, [this, depth](const Item& a, const Item& b) {
        if (a.chunk != b.chunk) return a.chunk < b.chunk;
        return key(a).substr(depth) < key(b).substr(depth);
      });
      return false;
    }
    return true;
  }
}

// Distributes `r` by its chunk byte r.byte (most significant first) and
// calls emit(part) for each part of two or more items.
template <typename Emit>
void KeyOrder::split(const Range& r, Emit&& emit) {
  const int shift = 56 - 8 * r.byte;
  // Four interleaved tallies: runs of equal bytes do not serialize on one
  // counter.
  std::size_t tally[4][256] = {};
  std::size_t i = 0;
  for (; i + 4 <= r.n; i += 4) {
    ++tally[0][(r.items[i].chunk >> shift) & 0xFF];
    ++tally[1][(r.items[i + 1].chunk >> shift) & 0xFF];
    ++tally[2][(r.items[i + 2].chunk >> shift) & 0xFF];
    ++tally[3][(r.items[i + 3].chunk >> shift) & 0xFF];
  }
  for (; i < r.n; ++i) ++tally[0][(r.items[i].chunk >> shift) & 0xFF];
  std::size_t count[256], start[256], fill[256];
  std::size_t at = 0;
  for (int v = 0; v < 256; ++v) {
    count[v] = tally[0][v] + tally[1][v] + tally[2][v] + tally[3][v];
    start[v] = fill[v] = at;
    at += count[v];
  }
  // Scratch has the items' own positions: parts sorted at once never share.
  Item* out = scratch_.data() + (r.items - items_.data());
  for (std::size_t k = 0; k < r.n; ++k) out[fill[(r.items[k].chunk >> shift) & 0xFF]++] = r.items[k];
  std::memcpy(r.items, out, r.n * sizeof(Item));
  for (int v = 0; v < 256; ++v) {
    if (count[v] > 1) emit(Range{r.items + start[v], count[v], r.depth, r.byte + 1});
  }
}

// Sorts `r`. Only parts no larger than another part of the same split are
// sorted by recursion, the largest continues in the loop, so recursion is
// at most logarithmically deep.
void KeyOrder::sort_range(Range r) {
  while (prepare(r)) {
    Range largest{nullptr, 0, 0, 0};
    split(r, [&](Range part) {
      if (part.n > largest.n) std::swap(part, largest);
      if (part.n > 0) sort_range(part);
    });
    r = largest;
  }
}

// Splits all items into parts of at most a thirty-second of them, largest
// first, for the callers of sort_share to take one at a time.
void KeyOrder::split_into_parts() {
  const std::size_t most = std::max(RADIX_MIN, items_.size() / 32);
  std::vector<Range> pending{Range{items_.data(), items_.size(), 0, 0}};
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    if (r.n <= most) {
      parts_.push_back(r);
    } else if (prepare(r)) {
      split(r, [&](const Range& part) { pending.push_back(part); });
    }
  }
  std::sort(parts_.begin(), parts_.end(), [](const Range& a, const Range& b) { return a.n > b.n; });
}

void KeyOrder::sort_share() {
  int unsplit = UNSPLIT;
  if (stage_.compare_exchange_strong(unsplit, SPLITTING, std::memory_order_acq_rel)) {
    // Whatever happens, the others stop waiting: on an exception they find
    // no parts and return, and the exception reaches this caller.
    struct Announce {
      KeyOrder& order;
      ~Announce() {
        order.stage_.store(READY, std::memory_order_release);
        order.ready_.notify();
      }
    } announce{*this};
    load_items();
    split_into_parts();
  } else {
    ready_.wait_until([this] { return stage_.load(std::memory_order_acquire) == READY; });
  }
  for (;;) {
    const std::size_t i = next_part_.fetch_add(1, std::memory_order_relaxed);
    if (i >= parts_.size()) return;
    sort_range(parts_[i]);
  }
}

std::vector<std::uint64_t> sorted_key_order(const KeyTable& table) {
  KeyOrder order(table);
  order.sort_share();
  std::vector<std::uint64_t> entries(order.size());
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = order.entry(i);
  return entries;
}

}  // namespace zelkor
