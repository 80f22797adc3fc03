#include "object_record.h"

#include <string>

namespace zelkor {

Result<std::string_view> fetch_object(std::string_view file, std::uint64_t object_offset) {
  const std::uint64_t size = file.size();
  if (!fits_within(object_offset, RECORD_HEAD_SIZE, size)) {
    return CoreError::corrupt("offset " + std::to_string(object_offset) + " out of bounds");
  }
  const std::uint32_t payload_len = decode_u32(file.data() + object_offset);
  // object_offset + 8 <= size, so this sum cannot wrap.
  const std::uint64_t payload_at = object_offset + RECORD_HEAD_SIZE;
  if (payload_len > size - payload_at) {
    return CoreError::corrupt("object at " + std::to_string(object_offset) + " extends beyond file end");
  }
  return file.substr(payload_at, payload_len);
}

}  // namespace zelkor
