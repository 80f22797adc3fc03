// Object records of the data section: u32 payload_len, u32 payload_crc32,
// then the payload. An object offset is the absolute file offset of the
// record's first byte.
#pragma once

#include <cstdint>
#include <string_view>

#include "../util/result.h"
#include "coding.h"
#include "constants.h"

namespace zelkor {

inline void encode_record_head(char* dst, std::uint32_t payload_len, std::uint32_t payload_crc) noexcept {
  encode_u32(dst, payload_len);
  encode_u32(dst + 4, payload_crc);
}

// The payload of the record at `object_offset` as a view into `file`, after
// bounds checks that never wrap. The payload CRC is not checked here.
Result<std::string_view> fetch_object(std::string_view file, std::uint64_t object_offset);

}  // namespace zelkor
