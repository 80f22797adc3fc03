// The writer's key map: distinct keys with the object id each maps to.
// Keys live back to back in one arena; an open-addressing table of slots
// leads to the key records. Records are never removed, so record order is
// insertion order of distinct keys (invisible: build sorts them).
//
// A put only hashes its key, prefetches the key's home slot and queues the
// key; the queued keys are inserted, in order, LOOKAHEAD puts later or when
// the table is next read. The cache misses of many puts then overlap.
// Every allocation a queued key can need is made when it is queued, so the
// deferred inserts never fail.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "../format/byte_buffer.h"
#include "../format/huge_pages.h"
#include "../format/key_hash.h"

namespace zelkor {

class KeyTable {
 public:
  struct Record {
    std::uint64_t arena_offset;
    std::uint64_t object_id;
    std::uint64_t hash;
    std::uint64_t length;
  };

  KeyTable();

  // Maps `key` to `object_id`, replacing an earlier mapping of the same key.
  // Throws std::bad_alloc with the table unchanged.
  void put(std::string_view key, std::uint64_t object_id);

  // The readers below see every put made so far.
  std::uint64_t size() const noexcept {
    settle();
    return records_.size();
  }
  const std::vector<Record, HugePageAllocator<Record>>& records() const noexcept {
    settle();
    return records_;
  }
  // Only for records obtained after the last put.
  std::string_view key_of(const Record& r) const noexcept {
    return {arena_.data() + r.arena_offset, r.length};
  }
  // Total bytes of all distinct keys.
  std::uint64_t key_bytes() const noexcept {
    settle();
    return arena_.size();
  }

 private:
  // A slot holds (record index + 1) in its low RECORD_BITS and the top bits
  // of the key's hash above them; 0 marks an empty slot.
  static constexpr int RECORD_BITS = 40;
  static constexpr std::uint64_t RECORD_MASK = (std::uint64_t{1} << RECORD_BITS) - 1;
  static constexpr std::size_t LOOKAHEAD = 16;

  struct Queued {
    std::uint64_t staging_offset;
    std::uint64_t length;
    std::uint64_t hash;
    std::uint64_t object_id;
  };

  static std::uint64_t tag_of(std::uint64_t hash) noexcept { return hash >> RECORD_BITS << RECORD_BITS; }
  void reserve_for(std::size_t queued_keys, std::size_t queued_bytes);
  void grow_slots(std::size_t capacity);
  // Inserts every queued key, oldest first. Never allocates.
  void settle() const noexcept;
  void insert(const Queued& q) const noexcept;

  HashKey hash_key_;
  // The table is logically unchanged by settling, which the const readers
  // do; calls into one writer never overlap, so this needs no lock.
  mutable ByteBuffer arena_;
  mutable std::vector<Record, HugePageAllocator<Record>> records_;
  mutable std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> slots_;  // power of two, ≤ half full
  mutable ByteBuffer staging_;  // bytes of the queued keys
  mutable Queued queue_[LOOKAHEAD];
  mutable std::size_t queued_ = 0;
};

}  // namespace zelkor
