// The reader's index of every key. The index section is copied once into an
// owned key arena, entries back to back exactly as in the file, so each
// key sits beside its object offset. Entry positions (arena offsets in index
// order) serve the ordered queries; an open-addressing table of slots, each
// holding a hash tag and an entry's arena offset, serves exact lookups in
// one probe run and one key comparison.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "../format/index_entry.h"
#include "../platform/memory.h"
#include "../util/byte_buffer.h"
#include "../util/key_hash.h"
#include "../util/result.h"
#include "../util/uint128.h"

namespace zelkor {

class KeyIndex {
 public:
  KeyIndex() = default;

  // Walks `num_keys` entries of `file` from `index_offset`, checking every
  // bound against the file size without wrap-around, and indexes them.
  // Failure: "index section truncated (key_len)" or "(key + offset)".
  static Result<KeyIndex> build(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys);

  std::size_t size() const noexcept { return entry_count_; }
  // Bytes of the index section that the entries occupy.
  std::uint64_t section_size() const noexcept { return arena_.size(); }

  // Object offset of the last entry in index order carrying `key`.
  std::optional<std::uint64_t> find(std::string_view key) const noexcept {
    if (slot_count_ == 0) return std::nullopt;
    const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
    return probe_from(key, hash & tag_mask_, home_slot(hash));
  }

  // The lookup of find() in three steps, for a caller that overlaps the
  // cache misses of many lookups: each step reads only what the one before
  // it prefetched. start_lookup() hashes the key and prefetches its home
  // slot; advance_lookup() walks the probe run to the first slot whose tag
  // matches, or to the empty slot that ends the run, and prefetches that
  // slot's entry; finish_lookup() compares the key with the entry and, when
  // only the tag matched, goes on as find() does. The outcome is find()'s.
  struct Lookup {
    std::uint64_t tag;
    std::uint64_t slot;  // the home slot, then the candidate; NO_SLOT: a miss
    std::size_t key_size;
  };
  Lookup start_lookup(std::string_view key) const noexcept {
    if (slot_count_ == 0) return {0, NO_SLOT, key.size()};
    const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
    const std::uint64_t home = home_slot(hash);
    __builtin_prefetch(&slots_[home]);
    return {hash & tag_mask_, home, key.size()};
  }
  void advance_lookup(Lookup& lookup) const noexcept {
    if (lookup.slot == NO_SLOT) return;
    for (;;) {
      const std::uint64_t slot = slots_[lookup.slot];
      if (slot == 0) {
        lookup.slot = NO_SLOT;
        return;
      }
      if ((slot >> offset_bits_) == lookup.tag) {
        // The entry's first byte and, for a key of the size sought, the
        // last byte of its object offset.
        const std::uint64_t position = (slot & offset_mask_) - 1;
        const std::uint64_t last = position + ENTRY_KEY_LEN_SIZE + lookup.key_size + ENTRY_OFFSET_SIZE - 1;
        __builtin_prefetch(arena_.data() + position);
        if (last < arena_.size()) __builtin_prefetch(arena_.data() + last);
        return;
      }
      if (++lookup.slot == slot_count_) lookup.slot = 0;
    }
  }
  std::optional<std::uint64_t> finish_lookup(std::string_view key, const Lookup& lookup) const noexcept {
    if (lookup.slot == NO_SLOT) return std::nullopt;
    return probe_from(key, lookup.tag, lookup.slot);
  }

  // Entry `i` in index order; i < size().
  const char* entry(std::size_t i) const noexcept { return arena_.data() + entry_position(i); }
  std::string_view key_at(std::size_t i) const noexcept { return entry_key(entry(i)); }
  std::uint64_t object_offset_at(std::size_t i) const noexcept { return entry_object_offset(entry(i)); }

 private:
  static constexpr std::uint64_t NO_SLOT = ~std::uint64_t{0};

  // The probe run from slot i on, for `key` with hash tag `tag`.
  std::optional<std::uint64_t> probe_from(std::string_view key, std::uint64_t tag, std::uint64_t i) const noexcept {
    for (;;) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return std::nullopt;
      if ((slot >> offset_bits_) == tag) {
        const char* entry = arena_.data() + ((slot & offset_mask_) - 1);
        if (decode_u16(entry) == key.size() && std::memcmp(entry + ENTRY_KEY_LEN_SIZE, key.data(), key.size()) == 0) {
          return decode_u64(entry + ENTRY_KEY_LEN_SIZE + key.size());
        }
      }
      if (++i == slot_count_) i = 0;
    }
  }
  std::uint64_t home_slot(std::uint64_t hash) const noexcept {
    return static_cast<std::uint64_t>((static_cast<uint128>(hash) * slot_count_) >> 64);
  }
  std::uint64_t entry_position(std::size_t i) const noexcept {
    return wide_ ? wide_positions_[i] : narrow_positions_[i];
  }
  // Sizes the slot table for `capacity_hint` keys whose entry positions
  // are at most `max_position`.
  void prepare_table(std::size_t capacity_hint, std::uint64_t max_position);

  // Fills the slot table while the index section is walked, keeping a few
  // inserts in flight behind their prefetches.
  class TableFiller {
   public:
    TableFiller(KeyIndex& index, const char* section) noexcept;
    void add(std::uint64_t position, std::string_view key) noexcept;
    void finish() noexcept;

   private:
    struct Pending {
      std::uint64_t position, hash, home;
    };
    static constexpr std::size_t LOOKAHEAD = 16;
    void insert(const Pending& p) noexcept;

    KeyIndex& index_;
    const char* section_;
    std::size_t added_ = 0;
    Pending pending_[LOOKAHEAD];
  };

  ByteBuffer arena_;
  std::size_t entry_count_ = 0;
  // Exactly one is in use: 32-bit positions when the arena is below 4 GiB.
  bool wide_ = false;
  std::vector<std::uint32_t, platform::HugePageAllocator<std::uint32_t>> narrow_positions_;
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> wide_positions_;

  HashKey hash_key_{};
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> slots_;
  std::uint64_t slot_count_ = 0;
  int offset_bits_ = 32;
  std::uint64_t offset_mask_ = 0;
  std::uint64_t tag_mask_ = 0;
};

}  // namespace zelkor
