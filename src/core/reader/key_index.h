// The reader's index of every key. The index section is copied once into an
// owned key arena, entries back to back exactly as in the file, so each
// key sits beside its object offset. Entry positions (arena offsets in index
// order) serve the ordered queries; an open-addressing table of slots, each
// holding a hash tag and an entry's arena offset, serves exact lookups in
// one probe run and one key comparison.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "../format/index_entry.h"
#include "../util/byte_buffer.h"
#include "../util/key_hash.h"
#include "../util/result.h"
#include "../util/shared_work.h"
#include "../util/uint128.h"
#include "../util/zeroed_array.h"

namespace zelkor {

class KeyIndex {
 public:
  KeyIndex() = default;

  // From this many entries on, an index is built by two threads.
  static constexpr std::size_t PARALLEL_FROM = 32768;

  // The CRC-32 of `bytes`, computed by build alongside the index (when two
  // threads build it, partly while the entries are walked).
  struct Checksum {
    std::string_view bytes;
    std::uint32_t crc = 0;
  };
  // What the caller does with the pages of the index section in the map
  // (positions relative to index_offset): maps them in just before they are
  // read (from either thread), and drops them once they are copied (on the
  // calling thread, the other one gone: dropping pages while another thread
  // of the process runs costs it an interruption). Hints.
  class SectionPages {
   public:
    virtual void map_in(std::uint64_t begin, std::uint64_t length) noexcept = 0;
    virtual void copied(std::uint64_t begin, std::uint64_t length) noexcept = 0;

   protected:
    ~SectionPages() = default;
  };
  struct Options {
    // From this many entries on, two threads share the work.
    std::size_t parallel_from = PARALLEL_FROM;
    // Computed whatever the outcome, when given.
    Checksum* checksum = nullptr;
    SectionPages* pages = nullptr;
  };

