#include "key_table.h"

#include <cstring>
#include <new>

namespace zelkor {

KeyTable::KeyTable() : hash_key_(new_hash_key()) {}

void KeyTable::put(std::string_view key, std::uint64_t object_id) {
  const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
  const std::uint64_t tag = tag_of(hash);
  if (!slots_.empty()) {
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) break;
      if ((slot & ~RECORD_MASK) != tag) continue;
      Record& r = records_[(slot & RECORD_MASK) - 1];
      // An arena holding only empty keys has no storage: compare no bytes.
      if (r.hash == hash && r.length == key.size() &&
          (key.empty() || std::memcmp(arena_.data() + r.arena_offset, key.data(), key.size()) == 0)) {
        r.object_id = object_id;
        return;
      }
    }
  }
  if (records_.size() >= RECORD_MASK - 1) throw std::bad_alloc();
  // Every allocation happens before the first change, so a failure leaves
  // the table as it was.
  if ((records_.size() + 1) * 2 > slots_.size()) grow();
  if (records_.size() == records_.capacity()) records_.reserve(records_.size() * 2 + 16);
  arena_.reserve_more(key.size());

  const std::uint64_t arena_offset = arena_.size();
  arena_.append(key.data(), key.size());
  records_.push_back(Record{arena_offset, object_id, hash, static_cast<std::uint32_t>(key.size())});
  const std::uint64_t mask = slots_.size() - 1;
  std::uint64_t i = hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = tag | records_.size();
}

void KeyTable::grow() {
  const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<std::uint64_t> bigger(capacity, 0);
  const std::uint64_t mask = capacity - 1;
  for (std::size_t r = 0; r < records_.size(); ++r) {
    const std::uint64_t hash = records_[r].hash;
    std::uint64_t i = hash & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = tag_of(hash) | (r + 1);
  }
  slots_.swap(bigger);
}

}  // namespace zelkor
