// The codec description: how a store's values were compressed, with the
// dictionary they need. It opens the metadata section of the mapped index
// (format/mapped_index.h), whose trailer gives its length; a store without
// one holds its values as they were added. docs/format.md has the table:
//
//   0   8  magic "ZLKRZSTD"
//   8   4  description size: CODEC_HEAD_SIZE + dictionary size
//   12  4  codec: 1, zstd frames one value each
//   16  4  level (two's complement)
//   20  4  zstd version number of the build (10504 for 1.5.4)
//   24  8  largest decompressed value: the bound of every decompression
//   32  8  values compressed
//   40  8  values stored as they are
//   48  8  bytes of every value as it was added
//   56  8  bytes of every value as stored
//   64  4  dictionary size asked for (0: the writer's choice)
//   68  4  sample size asked for (0: the writer's choice)
//   72  4  values the dictionary was trained on
//   76  4  dictionary size (0: frames without dictionary)
//   80  4  CRC-32 of the dictionary
//   84  4  CRC-32 of bytes 0 to 83
//   88  .  the dictionary
//
// A compressed value is stored as COMPRESSED_FLAG, a byte that MessagePack
// never uses, then a zstd frame without magic number, dictionary id or
// checksum but with its content size; every other stored value is the
// value itself, which never starts with that byte in a compressed store.
#pragma once

#include <cstdint>
#include <string_view>

#include "../platform/byte_buffer.h"
#include "../util/result.h"

namespace zelkor {

inline constexpr char CODEC_MAGIC[8] = {'Z', 'L', 'K', 'R', 'Z', 'S', 'T', 'D'};
inline constexpr std::size_t CODEC_HEAD_SIZE = 88;
inline constexpr std::uint32_t CODEC_ZSTD = 1;
inline constexpr char COMPRESSED_FLAG = '\xC1';
// Dictionaries of more than this are refused by writers and readers alike.
inline constexpr std::uint32_t MAX_DICTIONARY_SIZE = 16u << 20;

struct CodecDescription {
  std::int32_t level = 0;
  std::uint32_t zstd_version = 0;
  std::uint64_t max_value_size = 0;
  std::uint64_t compressed_values = 0;
  std::uint64_t stored_values = 0;
  std::uint64_t value_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::uint32_t dictionary_size_asked = 0;
  std::uint32_t sample_size_asked = 0;
  std::uint32_t sample_values = 0;
  // Into the description's bytes: the writer's own buffer, or a reader's map.
  std::string_view dictionary;
};

inline bool is_compressed(std::string_view stored) noexcept {
  return !stored.empty() && stored[0] == COMPRESSED_FLAG;
}

// Appends the whole description, its CRCs computed, to `out`.
void encode_codec_block(const CodecDescription& description, ByteBuffer& out);

// The description that `block` (the bytes the trailer names) holds, after
// checking its magic, size, codec, both CRCs, and that the largest value
// fits the format; Corrupt "codec description: ..." otherwise. The
// dictionary is a view into `block`.
Result<CodecDescription> decode_codec_block(std::string_view block);

}  // namespace zelkor