  // Walks `num_keys` entries of `file` from `index_offset`, checking every
  // bound against the file size without wrap-around, and indexes them.
  // Failure: "index section truncated (key_len)" or "(key + offset)".
  static Result<KeyIndex> build(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                                const Options& options);
  static Result<KeyIndex> build(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys) {
    return build(file, index_offset, num_keys, Options());
  }

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
        const char* entry = arena_.data() + slot_position(slot);
        if (decode_u16(entry) == key.size() && std::memcmp(entry + ENTRY_KEY_LEN_SIZE, key.data(), key.size()) == 0) {
          return decode_u64(entry + ENTRY_KEY_LEN_SIZE + key.size());
        }
      }
      if (++i == slot_count_) i = 0;
    }
  }

  // A slot: the hash's tag above the entry position + 1 (0 is the empty slot).
  std::uint64_t home_slot(std::uint64_t hash) const noexcept {
    return static_cast<std::uint64_t>((static_cast<uint128>(hash) * slot_count_) >> 64);
  }
  std::uint64_t make_slot(std::uint64_t hash, std::uint64_t position) const noexcept {
    return ((hash & tag_mask_) << offset_bits_) | (position + 1);
  }
  bool tag_matches(std::uint64_t slot, std::uint64_t hash) const noexcept {
    return (slot >> offset_bits_) == (hash & tag_mask_);
  }
  std::uint64_t slot_position(std::uint64_t slot) const noexcept { return (slot & offset_mask_) - 1; }
  std::uint64_t next_slot(std::uint64_t s) const noexcept { return s + 1 == slot_count_ ? 0 : s + 1; }
  // One step of inserting the entry at `position` of `section`, at slot s
  // of its probe run: true once the entry is placed, in an empty slot or
  // in the slot of an entry with the same key, which it takes over when it
  // lies later in the index (a key listed twice: the later entry wins,
  // whatever order the inserts come in). A key is read only when a tag
  // matches.
  bool place(std::uint64_t s, std::uint64_t hash, std::uint64_t position, const char* section) noexcept {
    const std::uint64_t slot = slots_[s];
    if (slot == 0) {
      slots_[s] = make_slot(hash, position);
      return true;
    }
    if (!tag_matches(slot, hash) || entry_key(section + slot_position(slot)) != entry_key(section + position)) {
      return false;
    }
    if (slot_position(slot) < position) slots_[s] = make_slot(hash, position);
    return true;
  }
  std::uint64_t entry_position(std::size_t i) const noexcept {
    return wide_ ? wide_positions_[i] : narrow_positions_[i];
  }
  void set_entry_position(std::size_t i, std::uint64_t position) noexcept {
    if (wide_) {
      wide_positions_[i] = position;
    } else {
      narrow_positions_[i] = static_cast<std::uint32_t>(position);
    }
  }
  // Sizes the slot table for `capacity_hint` keys whose entry positions
  // are at most `max_position`.
  void prepare_table(std::size_t capacity_hint, std::uint64_t max_position);
  // Checks the bounds of the `num_keys` entries from `index_offset` and
  // notes their positions; `visit(position, key)` sees each one. Returns
  // the length of the section the entries take.
  template <typename Visit>
  Result<std::uint64_t> walk(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                             Visit&& visit);

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

  // The walk on this thread, the rest shared with a second one.
  Status build_in_parts(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                        const char* section, const Options& options);
  // Has the pages of the slot table and of the later positions zeroed
  // while `state` holds `walking`.
  void prefault_while(const std::atomic<int>& state, int walking) noexcept;
  // How far ahead of a walk the section's pages are mapped in.
  static std::uint64_t section_estimate(std::uint64_t room, std::uint32_t num_keys) noexcept;
  // The build of the slot table and the arena in parts that two threads
  // share (key_index_parts.cc), once the entries have been walked. Both
  // threads call take_part; the arena gets the section's `section_size`
  // bytes.
  struct Hashed {
    std::uint64_t hash, position;
  };
  class PartsBuild {
   public:
    // `alone` set: the calling thread no longer counts on the second.
    PartsBuild(KeyIndex& index, const char* section, std::uint64_t section_size, std::atomic<bool>& alone);
    // The second thread's part ends where `alone` is set. The calling
    // thread sets it when it had to wait long for the second one, which
    // the system then keeps from running: it does the rest alone.
    void take_part(bool second) noexcept;
    // After every thread has left take_part: a failure of any part.
    void rethrow_failure();

   private:
    void put(std::size_t at, const Hashed& h) noexcept;
    Hashed get(std::size_t at) const noexcept;
    std::uint64_t first_slot(std::size_t bucket) const noexcept;
    void scatter(std::size_t run);
    void insert_group(std::size_t group);
    void insert_rest() noexcept;
    bool insert_before(const Hashed& h, std::uint64_t end_slot) noexcept;
    void insert_anywhere(const Hashed& h) noexcept;

    KeyIndex& ix_;
    const char* section_;
    std::uint64_t section_size_;
    std::atomic<bool>& alone_;
    int bits_;
    std::size_t buckets_;
    std::size_t runs_;
    std::size_t run_entries_;
    std::size_t groups_;
    std::size_t capacity_ = 0;  // entries per bucket and run
    char* arena_ = nullptr;
    char* room_ = nullptr;  // the buckets: borrowed from the arena, or owned_room_
    ZeroedArray<Hashed> owned_room_;
    std::vector<std::size_t> filled_;             // per run and bucket
    std::vector<std::vector<Hashed>> overflow_;   // per run: a bucket was full
    std::vector<std::vector<Hashed>> deferred_;   // per group: the probe left its stretch
    SharedWork scatter_, insert_, copy_;
  };

  ByteBuffer arena_;
  std::size_t entry_count_ = 0;
  // Exactly one is in use: 32-bit positions when the arena is below 4 GiB.
  bool wide_ = false;
  ZeroedArray<std::uint32_t> narrow_positions_;
  ZeroedArray<std::uint64_t> wide_positions_;

  HashKey hash_key_{};
  ZeroedArray<std::uint64_t> slots_;
  std::uint64_t slot_count_ = 0;
  int offset_bits_ = 32;
  std::uint64_t offset_mask_ = 0;
  std::uint64_t tag_mask_ = 0;
};

}  // namespace zelkor
