// The mapped index: lookup structures that a build lays out after the last
// index entry, so that a reader maps them instead of indexing every key
// itself. docs/format.md states the whole file's layout; in short:
//
//   index section end  E = index_offset + index_size
//   order section      num_keys positions, each a u32 (u64 when
//                      position_width is 8): entry i's offset from
//                      index_offset, in index order
//   slot table         slot_count u64 slots (slot_table.h)
//   search heads       search_nodes_for(search_levels) nodes (search_heads.h)
//   metadata           metadata_size bytes: the codec description
//                      (codec_size bytes, format/codec_block.h; none for
//                      values stored as they were added), then opaque
//                      bytes for the package
//   trailer            TRAILER_SIZE bytes, the last bytes of the file
//
// Sections start in this order, each at or after the end of the one
// before; the writer pads each start to a multiple of SECTION_ALIGN with
// zero bytes. Every integer is big-endian. The trailer's own CRC-32 covers
// its bytes before that field; the header's file CRC covers all of it, as
// it covers every byte after the header.
//
// A reader trusts a trailer only when find_mapped_index accepts it: magic,
// version, CRC, the file size, num_keys and index_offset as the header has
// them, and every section inside the file in the order above. Those checks
// read the header and the trailer alone. The sections' contents are not
// checked when the file is opened; every value read from them is checked
// against the bounds of its section before use.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "header.h"

namespace zelkor {

inline constexpr char TRAILER_MAGIC[8] = {'Z', 'L', 'K', 'R', 'M', 'I', 'D', 'X'};
inline constexpr std::uint32_t TRAILER_VERSION = 1;
inline constexpr std::size_t TRAILER_SIZE = 128;
inline constexpr std::uint64_t SECTION_ALIGN = 64;

struct MappedIndexLayout {
  std::uint64_t file_size = 0;
  std::uint64_t num_keys = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t index_size = 0;
  std::uint64_t order_offset = 0;
  std::uint64_t table_offset = 0;
  std::uint64_t slot_count = 0;
  std::uint64_t hash_seed = 0;
  std::uint64_t heads_offset = 0;
  std::uint64_t metadata_offset = 0;
  std::uint64_t metadata_size = 0;
  // The first codec_size bytes of the metadata are the codec description.
  std::uint32_t codec_size = 0;
  // Slots a lookup visits at most: the longest probe run of any key.
  std::uint64_t probe_limit = 0;
  std::uint8_t position_width = 4;
  std::uint8_t offset_bits = 32;
  std::uint8_t search_levels = 0;

  std::uint64_t order_size() const noexcept { return num_keys * position_width; }
  std::uint64_t table_size() const noexcept { return slot_count * 8; }
  std::uint64_t heads_size() const noexcept;
  std::uint64_t trailer_offset() const noexcept { return file_size - TRAILER_SIZE; }
  std::string_view codec_block(std::string_view file) const noexcept {
    return file.substr(metadata_offset, codec_size);
  }
};

// The TRAILER_SIZE bytes of `layout`'s trailer, its CRC included.
void encode_trailer(const MappedIndexLayout& layout, char* dst) noexcept;

// The layout named by the trailer at the end of `file`, when it agrees with
// `header` and with the file's size; nullopt for a file without one (or
// with one that is damaged), which a reader then indexes in memory.
std::optional<MappedIndexLayout> find_mapped_index(std::string_view file, const Header& header) noexcept;

// The first multiple of SECTION_ALIGN at or after `offset`.
inline std::uint64_t align_section(std::uint64_t offset) noexcept {
  return (offset + SECTION_ALIGN - 1) / SECTION_ALIGN * SECTION_ALIGN;
}

}  // namespace zelkor
