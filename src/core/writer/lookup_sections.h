// The mapped index of a build (format/mapped_index.h): the entry positions
// in key order, the slot table and the search heads.
//
// The table's hash seed comes from the content: a digest of every key in
// key order (KeyDigest). Should the table come out with long probe runs
// (keys chosen to collide under that seed), the seed is derived again from
// the one before, a few times, and the best table kept. Inserts go in key
// order, so the same keys always give the same table, byte for byte.
//
// The keys are hashed for the table while the index section is laid out
// (each key is at hand then): the build stores the hash of the key of rank
// i at hashes()[i], under table_key(), and calls finish() once every hash
// is in.
#pragma once

#include <cstdint>
#include <string_view>

#include "../format/mapped_index.h"
#include "../format/slot_table.h"
#include "../platform/byte_buffer.h"
#include "../util/key_hash.h"
#include "../platform/zeroed_array.h"
#include "key_order.h"
#include "key_table.h"

namespace zelkor {

// A digest of keys in the order they are added.
class KeyDigest {
 public:
  void add(std::string_view key) noexcept { add_hash(hash_of(key)); }
  // add() in two steps: the key's hash, which any thread may compute, then
  // its turn in the digest.
  static std::uint64_t hash_of(std::string_view key) noexcept;
  void add_hash(std::uint64_t hash) noexcept;
  // The table's first seed.
  std::uint64_t seed() const noexcept;

 private:
  std::uint64_t state_ = 0;
  std::uint64_t count_ = 0;
};

class LookupSections {
 public:
  // For the keys of `order` (complete), whose index section is
  // `index_size` bytes, with the first seed `seed`.
  LookupSections(const KeyOrder& order, std::uint64_t index_size, std::uint64_t seed);

  const HashKey& table_key() const noexcept { return table_key_; }
  std::uint64_t* hashes() noexcept { return hashes_.data(); }
  // Entry i's offset from the start of the index section; position(size)
  // is the section's size.
  std::uint64_t position(std::size_t i) const noexcept;

  // Fills the slot table and the search heads from `keys`, the table from
  // the hashes stored so far.
  void finish(const KeyTable& keys);

  // The layout once the index section, which starts at `index_offset`,
  // ends at `index_end`, with `metadata_size` bytes of metadata, the first
  // `codec_size` of them the codec description.
  MappedIndexLayout layout(std::uint64_t index_offset, std::uint64_t index_end, std::uint64_t metadata_size,
                           std::uint32_t codec_size) const noexcept;

  std::string_view order_bytes() const noexcept { return order_.view(); }
  std::string_view table_bytes() const noexcept {
    return {reinterpret_cast<const char*>(slots_.data()), slots_.bytes()};
  }
  std::string_view heads_bytes() const noexcept { return heads_.view(); }

 private:
  struct Outcome {
    std::uint64_t longest_run = 0;
    std::uint64_t displacement = 0;
  };
  Outcome fill_table();
  bool acceptable(const Outcome& outcome) const noexcept;
  void rehash(const KeyTable& keys, std::uint64_t seed);

  const KeyOrder& order_keys_;
  std::uint64_t index_size_;
  bool wide_;
  ByteBuffer order_;
  std::uint64_t seed_;
  HashKey table_key_;
  ZeroedArray<std::uint64_t> hashes_;
  ZeroedArray<std::uint64_t> slots_;
  SlotCodec codec_;
  std::uint64_t probe_limit_ = 0;
  ByteBuffer heads_;
  int levels_ = 0;
};

}  // namespace zelkor
