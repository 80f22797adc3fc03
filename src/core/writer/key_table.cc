#include "key_table.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zelkor {

KeyTable::KeyTable() : hash_key_(new_hash_key()) {}

void KeyTable::put(std::string_view key, std::uint64_t object_id) {
  if (queued_ == LOOKAHEAD) settle();
  // Room for this key as if it and every queued key were new.
  reserve_for(queued_ + 1, staging_.size() + key.size());
  const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
  __builtin_prefetch(&slots_[hash & (slots_.size() - 1)], 1);
  const std::uint64_t at = staging_.size();
  staging_.append(key.data(), key.size());  // reserved above: cannot throw
  queue_[queued_++] = Queued{at, key.size(), hash, object_id};
}

void KeyTable::reserve_for(std::size_t queued_keys, std::size_t queued_bytes) {
  const std::size_t most_records = records_.size() + queued_keys;
  if (most_records >= RECORD_MASK) throw std::bad_alloc();
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (most_records * 2 > capacity) capacity *= 2;
  // Every allocation comes before the first change, so a failure leaves
  // the table as it was.
  if (most_records > records_.capacity()) records_.reserve(std::max(most_records, records_.capacity() * 2));
  arena_.reserve_more(queued_bytes);
  staging_.reserve_more(queued_bytes - staging_.size());
  if (capacity != slots_.size()) grow_slots(capacity);
}

void KeyTable::grow_slots(std::size_t capacity) {
  std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> bigger(capacity, 0);
  const std::uint64_t mask = capacity - 1;
  for (std::size_t r = 0; r < records_.size(); ++r) {
    const std::uint64_t hash = records_[r].hash;
    std::uint64_t i = hash & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = tag_of(hash) | (r + 1);
  }
  slots_.swap(bigger);
}

void KeyTable::settle() const noexcept {
  if (queued_ == 0) return;  // nothing written: safe beside other readers
  for (std::size_t q = 0; q < queued_; ++q) insert(queue_[q]);
  queued_ = 0;
  staging_.truncate(0);
}

void KeyTable::insert(const Queued& q) const noexcept {
  const char* key = staging_.data() + q.staging_offset;
  const std::uint64_t tag = tag_of(q.hash);
  const std::uint64_t mask = slots_.size() - 1;
  std::uint64_t i = q.hash & mask;
  for (;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) break;
    if ((slot & ~RECORD_MASK) != tag) continue;
    Record& r = records_[(slot & RECORD_MASK) - 1];
    // Empty keys compare without memcmp: an arena of empty keys has no storage.
    if (r.hash == q.hash && r.length == q.length &&
        (q.length == 0 || std::memcmp(arena_.data() + r.arena_offset, key, q.length) == 0)) {
      r.object_id = q.object_id;
      return;
    }
  }
  // Capacity for this record, its key bytes and its slot was reserved when
  // the key was queued.
  const std::uint64_t arena_offset = arena_.size();
  arena_.append(key, q.length);
  records_.push_back(Record{arena_offset, q.object_id, q.hash, q.length});
  slots_[i] = tag | records_.size();
}

}  // namespace zelkor
