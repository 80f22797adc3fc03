// Deep verification of an open store.
#include "../format/coding.h"
#include "../format/constants.h"
#include "../format/crc32.h"
#include "offset_set.h"
#include "reader.h"

namespace zelkor {

Status Reader::verify() const {
  const std::string_view bytes = file();
  if (Status s = check_file_crc(bytes, header_.file_crc32); !s.ok()) return s;

  const std::uint64_t size = bytes.size();
  OffsetSet seen(entry_count());
  for (std::size_t i = 0; i < entry_count(); ++i) {
    const std::uint64_t offset = object_offset_at(i);
    if (!seen.insert(offset)) continue;
    if (!fits_within(offset, RECORD_HEAD_SIZE, size)) {
      return CoreError::corrupt("object offset " + std::to_string(offset) + " out of bounds");
    }
    const char* record = bytes.data() + offset;
    const std::uint32_t payload_len = decode_u32(record);
    const std::uint32_t stored_crc = decode_u32(record + 4);
    if (payload_len > size - offset - RECORD_HEAD_SIZE) {
      return CoreError::corrupt("object at " + std::to_string(offset) + " extends beyond file end");
    }
    if (crc32_of(record + RECORD_HEAD_SIZE, payload_len) != stored_crc) {
      return CoreError::corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
    }
  }
  return Status();
}

}  // namespace zelkor
