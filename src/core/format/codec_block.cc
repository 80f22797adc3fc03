#include "codec_block.h"

#include <cstring>
#include <string>

#include "coding.h"
#include "constants.h"
#include "crc32.h"

namespace zelkor {

namespace {

constexpr std::size_t SIZE_AT = 8;
constexpr std::size_t CODEC_AT = 12;
constexpr std::size_t LEVEL_AT = 16;
constexpr std::size_t ZSTD_VERSION_AT = 20;
constexpr std::size_t MAX_VALUE_AT = 24;
constexpr std::size_t COMPRESSED_AT = 32;
constexpr std::size_t STORED_AT = 40;
constexpr std::size_t VALUE_BYTES_AT = 48;
constexpr std::size_t STORED_BYTES_AT = 56;
constexpr std::size_t DICTIONARY_ASKED_AT = 64;
constexpr std::size_t SAMPLE_ASKED_AT = 68;
constexpr std::size_t SAMPLE_VALUES_AT = 72;
constexpr std::size_t DICTIONARY_SIZE_AT = 76;
constexpr std::size_t DICTIONARY_CRC_AT = 80;
constexpr std::size_t HEAD_CRC_AT = 84;
static_assert(HEAD_CRC_AT + 4 == CODEC_HEAD_SIZE);

CoreError damaged(const std::string& what) { return CoreError::corrupt("codec description: " + what); }

}  // namespace

void encode_codec_block(const CodecDescription& d, ByteBuffer& out) {
  const std::size_t dictionary_size = d.dictionary.size();
  char* at = out.extend(CODEC_HEAD_SIZE + dictionary_size);
  std::memset(at, 0, CODEC_HEAD_SIZE);
  std::memcpy(at, CODEC_MAGIC, sizeof CODEC_MAGIC);
  encode_u32(at + SIZE_AT, static_cast<std::uint32_t>(CODEC_HEAD_SIZE + dictionary_size));
  encode_u32(at + CODEC_AT, CODEC_ZSTD);
  encode_u32(at + LEVEL_AT, static_cast<std::uint32_t>(d.level));
  encode_u32(at + ZSTD_VERSION_AT, d.zstd_version);
  encode_u64(at + MAX_VALUE_AT, d.max_value_size);
  encode_u64(at + COMPRESSED_AT, d.compressed_values);
  encode_u64(at + STORED_AT, d.stored_values);
  encode_u64(at + VALUE_BYTES_AT, d.value_bytes);
  encode_u64(at + STORED_BYTES_AT, d.stored_bytes);
  encode_u32(at + DICTIONARY_ASKED_AT, d.dictionary_size_asked);
  encode_u32(at + SAMPLE_ASKED_AT, d.sample_size_asked);
  encode_u32(at + SAMPLE_VALUES_AT, d.sample_values);
  encode_u32(at + DICTIONARY_SIZE_AT, static_cast<std::uint32_t>(dictionary_size));
  encode_u32(at + DICTIONARY_CRC_AT, crc32_of(d.dictionary.data(), dictionary_size));
  encode_u32(at + HEAD_CRC_AT, crc32_of(at, HEAD_CRC_AT));
  if (dictionary_size != 0) std::memcpy(at + CODEC_HEAD_SIZE, d.dictionary.data(), dictionary_size);
}

Result<CodecDescription> decode_codec_block(std::string_view block) {
  if (block.size() < CODEC_HEAD_SIZE) return damaged("too short");
  const char* at = block.data();
  if (std::memcmp(at, CODEC_MAGIC, sizeof CODEC_MAGIC) != 0) return damaged("bad magic");
  if (decode_u32(at + HEAD_CRC_AT) != crc32_of(at, HEAD_CRC_AT)) return damaged("CRC-32 mismatch");
  if (decode_u32(at + CODEC_AT) != CODEC_ZSTD) {
    return damaged("unknown codec " + std::to_string(decode_u32(at + CODEC_AT)));
  }
  const std::uint32_t dictionary_size = decode_u32(at + DICTIONARY_SIZE_AT);
  if (dictionary_size > MAX_DICTIONARY_SIZE || decode_u32(at + SIZE_AT) != block.size() ||
      block.size() - CODEC_HEAD_SIZE != dictionary_size) {
    return damaged("its sizes disagree");
  }
  CodecDescription d;
  d.level = static_cast<std::int32_t>(decode_u32(at + LEVEL_AT));
  d.zstd_version = decode_u32(at + ZSTD_VERSION_AT);
  d.max_value_size = decode_u64(at + MAX_VALUE_AT);
  d.compressed_values = decode_u64(at + COMPRESSED_AT);
  d.stored_values = decode_u64(at + STORED_AT);
  d.value_bytes = decode_u64(at + VALUE_BYTES_AT);
  d.stored_bytes = decode_u64(at + STORED_BYTES_AT);
  d.dictionary_size_asked = decode_u32(at + DICTIONARY_ASKED_AT);
  d.sample_size_asked = decode_u32(at + SAMPLE_ASKED_AT);
  d.sample_values = decode_u32(at + SAMPLE_VALUES_AT);
  d.dictionary = block.substr(CODEC_HEAD_SIZE);
  if (d.max_value_size > MAX_OBJECT_SIZE) return damaged("its largest value is beyond the format's maximum");
  // Damage to the dictionary's content would go unnoticed by zstd and
  // change values silently, whatever the checksum pass: always checked.
  if (decode_u32(at + DICTIONARY_CRC_AT) != crc32_of(d.dictionary.data(), d.dictionary.size())) {
    return damaged("dictionary CRC-32 mismatch");
  }
  return d;
}

}  // namespace zelkor
