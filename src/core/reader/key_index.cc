#include "key_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <optional>
#include <thread>
#include <vector>

#include "../format/coding.h"
#include "../format/constants.h"
#include "../format/crc32.h"
#include "../platform/background_task.h"
#include "../platform/memory.h"
#include "../platform/random.h"

namespace zelkor {

Result<KeyIndex> KeyIndex::build(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                                 const Options& options) {
  KeyIndex index;
  const std::uint64_t size = file.size();
  // Every entry takes at least ENTRY_FIXED_SIZE bytes, so the room after
  // index_offset bounds what a header's num_keys can make us reserve.
  const std::uint64_t room = index_offset < size ? size - index_offset : 0;
  const auto most = static_cast<std::size_t>(std::min<std::uint64_t>(num_keys, room / ENTRY_FIXED_SIZE));
  index.wide_ = room > UINT32_MAX;
  if (index.wide_) {
    index.wide_positions_ = ZeroedArray<std::uint64_t>(most);
    index.positions_ = reinterpret_cast<const char*>(index.wide_positions_.data());
  } else {
    index.narrow_positions_ = ZeroedArray<std::uint32_t>(most);
    index.positions_ = reinterpret_cast<const char*>(index.narrow_positions_.data());
  }
  index.prepare_table(most, room);

  // The table refers to entries by their position in the section, which is
  // the same in the key arena copied afterwards. Only an offset inside the
  // file (or at its end) may be added to the map's base: a header's
  // index_offset can be anything up to 2**64 - 1.
  const char* section = file.data() + (num_keys > 0 && index_offset <= size ? index_offset : 0);
  if (num_keys > 0 && num_keys >= options.parallel_from) {
    Status built = index.build_in_parts(file, index_offset, num_keys, section, options);
    if (!built.ok()) return std::move(built).error();
    index.section_ = index.arena_.data();
    index.section_size_ = index.arena_.size();
    return index;
  }
  if (Checksum* sum = options.checksum; sum != nullptr) sum->crc = crc32_of_large(sum->bytes.data(), sum->bytes.size());
  if (options.pages != nullptr && num_keys > 0) options.pages->map_in(0, section_estimate(room, num_keys));
  // One pass over the index section in the map: check each entry's bounds,
  // note its position, hash its key and insert it.
  TableFiller filler(index, section);
  Result<std::uint64_t> walked = index.walk(
      file, index_offset, num_keys, [&](std::uint64_t position, std::string_view key) { filler.add(position, key); });
  if (!walked.ok()) return std::move(walked).error();
  filler.finish();
  index.entry_count_ = num_keys;
  if (num_keys > 0) {
    index.arena_.append(section, walked.value());
    if (options.pages != nullptr) options.pages->copied(0, walked.value());
  }
  index.section_ = index.arena_.data();
  index.section_size_ = index.arena_.size();
  return index;
}

KeyIndex KeyIndex::map(std::string_view file, const MappedIndexLayout& layout) noexcept {
  KeyIndex index;
  index.section_ = file.data() + layout.index_offset;
  index.section_size_ = layout.index_size;
  index.positions_ = file.data() + layout.order_offset;
  index.wide_ = layout.position_width == 8;
  index.table_ = file.data() + layout.table_offset;
  index.entry_count_ = static_cast<std::size_t>(layout.num_keys);
  index.hash_key_ = hash_key_from_seed(layout.hash_seed);
  index.codec_ = SlotCodec(layout.slot_count, layout.offset_bits);
  index.probe_limit_ = layout.probe_limit;
  return index;
}

std::optional<std::uint64_t> KeyIndex::found_position(std::string_view key) const noexcept {
  if (codec_.slot_count() == 0) return std::nullopt;
  const std::uint64_t hash = hash_key(key.data(), key.size(), hash_key_);
  const std::uint64_t s = probe_slot(key, codec_.tag(hash), codec_.home_slot(hash), probe_limit_);
  if (s == NO_SLOT) return std::nullopt;
  return codec_.position_of_slot(load_slot(table_, s));
}

std::uint64_t KeyIndex::slots_in_use() const noexcept {
  std::uint64_t used = 0;
  for (std::uint64_t s = 0; s < codec_.slot_count(); ++s) used += load_slot(table_, s) != 0 ? 1u : 0u;
  return used;
}

std::uint64_t KeyIndex::section_estimate(std::uint64_t room, std::uint32_t num_keys) noexcept {
  // As far as a plausible index reaches.
  constexpr std::uint64_t TYPICAL_ENTRY = ENTRY_FIXED_SIZE + 246;
  return std::min(room, std::uint64_t{num_keys} * TYPICAL_ENTRY);
}

Status KeyIndex::build_in_parts(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                                const char* section, const Options& options) {
  Checksum* checksum = options.checksum;
  SectionPages* pages = options.pages;
  // The section's pages: this thread maps in the first stretch, the second
  // thread the rest, ahead of the walk.
  const std::uint64_t room = index_offset < file.size() ? file.size() - index_offset : 0;
  const std::uint64_t estimate = section_estimate(room, num_keys);
  const std::uint64_t first_stretch = std::min<std::uint64_t>(estimate, std::uint64_t{1} << 20);
  // The checksum in pieces, taken by either thread whenever it has nothing
  // else to do, and joined at the end.
  constexpr std::size_t CRC_PIECE = std::size_t{4} << 20;
  const std::string_view summed = checksum != nullptr ? checksum->bytes : std::string_view();
  std::vector<std::uint32_t> piece_crcs((summed.size() + CRC_PIECE - 1) / CRC_PIECE);
  SharedWork crc_pieces(piece_crcs.size());
  auto crc_piece = [&](std::size_t i) {
    const std::string_view piece = summed.substr(i * CRC_PIECE, CRC_PIECE);
    piece_crcs[i] = crc32_of(piece.data(), piece.size());
  };

  enum : int { WALKING, WALKED, FAILED };
  std::atomic<int> state{WALKING};
  Wakeup walk_ended;
  std::atomic<bool> second_started{false};
  std::atomic<bool> alone{false};
  std::optional<PartsBuild> parts;
  const std::thread::id caller = std::this_thread::get_id();
  // This thread walks the entries, checking their bounds and noting their
  // positions. The second zeroes pages of the slot table and of the later
  // positions meanwhile, as long as the walk lasts, and sums the checksum;
  // then it takes its part of the rest.
  platform::BackgroundTask second(
      [&] {
        second_started.store(true, std::memory_order_relaxed);
        if (pages != nullptr) {
          constexpr std::uint64_t PIECE = std::uint64_t{2} << 20;
          for (std::uint64_t at = first_stretch; at < estimate && state.load(std::memory_order_relaxed) == WALKING;
               at += PIECE) {
            pages->map_in(at, std::min(PIECE, estimate - at));
          }
        }
        prefault_while(state, WALKING);
        crc_pieces.take_pieces(crc_piece, &alone);
        if (std::this_thread::get_id() == caller) return;  // no thread to be had: the caller does it all
        walk_ended.wait_until([&] { return state.load(std::memory_order_acquire) != WALKING; });
        if (state.load(std::memory_order_acquire) == WALKED) parts->take_part(true);
      },
      true);
  auto end_walk = [&](int outcome) {
    state.store(outcome, std::memory_order_release);
    walk_ended.notify();
  };
  auto sum_up = [&] {
    crc_pieces.take_pieces(crc_piece);
    crc_pieces.wait();
    if (checksum == nullptr) return;
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < piece_crcs.size(); ++i) {
      crc = crc32_concat(crc, piece_crcs[i], std::min<std::uint64_t>(CRC_PIECE, summed.size() - i * CRC_PIECE));
    }
    checksum->crc = crc;
  };
  if (pages != nullptr) pages->map_in(0, first_stretch);
  Result<std::uint64_t> walked = walk(file, index_offset, num_keys, [](std::uint64_t, std::string_view) {});
  if (!walked.ok()) {
    end_walk(FAILED);
    sum_up();
    second.wait();
    return std::move(walked).error();
  }
  entry_count_ = num_keys;
  // A second thread that has not even started during the walk is kept from
  // running by the system: this one does the rest alone.
  if (!second_started.load(std::memory_order_relaxed)) alone.store(true, std::memory_order_relaxed);
  try {
    parts.emplace(*this, section, walked.value(), alone);
  } catch (...) {
    end_walk(FAILED);  // the second thread is joined on the way out
    throw;
  }
  end_walk(WALKED);
  crc_pieces.take_pieces(crc_piece);
  parts->take_part(false);
  sum_up();
  second.wait();
  parts->rethrow_failure();
  if (pages != nullptr) pages->copied(0, walked.value());
  return Status();
}

