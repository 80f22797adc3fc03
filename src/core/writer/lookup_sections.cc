#include "lookup_sections.h"

#include <bit>
#include <cstring>

#include "../format/coding.h"
#include "../format/constants.h"
#include "../format/search_heads.h"
#include "../util/split_mix.h"

namespace zelkor {

namespace {

// The key of the content digest: fixed, so every build computes the same.
constexpr HashKey DIGEST_KEY{0x243f6a8885a308d3ULL, 0x13198a2e03707345ULL, 0xa4093822299f31d1ULL};
constexpr int SEED_ATTEMPTS = 8;
constexpr std::size_t AHEAD = 16;

}  // namespace

std::uint64_t KeyDigest::hash_of(std::string_view key) noexcept { return hash_key(key.data(), key.size(), DIGEST_KEY); }

void KeyDigest::add_hash(std::uint64_t hash) noexcept {
  state_ = detail::fold_mul(state_ ^ hash, 0x9e3779b97f4a7c15ULL);
  ++count_;
}

std::uint64_t KeyDigest::seed() const noexcept { return split_mix(state_ ^ split_mix(count_)); }

LookupSections::LookupSections(const KeyOrder& order, std::uint64_t index_size, std::uint64_t seed)
    : order_keys_(order),
      index_size_(index_size),
      wide_(index_size > UINT32_MAX),
      seed_(seed),
      table_key_(hash_key_from_seed(seed)),
      hashes_(order.size()),
      levels_(search_levels_for(order.size())) {
  const std::size_t n = order.size();
  const std::size_t width = wide_ ? 8 : 4;
  char* at = order_.extend(n * width);
  std::uint64_t position = 0;
  for (std::size_t i = 0; i < n; ++i, at += width) {
    if (wide_) {
      encode_u64(at, position);
    } else {
      encode_u32(at, static_cast<std::uint32_t>(position));
    }
    position += ENTRY_FIXED_SIZE + order.key_length(i);
  }
  if (n > 0) {
    codec_ = SlotCodec(SlotCodec::slot_count_for(n), SlotCodec::offset_bits_for(index_size));
    slots_ = ZeroedArray<std::uint64_t>(codec_.slot_count());
  }
}

std::uint64_t LookupSections::position(std::size_t i) const noexcept {
  if (i == order_keys_.size()) return index_size_;
  return wide_ ? decode_u64(order_.data() + 8 * i) : decode_u32(order_.data() + 4 * i);
}

void LookupSections::finish(const KeyTable& keys) {
  const char* arena = keys.arena().data();
  auto key_at = [&](std::uint64_t i) { return KeyTable::key_of(arena + order_keys_.entry(i)); };
  if (order_keys_.size() > 0) {
    Outcome outcome = fill_table();
    std::uint64_t seed = seed_;
    std::uint64_t best_seed = seed_;
    Outcome best = outcome;
    for (int attempt = 1; attempt < SEED_ATTEMPTS && !acceptable(outcome); ++attempt) {
      seed = split_mix(seed);
      rehash(keys, seed);
      outcome = fill_table();
      if (outcome.longest_run < best.longest_run) {
        best = outcome;
        best_seed = seed;
      }
    }
    if (!acceptable(outcome) && seed != best_seed) {
      // Every attempt came out badly: the least bad one is kept.
      rehash(keys, best_seed);
      outcome = fill_table();
    }
    probe_limit_ = outcome.longest_run;
  }
  const std::size_t heads_size = search_nodes_for(levels_) * SEARCH_NODE_SIZE;
  char* heads = heads_.extend(heads_size);
  if (heads_size != 0) std::memset(heads, 0, heads_size);
  encode_search_heads(heads, order_keys_.size(), levels_, key_at);
}

void LookupSections::rehash(const KeyTable& keys, std::uint64_t seed) {
  seed_ = seed;
  table_key_ = hash_key_from_seed(seed);
  const char* arena = keys.arena().data();
  const std::size_t n = order_keys_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) __builtin_prefetch(arena + order_keys_.entry(i + AHEAD));
    const std::string_view key = KeyTable::key_of(arena + order_keys_.entry(i));
    hashes_[i] = hash_key(key.data(), key.size(), table_key_);
  }
  std::memset(slots_.data(), 0, slots_.bytes());
}

LookupSections::Outcome LookupSections::fill_table() {
  const std::size_t n = order_keys_.size();
  char* table = reinterpret_cast<char*>(slots_.data());
  Outcome outcome;
  // Each key is inserted AHEAD keys after its home slot is prefetched; the
  // inserts still go in key order.
  for (std::size_t i = 0; i < n + AHEAD; ++i) {
    if (i < n) __builtin_prefetch(table + 8 * codec_.home_slot(hashes_[i]), 1);
    if (i < AHEAD) continue;
    const std::size_t k = i - AHEAD;
    const std::uint64_t hash = hashes_[k];
    std::uint64_t s = codec_.home_slot(hash);
    std::uint64_t displacement = 0;
    while (load_slot(table, s) != 0) {
      s = codec_.next_slot(s);
      ++displacement;
    }
    store_slot(table, s, codec_.make_slot(hash, position(k)));
    outcome.displacement += displacement;
    if (displacement + 1 > outcome.longest_run) outcome.longest_run = displacement + 1;
  }
  return outcome;
}

// A table of keys whose hashes behave as random ones has, two thirds full,
// about one slot of displacement per key on average and probe runs in the
// low hundreds at most even for billions of keys; several times either
// means the keys collide under this seed.
bool LookupSections::acceptable(const Outcome& outcome) const noexcept {
  const std::uint64_t n = order_keys_.size();
  const std::uint64_t run_cap = 64 + 8 * static_cast<std::uint64_t>(std::bit_width(n));
  return outcome.displacement <= 4 * n + 64 && outcome.longest_run <= run_cap;
}

MappedIndexLayout LookupSections::layout(std::uint64_t index_offset, std::uint64_t index_end,
                                         std::uint64_t metadata_size, std::uint32_t codec_size) const noexcept {
  MappedIndexLayout t;
  t.num_keys = order_keys_.size();
  t.index_offset = index_offset;
  t.index_size = index_size_;
  t.position_width = wide_ ? 8 : 4;
  t.order_offset = align_section(index_end);
  t.table_offset = align_section(t.order_offset + order_.size());
  t.slot_count = codec_.slot_count();
  t.offset_bits = static_cast<std::uint8_t>(codec_.offset_bits());
  t.hash_seed = seed_;
  t.probe_limit = probe_limit_;
  t.heads_offset = align_section(t.table_offset + slots_.bytes());
  t.search_levels = static_cast<std::uint8_t>(levels_);
  t.metadata_offset = t.heads_offset + heads_.size();
  t.metadata_size = metadata_size;
  t.codec_size = codec_size;
  t.file_size = t.metadata_offset + metadata_size + TRAILER_SIZE;
  return t;
}

}  // namespace zelkor
