// The reader's index of every key, in one of two forms with one encoding
// (format/slot_table.h): built in memory, where the index section is copied
// once into an owned key arena, entries back to back exactly as in the
// file; or mapped, where the section, the entry positions and the slot
// table are the mapped index's sections of the file itself. Entry
// positions (offsets in index order) serve the ordered queries; an
// open-addressing table of slots, each holding a hash tag and an entry's
// position, serves exact lookups in one probe run and one key comparison.
//
// The queries read only the views below, and check every position and
// length they read against the section before use: a mapped file's
// sections are not checked when it is opened, so a damaged one may give
// wrong answers but never a read outside the file or an endless probe.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "../format/index_entry.h"
#include "../format/mapped_index.h"
#include "../format/slot_table.h"
#include "../platform/byte_buffer.h"
#include "../util/key_hash.h"
#include "../util/result.h"
#include "../util/shared_work.h"
#include "../util/uint128.h"
#include "../platform/zeroed_array.h"

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

  // The index that a file's mapped index holds: views of its sections,
  // nothing copied or walked. `layout` came from find_mapped_index.
  static KeyIndex map(std::string_view file, const MappedIndexLayout& layout) noexcept;

  std::size_t size() const noexcept { return entry_count_; }
  // Bytes of the index section that the entries occupy.
  std::uint64_t section_size() const noexcept { return section_size_; }

  // Object offset of the last entry in index order carrying `key`.
  std::optional<std::uint64_t> find(std::string_view key) const noexcept {
    if (codec_.slot_count() == 0) return std::nullopt;
    const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
    return probe_from(key, codec_.tag(hash), codec_.home_slot(hash), probe_limit_);
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
    std::uint64_t left;  // slots the probe run may still visit, this one included
    std::size_t key_size;
  };
  Lookup start_lookup(std::string_view key) const noexcept {
    if (codec_.slot_count() == 0) return {0, NO_SLOT, 0, key.size()};
    const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
    const std::uint64_t home = codec_.home_slot(hash);
    __builtin_prefetch(table_ + 8 * home);
    return {codec_.tag(hash), home, probe_limit_, key.size()};
  }
  void advance_lookup(Lookup& lookup) const noexcept {
    for (; lookup.slot != NO_SLOT; --lookup.left) {
      const std::uint64_t slot = lookup.left == 0 ? 0 : load_slot(table_, lookup.slot);
      if (slot == 0) {
        lookup.slot = NO_SLOT;
        return;
      }
      if (codec_.tag_of_slot(slot) == lookup.tag) {
        // The entry's first byte and, for a key of the size sought, the
        // last byte of its object offset.
        const std::uint64_t position = codec_.position_of_slot(slot);
        if (position < section_size_) {
          __builtin_prefetch(section_ + position);
          const std::uint64_t rest = section_size_ - position;
          if (ENTRY_FIXED_SIZE + lookup.key_size <= rest) {
            __builtin_prefetch(section_ + position + ENTRY_FIXED_SIZE + lookup.key_size - 1);
          }
        }
        return;
      }
      lookup.slot = codec_.next_slot(lookup.slot);
    }
  }
  std::optional<std::uint64_t> finish_lookup(std::string_view key, const Lookup& lookup) const noexcept {
    if (lookup.slot == NO_SLOT) return std::nullopt;
    return probe_from(key, lookup.tag, lookup.slot, lookup.left);
  }

  // Entry `i` in index order; i < size(). An entry that does not lie
  // wholly inside the section (a damaged mapped index) reads as the empty
  // key with an object offset no file reaches.
  const char* entry(std::size_t i) const noexcept {
    const char* found = entry_at(entry_position(i));
    return found != nullptr ? found : DAMAGED_ENTRY;
  }
  std::string_view key_at(std::size_t i) const noexcept { return entry_key(entry(i)); }
  std::uint64_t object_offset_at(std::size_t i) const noexcept { return entry_object_offset(entry(i)); }

  // What the deep check of a mapped index compares: entry i's stored
  // position, and the position of the slot that a lookup of `key` stops
  // at (nullopt when none), with the number of slots in use.
  std::uint64_t stored_position(std::size_t i) const noexcept { return entry_position(i); }
  std::optional<std::uint64_t> found_position(std::string_view key) const noexcept;
  std::uint64_t slots_in_use() const noexcept;

 private:
  static constexpr std::uint64_t NO_SLOT = ~std::uint64_t{0};
  static constexpr char DAMAGED_ENTRY[ENTRY_FIXED_SIZE] = {0, 0, '\xff', '\xff', '\xff', '\xff',
                                                           '\xff', '\xff', '\xff', '\xff'};

  // The entry at `position` of the section when it lies wholly inside it.
  const char* entry_at(std::uint64_t position) const noexcept {
    if (position >= section_size_ || section_size_ - position < ENTRY_FIXED_SIZE) return nullptr;
    const char* at = section_ + position;
    return decode_u16(at) <= section_size_ - position - ENTRY_FIXED_SIZE ? at : nullptr;
  }

  // The probe run from slot i on, for `key` with hash tag `tag`, visiting
  // `left` slots at most; the slot of the entry found, or NO_SLOT.
  std::uint64_t probe_slot(std::string_view key, std::uint64_t tag, std::uint64_t i,
                           std::uint64_t left) const noexcept {
    for (; left > 0; --left) {
      const std::uint64_t slot = load_slot(table_, i);
      if (slot == 0) return NO_SLOT;
      if (codec_.tag_of_slot(slot) == tag) {
        const std::uint64_t position = codec_.position_of_slot(slot);
        if (position < section_size_ && section_size_ - position >= ENTRY_FIXED_SIZE + key.size()) {
          const char* entry = section_ + position;
          if (decode_u16(entry) == key.size() &&
              (key.empty() || std::memcmp(entry + ENTRY_KEY_LEN_SIZE, key.data(), key.size()) == 0)) {
            return i;
          }
        }
      }
      i = codec_.next_slot(i);
    }
    return NO_SLOT;
  }
  std::optional<std::uint64_t> probe_from(std::string_view key, std::uint64_t tag, std::uint64_t i,
                                          std::uint64_t left) const noexcept {
    const std::uint64_t s = probe_slot(key, tag, i, left);
    if (s == NO_SLOT) return std::nullopt;
    return decode_u64(section_ + codec_.position_of_slot(load_slot(table_, s)) + ENTRY_KEY_LEN_SIZE + key.size());
  }

  std::uint64_t home_slot(std::uint64_t hash) const noexcept { return codec_.home_slot(hash); }
  std::uint64_t next_slot(std::uint64_t s) const noexcept { return codec_.next_slot(s); }
  // The slots of the table being built in memory.
  std::uint64_t owned_slot(std::uint64_t s) const noexcept {
    return load_slot(reinterpret_cast<const char*>(slots_.data()), s);
  }
  void set_owned_slot(std::uint64_t s, std::uint64_t value) noexcept {
    store_slot(reinterpret_cast<char*>(slots_.data()), s, value);
  }
  // One step of inserting the entry at `position` of `section`, at slot s
  // of its probe run: true once the entry is placed, in an empty slot or
  // in the slot of an entry with the same key, which it takes over when it
  // lies later in the index (a key listed twice: the later entry wins,
  // whatever order the inserts come in). A key is read only when a tag
  // matches.
  bool place(std::uint64_t s, std::uint64_t hash, std::uint64_t position, const char* section) noexcept {
    const std::uint64_t slot = owned_slot(s);
    if (slot == 0) {
      set_owned_slot(s, codec_.make_slot(hash, position));
      return true;
    }
    const std::uint64_t held = codec_.position_of_slot(slot);
    if (codec_.tag_of_slot(slot) != codec_.tag(hash) || entry_key(section + held) != entry_key(section + position)) {
      return false;
    }
    if (held < position) set_owned_slot(s, codec_.make_slot(hash, position));
    return true;
  }
  std::uint64_t entry_position(std::size_t i) const noexcept {
    return wide_ ? decode_u64(positions_ + 8 * i) : decode_u32(positions_ + 4 * i);
  }
  void set_entry_position(std::size_t i, std::uint64_t position) noexcept {
    if (wide_) {
      encode_u64(reinterpret_cast<char*>(wide_positions_.data() + i), position);
    } else {
      encode_u32(reinterpret_cast<char*>(narrow_positions_.data() + i), static_cast<std::uint32_t>(position));
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

  // What the queries read: the owned copies below, or the mapped file.
  const char* section_ = nullptr;
  std::uint64_t section_size_ = 0;
  const char* positions_ = nullptr;
  const char* table_ = nullptr;
  std::size_t entry_count_ = 0;
  // 64-bit positions when the section may pass 4 GiB.
  bool wide_ = false;
  HashKey hash_key_{};
  SlotCodec codec_;
  std::uint64_t probe_limit_ = 0;

  // An index built in memory owns its copies; exactly one of the two
  // position arrays is in use.
  ByteBuffer arena_;
  ZeroedArray<std::uint32_t> narrow_positions_;
  ZeroedArray<std::uint64_t> wide_positions_;
  ZeroedArray<std::uint64_t> slots_;
};

}  // namespace zelkor
