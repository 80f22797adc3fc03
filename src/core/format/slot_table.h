// The hash table of keys, as a reader holds it in memory and as the mapped
// index stores it in the file: one encoding for both.
//
// The table is an array of slots, each a u64 stored big-endian. Slot 0 is
// empty; any other value is (tag << offset_bits) | (position + 1), where
// position is an entry's offset from the start of the index section and tag
// the low (64 - offset_bits) bits of the key's 64-bit hash. A key's home
// slot is the high 64 bits of hash * slot_count, so any slot count works.
// A lookup walks the slots from the home slot on (wrapping at the end) to
// the first empty slot, or for at most `probe_limit` slots, whichever comes
// first; a key is found only in a slot whose tag matches its hash and whose
// entry holds the same bytes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "../util/key_hash.h"
#include "../util/split_mix.h"
#include "../util/uint128.h"
#include "coding.h"

namespace zelkor {

// The slot encoding of one table: its size and how many low bits of a slot
// carry the position.
class SlotCodec {
 public:
  SlotCodec() = default;
  // offset_bits from 32 to 63.
  SlotCodec(std::uint64_t slot_count, int offset_bits) noexcept
      : slot_count_(slot_count),
        offset_bits_(offset_bits),
        offset_mask_((std::uint64_t{1} << offset_bits) - 1),
        tag_mask_((std::uint64_t{1} << (64 - offset_bits)) - 1) {}

  // At least 32 bits, and enough for every position + 1 up to `max_position`.
  static int offset_bits_for(std::uint64_t max_position) noexcept {
    return std::max(32, static_cast<int>(std::bit_width(max_position)));
  }
  // Room for `keys` keys at most two thirds full: short probe runs.
  static std::uint64_t slot_count_for(std::uint64_t keys) noexcept {
    return keys == 0 ? 0 : keys + keys / 2 + 1;
  }

  std::uint64_t slot_count() const noexcept { return slot_count_; }
  int offset_bits() const noexcept { return offset_bits_; }
  std::uint64_t tag(std::uint64_t hash) const noexcept { return hash & tag_mask_; }
  std::uint64_t tag_of_slot(std::uint64_t slot) const noexcept { return slot >> offset_bits_; }
  std::uint64_t position_of_slot(std::uint64_t slot) const noexcept { return (slot & offset_mask_) - 1; }
  std::uint64_t home_slot(std::uint64_t hash) const noexcept {
    return static_cast<std::uint64_t>((static_cast<uint128>(hash) * slot_count_) >> 64);
  }
  std::uint64_t make_slot(std::uint64_t hash, std::uint64_t position) const noexcept {
    return (tag(hash) << offset_bits_) | (position + 1);
  }
  std::uint64_t next_slot(std::uint64_t s) const noexcept { return s + 1 == slot_count_ ? 0 : s + 1; }

 private:
  std::uint64_t slot_count_ = 0;
  int offset_bits_ = 32;
  std::uint64_t offset_mask_ = 0;
  std::uint64_t tag_mask_ = 0;
};

// The slot at index s of a table stored from `table` on (no alignment
// is assumed: a table in a file lies wherever the file says).
inline std::uint64_t load_slot(const char* table, std::uint64_t s) noexcept { return decode_u64(table + 8 * s); }
inline void store_slot(char* table, std::uint64_t s, std::uint64_t value) noexcept {
  encode_u64(table + 8 * s, value);
}

// The hash key of a table stored in a file: spread from the 64-bit seed
// that the file records.
inline HashKey hash_key_from_seed(std::uint64_t seed) noexcept {
  HashKey key;
  key.k0 = split_mix(seed);
  key.k1 = split_mix(key.k0 ^ 0x6a09e667f3bcc908ULL) | 1;
  key.k2 = split_mix(key.k1 ^ 0xbb67ae8584caa73bULL) | 1;
  return key;
}

}  // namespace zelkor
