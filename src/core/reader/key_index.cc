#include "key_index.h"

#include <algorithm>
#include <bit>

#include "../format/coding.h"
#include "../format/constants.h"

namespace zelkor {

Result<KeyIndex> KeyIndex::build(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys) {
  KeyIndex index;
  const std::uint64_t size = file.size();
  // Every entry takes at least ENTRY_FIXED_SIZE bytes, so the room after
  // index_offset bounds what a header's num_keys can make us reserve.
  const std::uint64_t room = index_offset < size ? size - index_offset : 0;
  const auto most = static_cast<std::size_t>(std::min<std::uint64_t>(num_keys, room / ENTRY_FIXED_SIZE));
  index.wide_ = room > UINT32_MAX;
  if (index.wide_) {
    index.wide_positions_.resize(most);
  } else {
    index.narrow_positions_.resize(most);
  }
  index.prepare_table(most, room);

  // One pass over the index section in the map: check each entry's bounds,
  // note its position, hash its key and insert it into the slot table. The
  // table refers to entries by their position in the section, which is the
  // same in the key arena copied afterwards.
  // Only an offset inside the file (or at its end) may be added to the map's
  // base: a header's index_offset can be anything up to 2**64 - 1.
  const char* section = file.data() + (num_keys > 0 && index_offset <= size ? index_offset : 0);
  TableFiller filler(index, section);
  std::uint64_t cursor = index_offset;
  for (std::size_t k = 0; k < num_keys; ++k) {
    if (cursor > size || size - cursor < ENTRY_KEY_LEN_SIZE) {
      return CoreError::corrupt("index section truncated (key_len)");
    }
    const std::uint64_t key_len = decode_u16(file.data() + cursor);
    if (size - cursor - ENTRY_KEY_LEN_SIZE < key_len + ENTRY_OFFSET_SIZE) {
      return CoreError::corrupt("index section truncated (key + offset)");
    }
    // Here k < most: each entry checked so far took ENTRY_FIXED_SIZE bytes
    // or more of the room.
    const std::uint64_t position = cursor - index_offset;
    if (index.wide_) {
      index.wide_positions_[k] = position;
    } else {
      index.narrow_positions_[k] = static_cast<std::uint32_t>(position);
    }
    filler.add(position, {file.data() + cursor + ENTRY_KEY_LEN_SIZE, key_len});
    cursor += ENTRY_FIXED_SIZE + key_len;
  }
  filler.finish();
  index.entry_count_ = num_keys;
  if (num_keys > 0) index.arena_.append(section, cursor - index_offset);
  return index;
}

void KeyIndex::prepare_table(std::size_t capacity_hint, std::uint64_t max_position) {
  hash_key_ = new_hash_key();
  if (capacity_hint == 0) return;
  // At most two thirds full: short probe runs, about 12 bytes per key.
  slot_count_ = capacity_hint + capacity_hint / 2 + 1;
  offset_bits_ = std::max(32, static_cast<int>(std::bit_width(max_position)));
  offset_mask_ = (std::uint64_t{1} << offset_bits_) - 1;
  tag_mask_ = (std::uint64_t{1} << (64 - offset_bits_)) - 1;
  slots_.resize(slot_count_);
}

KeyIndex::TableFiller::TableFiller(KeyIndex& index, const char* section) noexcept
    : index_(index), section_(section) {}

void KeyIndex::TableFiller::add(std::uint64_t position, std::string_view key) noexcept {
  // Inserted LOOKAHEAD entries later: its home slot is prefetched now, so
  // the cache misses of many inserts overlap.
  const std::uint64_t hash = hash_key(key.data(), key.size(), index_.hash_key_);
  const std::uint64_t home = index_.home_slot(hash);
  __builtin_prefetch(&index_.slots_[home], 1);
  Pending& slot = pending_[added_ % LOOKAHEAD];
  if (added_ >= LOOKAHEAD) insert(slot);
  slot = Pending{position, hash, home};
  ++added_;
}

void KeyIndex::TableFiller::finish() noexcept {
  const std::size_t first = added_ > LOOKAHEAD ? added_ - LOOKAHEAD : 0;
  for (std::size_t i = first; i < added_; ++i) insert(pending_[i % LOOKAHEAD]);
  added_ = 0;
}

void KeyIndex::TableFiller::insert(const Pending& p) noexcept {
  KeyIndex& ix = index_;
  const std::uint64_t tag = p.hash & ix.tag_mask_;
  const std::uint64_t fresh = (tag << ix.offset_bits_) | (p.position + 1);
  const std::string_view key = entry_key(section_ + p.position);
  for (std::uint64_t s = p.home;; s = s + 1 == ix.slot_count_ ? 0 : s + 1) {
    const std::uint64_t slot = ix.slots_[s];
    if (slot == 0) {
      ix.slots_[s] = fresh;
      return;
    }
    if ((slot >> ix.offset_bits_) == tag && entry_key(section_ + ((slot & ix.offset_mask_) - 1)) == key) {
      ix.slots_[s] = fresh;  // a key listed twice: the later entry wins
      return;
    }
  }
}

}  // namespace zelkor
