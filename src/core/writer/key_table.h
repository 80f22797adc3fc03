// The writer's key map: distinct keys with the object id each maps to.
// Keys live back to back in one arena; an open-addressing table of slots
// leads to the key records. Records are never removed, so record order is
// insertion order of distinct keys (invisible: build sorts them).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "../format/byte_buffer.h"
#include "../format/key_hash.h"

namespace zelkor {

class KeyTable {
 public:
  struct Record {
    std::uint64_t arena_offset;
    std::uint64_t object_id;
    std::uint64_t hash;
    std::uint32_t length;
  };

  KeyTable();

  // Maps `key` to `object_id`, replacing an earlier mapping of the same key.
  // Throws std::bad_alloc with the table unchanged.
  void put(std::string_view key, std::uint64_t object_id);

  std::uint64_t size() const noexcept { return records_.size(); }
  const std::vector<Record>& records() const noexcept { return records_; }
  std::string_view key_of(const Record& r) const noexcept {
    return {arena_.data() + r.arena_offset, r.length};
  }
  // Total bytes of all distinct keys.
  std::uint64_t key_bytes() const noexcept { return arena_.size(); }

 private:
  // A slot holds (record index + 1) in its low RECORD_BITS and the top bits
  // of the key's hash above them; 0 marks an empty slot.
  static constexpr int RECORD_BITS = 40;
  static constexpr std::uint64_t RECORD_MASK = (std::uint64_t{1} << RECORD_BITS) - 1;

  static std::uint64_t tag_of(std::uint64_t hash) noexcept { return hash >> RECORD_BITS << RECORD_BITS; }
  void grow();

  HashKey hash_key_;
  ByteBuffer arena_;
  std::vector<Record> records_;
  std::vector<std::uint64_t> slots_;  // power-of-two size, at most half full
};

}  // namespace zelkor
