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
  const std::uint64_t most = std::min<std::uint64_t>(num_keys, room / ENTRY_FIXED_SIZE);
  index.wide_ = room > UINT32_MAX;
  if (index.wide_) {
    index.wide_positions_.reserve(most);
  } else {
    index.narrow_positions_.reserve(most);
  }

  std::uint64_t cursor = index_offset;
  for (std::uint32_t k = 0; k < num_keys; ++k) {
    if (!fits_within(cursor, ENTRY_KEY_LEN_SIZE, size)) {
      return CoreError::corrupt("index section truncated (key_len)");
    }
    const std::uint64_t key_len = decode_u16(file.data() + cursor);
    if (!fits_within(cursor, ENTRY_FIXED_SIZE + key_len, size)) {
      return CoreError::corrupt("index section truncated (key + offset)");
    }
    const std::uint64_t position = cursor - index_offset;
    if (index.wide_) {
      index.wide_positions_.push_back(position);
    } else {
      index.narrow_positions_.push_back(static_cast<std::uint32_t>(position));
    }
    cursor += ENTRY_FIXED_SIZE + key_len;
  }
  index.entry_count_ = num_keys;
  if (num_keys > 0) index.arena_.append(file.data() + index_offset, cursor - index_offset);
  index.build_table();
  return index;
}

void KeyIndex::build_table() {
  hash_key_ = new_hash_key();
  if (entry_count_ == 0) return;
  // At most two thirds full: short probe runs, about 12 bytes per key.
  slot_count_ = entry_count_ + entry_count_ / 2 + 1;
  offset_bits_ = std::max(32, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(arena_.size()))));
  offset_mask_ = (std::uint64_t{1} << offset_bits_) - 1;
  tag_mask_ = offset_bits_ >= 64 ? 0 : (std::uint64_t{1} << (64 - offset_bits_)) - 1;
  slots_.assign(slot_count_, 0);

  constexpr std::size_t BATCH = 16;
  std::uint64_t hashes[BATCH];
  std::uint64_t homes[BATCH];
  for (std::size_t start = 0; start < entry_count_; start += BATCH) {
    const std::size_t n = std::min(BATCH, entry_count_ - start);
    for (std::size_t j = 0; j < n; ++j) {
      const std::string_view key = key_at(start + j);
      hashes[j] = hash_key(key.data(), key.size(), hash_key_);
      homes[j] = home_slot(hashes[j]);
      __builtin_prefetch(&slots_[homes[j]], 1);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint64_t position = entry_position(start + j);
      const std::uint64_t tag = hashes[j] & tag_mask_;
      const std::uint64_t fresh = (tag << offset_bits_) | (position + 1);
      const std::string_view key = entry_key(arena_.data() + position);
      std::uint64_t i = homes[j];
      for (;;) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) {
          slots_[i] = fresh;
          break;
        }
        if ((slot >> offset_bits_) == tag && entry_key(arena_.data() + ((slot & offset_mask_) - 1)) == key) {
          slots_[i] = fresh;  // a key listed twice: the later entry wins
          break;
        }
        if (++i == slot_count_) i = 0;
      }
    }
  }
}

std::uint64_t KeyIndex::memory_bytes() const noexcept {
  return arena_.capacity() + narrow_positions_.capacity() * sizeof(std::uint32_t) +
         wide_positions_.capacity() * sizeof(std::uint64_t) + slots_.capacity() * sizeof(std::uint64_t);
}

}  // namespace zelkor
