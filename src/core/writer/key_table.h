// The writer's key map: distinct keys with the object id each maps to.
//
// The key arena holds one entry per distinct key, in the order keys were
// first put: the key's 64-bit hash, its length (u16), its bytes and the
// object id (u64), back to back, native-endian. An open-addressing table of
// slots leads to the entries: each slot holds a 16-bit hash tag and an
// entry's arena offset + 1 (0 marks an empty slot). Growing the table reads
// the stored hashes in one sequential walk; build sorts the entries and
// copies each one's length and key straight into the index.
//
// A put only hashes its key, prefetches the key's home slot and queues the
// key; the queued keys are inserted, in order, LOOKAHEAD puts later or when
// the table is next read. The cache misses of many puts then overlap.
// Every allocation a queued key can need is made when it is queued, so the
// deferred inserts never fail.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "../platform/byte_buffer.h"
#include "../platform/memory.h"
#include "../util/key_hash.h"

namespace zelkor {

class KeyTable {
 public:
  // Arena entry layout.
  static constexpr std::size_t HASH_AT = 0;
  static constexpr std::size_t LENGTH_AT = 8;
  static constexpr std::size_t KEY_AT = 10;
  static std::size_t entry_size(std::size_t key_len) noexcept { return KEY_AT + key_len + 8; }

  KeyTable();

  // Maps `key` (at most 65535 bytes) to `object_id`, replacing an earlier
  // mapping of the same key. Throws std::bad_alloc with the table unchanged.
  void put(std::string_view key, std::uint64_t object_id);

  // The readers below see every put made so far.
  std::uint64_t size() const noexcept {
    settle();
    return count_;
  }
  // Total bytes of all distinct keys.
  std::uint64_t key_bytes() const noexcept {
    settle();
    return arena_.size() - count_ * entry_size(0);
  }
  // The arena, for a walk over all entries (offset 0, then each entry's
  // offset + entry_size(key length)).
  std::string_view arena() const noexcept {
    settle();
    return arena_.view();
  }

  static std::uint16_t length_of(const char* entry) noexcept {
    std::uint16_t n;
    std::memcpy(&n, entry + LENGTH_AT, sizeof n);
    return n;
  }
  static std::string_view key_of(const char* entry) noexcept { return {entry + KEY_AT, length_of(entry)}; }
  static std::uint64_t object_id_of(const char* entry) noexcept {
    std::uint64_t id;
    std::memcpy(&id, entry + KEY_AT + length_of(entry), sizeof id);
    return id;
  }

 private:
  static constexpr int OFFSET_BITS = 48;
  static constexpr std::uint64_t OFFSET_MASK = (std::uint64_t{1} << OFFSET_BITS) - 1;
  static constexpr std::size_t LOOKAHEAD = 16;

  struct Queued {
    std::uint64_t staging_offset;
    std::uint64_t length;
    std::uint64_t hash;
    std::uint64_t object_id;
  };

  static std::uint64_t tag_of(std::uint64_t hash) noexcept { return hash >> OFFSET_BITS << OFFSET_BITS; }
  static std::uint64_t hash_of(const char* entry) noexcept {
    std::uint64_t h;
    std::memcpy(&h, entry + HASH_AT, sizeof h);
    return h;
  }
  void reserve_for(std::size_t queued_keys, std::size_t queued_bytes);
  void grow_slots(std::size_t capacity);
  // Inserts every queued key, oldest first. Never allocates.
  void settle() const noexcept;
  void insert(const Queued& q) const noexcept;

  HashKey hash_key_;
  // The table is logically unchanged by settling, which the const readers
  // do; calls into one writer never overlap, so this needs no lock.
  mutable ByteBuffer arena_;
  mutable std::uint64_t count_ = 0;
  mutable std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> slots_;  // power of two, ≤ half full
  mutable ByteBuffer staging_;  // bytes of the queued keys
  mutable Queued queue_[LOOKAHEAD];
  mutable std::size_t queued_ = 0;
};

}  // namespace zelkor
