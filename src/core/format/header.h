// The 40-byte header at the start of every store file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../util/result.h"
#include "constants.h"

namespace zelkor {

// The header fields a reader keeps; the rest are fixed (magic, version,
// data_offset = 40) or reserved zeros.
struct Header {
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = HEADER_SIZE;
  std::uint32_t file_crc32 = 0;
};

// Writes all HEADER_SIZE bytes: magic, version 2, the fields, zero padding.
void encode_header(const Header& header, char* dst) noexcept;

// Applies the header checks in their fixed order (length, magic, version)
// to a whole file image and reads the kept fields.
Result<Header> decode_header(std::string_view file);

// "0x" and eight lower-case hex digits.
std::string render_crc(std::uint32_t crc);

// Corrupt "file CRC32 mismatch  stored=...  computed=...".
CoreError file_crc_mismatch(std::uint32_t stored, std::uint32_t computed);

// Checks the CRC of every byte after the header against `stored`.
Status check_file_crc(std::string_view file, std::uint32_t stored);

}  // namespace zelkor
