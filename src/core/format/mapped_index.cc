#include "mapped_index.h"

#include <cstring>

#include "coding.h"
#include "constants.h"
#include "crc32.h"
#include "search_heads.h"

namespace zelkor {

namespace {

// Byte positions of the trailer's fields. Bytes 107 to 111 are zero; bytes
// 120 to 123 (codec_size) are zero in a store without codec, and in those
// of builds that knew no codec.
constexpr std::size_t VERSION_AT = 8;
constexpr std::size_t SIZE_AT = 12;
constexpr std::size_t FILE_SIZE_AT = 16;
constexpr std::size_t NUM_KEYS_AT = 24;
constexpr std::size_t INDEX_OFFSET_AT = 32;
constexpr std::size_t INDEX_SIZE_AT = 40;
constexpr std::size_t ORDER_OFFSET_AT = 48;
constexpr std::size_t TABLE_OFFSET_AT = 56;
constexpr std::size_t SLOT_COUNT_AT = 64;
constexpr std::size_t HASH_SEED_AT = 72;
constexpr std::size_t HEADS_OFFSET_AT = 80;
constexpr std::size_t METADATA_OFFSET_AT = 88;
constexpr std::size_t METADATA_SIZE_AT = 96;
constexpr std::size_t POSITION_WIDTH_AT = 104;
constexpr std::size_t OFFSET_BITS_AT = 105;
constexpr std::size_t SEARCH_LEVELS_AT = 106;
constexpr std::size_t PROBE_LIMIT_AT = 112;
constexpr std::size_t CODEC_SIZE_AT = 120;
constexpr std::size_t CRC_AT = TRAILER_SIZE - 4;

// end = begin + size, when that lies at or before `limit` (no wrap-around).
bool ends_by(std::uint64_t begin, std::uint64_t size, std::uint64_t limit, std::uint64_t* end) noexcept {
  return checked_add(begin, size, end) && *end <= limit;
}

bool sections_fit(const MappedIndexLayout& t) noexcept {
  std::uint64_t end = 0;
  if (t.index_offset < HEADER_SIZE || !ends_by(t.index_offset, t.index_size, t.order_offset, &end)) return false;
  // Every entry takes ENTRY_FIXED_SIZE bytes or more, which bounds the
  // order section by the index section.
  if (t.num_keys > t.index_size / ENTRY_FIXED_SIZE) return false;
  if (t.position_width != 4 && t.position_width != 8) return false;
  if (t.position_width == 4 && t.index_size > (std::uint64_t{1} << 32)) return false;
  if (!ends_by(t.order_offset, t.order_size(), t.table_offset, &end)) return false;
  if (t.slot_count <= t.num_keys && t.num_keys != 0) return false;  // a lookup always meets an empty slot
  if (t.slot_count > (UINT64_MAX / 8) || !ends_by(t.table_offset, t.table_size(), t.heads_offset, &end)) return false;
  if (t.search_levels != search_levels_for(t.num_keys)) return false;
  if (!ends_by(t.heads_offset, t.heads_size(), t.metadata_offset, &end)) return false;
  if (!ends_by(t.metadata_offset, t.metadata_size, t.trailer_offset(), &end)) return false;
  if (t.codec_size > t.metadata_size) return false;
  if (t.offset_bits < 32 || t.offset_bits > 63 || (t.index_size >> t.offset_bits) != 0) return false;
  return t.slot_count == 0 ? t.probe_limit == 0 : t.probe_limit >= 1 && t.probe_limit <= t.slot_count;
}

}  // namespace

std::uint64_t MappedIndexLayout::heads_size() const noexcept {
  return search_nodes_for(search_levels) * SEARCH_NODE_SIZE;
}

void encode_trailer(const MappedIndexLayout& t, char* dst) noexcept {
  std::memset(dst, 0, TRAILER_SIZE);
  std::memcpy(dst, TRAILER_MAGIC, sizeof TRAILER_MAGIC);
  encode_u32(dst + VERSION_AT, TRAILER_VERSION);
  encode_u32(dst + SIZE_AT, TRAILER_SIZE);
  encode_u64(dst + FILE_SIZE_AT, t.file_size);
  encode_u64(dst + NUM_KEYS_AT, t.num_keys);
  encode_u64(dst + INDEX_OFFSET_AT, t.index_offset);
  encode_u64(dst + INDEX_SIZE_AT, t.index_size);
  encode_u64(dst + ORDER_OFFSET_AT, t.order_offset);
  encode_u64(dst + TABLE_OFFSET_AT, t.table_offset);
  encode_u64(dst + SLOT_COUNT_AT, t.slot_count);
  encode_u64(dst + HASH_SEED_AT, t.hash_seed);
  encode_u64(dst + HEADS_OFFSET_AT, t.heads_offset);
  encode_u64(dst + METADATA_OFFSET_AT, t.metadata_offset);
  encode_u64(dst + METADATA_SIZE_AT, t.metadata_size);
  encode_u64(dst + PROBE_LIMIT_AT, t.probe_limit);
  encode_u32(dst + CODEC_SIZE_AT, t.codec_size);
  dst[POSITION_WIDTH_AT] = static_cast<char>(t.position_width);
  dst[OFFSET_BITS_AT] = static_cast<char>(t.offset_bits);
  dst[SEARCH_LEVELS_AT] = static_cast<char>(t.search_levels);
  encode_u32(dst + CRC_AT, crc32_of(dst, CRC_AT));
}

std::optional<MappedIndexLayout> find_mapped_index(std::string_view file, const Header& header) noexcept {
  if (file.size() < HEADER_SIZE + TRAILER_SIZE) return std::nullopt;
  const char* at = file.data() + file.size() - TRAILER_SIZE;
  if (std::memcmp(at, TRAILER_MAGIC, sizeof TRAILER_MAGIC) != 0 || decode_u32(at + VERSION_AT) != TRAILER_VERSION ||
      decode_u32(at + SIZE_AT) != TRAILER_SIZE || decode_u32(at + CRC_AT) != crc32_of(at, CRC_AT)) {
    return std::nullopt;
  }
  MappedIndexLayout t;
  t.file_size = decode_u64(at + FILE_SIZE_AT);
  t.num_keys = decode_u64(at + NUM_KEYS_AT);
  t.index_offset = decode_u64(at + INDEX_OFFSET_AT);
  t.index_size = decode_u64(at + INDEX_SIZE_AT);
  t.order_offset = decode_u64(at + ORDER_OFFSET_AT);
  t.table_offset = decode_u64(at + TABLE_OFFSET_AT);
  t.slot_count = decode_u64(at + SLOT_COUNT_AT);
  t.hash_seed = decode_u64(at + HASH_SEED_AT);
  t.heads_offset = decode_u64(at + HEADS_OFFSET_AT);
  t.metadata_offset = decode_u64(at + METADATA_OFFSET_AT);
  t.metadata_size = decode_u64(at + METADATA_SIZE_AT);
  t.probe_limit = decode_u64(at + PROBE_LIMIT_AT);
  t.codec_size = decode_u32(at + CODEC_SIZE_AT);
  t.position_width = static_cast<std::uint8_t>(at[POSITION_WIDTH_AT]);
  t.offset_bits = static_cast<std::uint8_t>(at[OFFSET_BITS_AT]);
  t.search_levels = static_cast<std::uint8_t>(at[SEARCH_LEVELS_AT]);
  if (t.file_size != file.size() || t.num_keys != header.num_keys || t.index_offset != header.index_offset) {
    return std::nullopt;
  }
  if (!sections_fit(t)) return std::nullopt;
  return t;
}

}  // namespace zelkor
