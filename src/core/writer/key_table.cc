#include "key_table.h"

#include "../platform/random.h"

#include <algorithm>
#include <new>

namespace zelkor {

KeyTable::KeyTable() : hash_key_(platform::new_hash_key()) {}

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
  const std::size_t most_keys = count_ + queued_keys;
  const std::size_t most_arena = arena_.size() + queued_bytes + queued_keys * entry_size(0);
  if (most_arena >= OFFSET_MASK) throw std::bad_alloc();
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (most_keys * 2 > capacity) capacity *= 2;
  // Every allocation comes before the first change, so a failure leaves
  // the table as it was.
  arena_.reserve_more(most_arena - arena_.size());
  staging_.reserve_more(queued_bytes - staging_.size());
  if (capacity != slots_.size()) grow_slots(capacity);
}

void KeyTable::grow_slots(std::size_t capacity) {
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> bigger(capacity, 0);
  const std::uint64_t mask = capacity - 1;
  const char* arena = arena_.data();
  for (std::uint64_t at = 0; at < arena_.size(); at += entry_size(length_of(arena + at))) {
    const std::uint64_t hash = hash_of(arena + at);
    std::uint64_t i = hash & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = tag_of(hash) | (at + 1);
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
    if ((slot & ~OFFSET_MASK) != tag) continue;
    char* entry = arena_.data() + ((slot & OFFSET_MASK) - 1);
    // Empty keys compare without memcmp: they may have no bytes to point at.
    if (hash_of(entry) == q.hash && length_of(entry) == q.length &&
        (q.length == 0 || std::memcmp(entry + KEY_AT, key, q.length) == 0)) {
      std::memcpy(entry + KEY_AT + q.length, &q.object_id, sizeof q.object_id);
      return;
    }
  }
  // Room for this entry and its slot was reserved when the key was queued.
  const std::uint64_t at = arena_.size();
  char* entry = arena_.extend(entry_size(q.length));
  const auto length = static_cast<std::uint16_t>(q.length);
  std::memcpy(entry + HASH_AT, &q.hash, sizeof q.hash);
  std::memcpy(entry + LENGTH_AT, &length, sizeof length);
  if (q.length != 0) std::memcpy(entry + KEY_AT, key, q.length);
  std::memcpy(entry + KEY_AT + q.length, &q.object_id, sizeof q.object_id);
  ++count_;
  slots_[i] = tag | (at + 1);
}

}  // namespace zelkor
