#include "header.h"

#include <cstdio>
#include <cstring>

#include "coding.h"
#include "crc32.h"

namespace zelkor {

void encode_header(const Header& header, char* dst) noexcept {
  std::memset(dst, 0, HEADER_SIZE);
  std::memcpy(dst, MAGIC, sizeof MAGIC);
  dst[HEADER_VERSION_AT] = static_cast<char>(FORMAT_VERSION);
  encode_u32(dst + HEADER_NUM_KEYS_AT, header.num_keys);
  encode_u32(dst + HEADER_NUM_OBJECTS_AT, header.num_objects);
  encode_u64(dst + HEADER_INDEX_OFFSET_AT, header.index_offset);
  encode_u64(dst + HEADER_DATA_OFFSET_AT, HEADER_SIZE);
  encode_u32(dst + HEADER_FILE_CRC_AT, header.file_crc32);
}

Result<Header> decode_header(std::string_view file) {
  if (file.size() < HEADER_SIZE) return CoreError::corrupt("file too small for header");
  const char* p = file.data();
  if (std::memcmp(p, MAGIC, sizeof MAGIC) != 0) {
    std::string text = "bad magic [";
    for (int i = 0; i < 4; ++i) {
      if (i > 0) text += ", ";
      text += std::to_string(static_cast<unsigned char>(p[i]));
    }
    text += ']';
    return CoreError::corrupt(std::move(text));
  }
  const auto version = static_cast<std::uint8_t>(p[HEADER_VERSION_AT]);
  if (version != FORMAT_VERSION) return CoreError::version(version);
  Header header;
  header.num_keys = decode_u32(p + HEADER_NUM_KEYS_AT);
  header.num_objects = decode_u32(p + HEADER_NUM_OBJECTS_AT);
  header.index_offset = decode_u64(p + HEADER_INDEX_OFFSET_AT);
  header.file_crc32 = decode_u32(p + HEADER_FILE_CRC_AT);
  return header;
}

std::string render_crc(std::uint32_t crc) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(crc));
  return buf;
}

CoreError file_crc_mismatch(std::uint32_t stored, std::uint32_t computed) {
  return CoreError::corrupt("file CRC32 mismatch  stored=" + render_crc(stored) +
                            "  computed=" + render_crc(computed));
}

Status check_file_crc(std::string_view file, std::uint32_t stored) {
  const std::string_view body = file.size() > HEADER_SIZE ? file.substr(HEADER_SIZE) : std::string_view();
  const std::uint32_t computed = crc32_of_large(body.data(), body.size());
  if (computed != stored) return file_crc_mismatch(stored, computed);
  return Status();
}

}  // namespace zelkor
