#include "key_order.h"

#include <algorithm>
#include <cstring>

#include "../format/coding.h"

namespace zelkor {

namespace {

// The first 16 key bytes as two big-endian words, zero-padded: comparing
// the words orders keys by those bytes, so most comparisons never touch the
// key arena.
struct SortItem {
  std::uint64_t head_hi;
  std::uint64_t head_lo;
  std::uint64_t record;
};

std::uint64_t big_endian_word(const char* p, std::size_t n) noexcept {
  char buf[8] = {0};
  // An empty key may have no storage behind it (p null): copy nothing.
  if (n > 0) std::memcpy(buf, p, std::min<std::size_t>(n, 8));
  return decode_u64(buf);
}

}  // namespace

std::vector<std::uint64_t> sorted_key_order(const KeyTable& table) {
  const auto& records = table.records();
  std::vector<SortItem> items(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::string_view key = table.key_of(records[i]);
    items[i].head_hi = big_endian_word(key.data(), key.size());
    items[i].head_lo = key.size() > 8 ? big_endian_word(key.data() + 8, key.size() - 8) : 0;
    items[i].record = i;
  }
  std::sort(items.begin(), items.end(), [&](const SortItem& a, const SortItem& b) {
    if (a.head_hi != b.head_hi) return a.head_hi < b.head_hi;
    if (a.head_lo != b.head_lo) return a.head_lo < b.head_lo;
    // Zero padding makes "a" and "a\0" alike in the head; the full keys decide.
    const std::string_view ka = table.key_of(records[a.record]);
    const std::string_view kb = table.key_of(records[b.record]);
    return ka < kb;  // char_traits<char>::compare is unsigned bytewise
  });
  std::vector<std::uint64_t> order(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) order[i] = items[i].record;
  return order;
}

}  // namespace zelkor