void KeyIndex::prefault_while(const std::atomic<int>& state, int walking) noexcept {
  constexpr std::size_t PIECE = std::size_t{2} << 20;
  auto prefault = [&](void* p, std::size_t bytes) {
    for (std::size_t at = 0; at < bytes && state.load(std::memory_order_relaxed) == walking; at += PIECE) {
      platform::prefault_for_write(static_cast<char*>(p) + at, std::min(PIECE, bytes - at));
    }
  };
  prefault(slots_.data(), slots_.bytes());
  // The walk itself writes the first positions before this could.
  if (wide_) {
    prefault(wide_positions_.data() + wide_positions_.size() / 4, wide_positions_.bytes() - wide_positions_.bytes() / 4);
  } else {
    prefault(narrow_positions_.data() + narrow_positions_.size() / 4,
             narrow_positions_.bytes() - narrow_positions_.bytes() / 4);
  }
}

template <typename Visit>
Result<std::uint64_t> KeyIndex::walk(std::string_view file, std::uint64_t index_offset, std::uint32_t num_keys,
                                     Visit&& visit) {
  const std::uint64_t size = file.size();
  std::uint64_t cursor = index_offset;
  for (std::size_t k = 0; k < num_keys; ++k) {
    if (cursor > size || size - cursor < ENTRY_KEY_LEN_SIZE) {
      return CoreError::corrupt("index section truncated (key_len)");
    }
    const std::uint64_t key_len = decode_u16(file.data() + cursor);
    if (size - cursor - ENTRY_KEY_LEN_SIZE < key_len + ENTRY_OFFSET_SIZE) {
      return CoreError::corrupt("index section truncated (key + offset)");
    }
    // Here k is below the reserved count: each entry checked so far took
    // ENTRY_FIXED_SIZE bytes or more of the room.
    const std::uint64_t position = cursor - index_offset;
    set_entry_position(k, position);
    visit(position, std::string_view(file.data() + cursor + ENTRY_KEY_LEN_SIZE, key_len));
    cursor += ENTRY_FIXED_SIZE + key_len;
  }
  return cursor - index_offset;
}

void KeyIndex::prepare_table(std::size_t capacity_hint, std::uint64_t max_position) {
  hash_key_ = platform::new_hash_key();
  if (capacity_hint == 0) return;
  // About 12 bytes per key.
  codec_ = SlotCodec(SlotCodec::slot_count_for(capacity_hint), SlotCodec::offset_bits_for(max_position));
  probe_limit_ = codec_.slot_count();
  slots_ = ZeroedArray<std::uint64_t>(codec_.slot_count());
  table_ = reinterpret_cast<const char*>(slots_.data());
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
  std::uint64_t s = p.home;
  while (!index_.place(s, p.hash, p.position, section_)) s = index_.next_slot(s);
}

}  // namespace zelkor
