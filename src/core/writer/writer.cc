#include "writer.h"

#include <cstring>

#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/object_record.h"

namespace zelkor {

std::uint64_t Writer::add_object(std::string_view payload) {
  const std::uint64_t id = record_offsets_.size();
  if (payload.size() > SIZE_MAX - RECORD_HEAD_SIZE) throw std::bad_alloc();
  record_offsets_.push_back(data_.size());
  char* record;
  try {
    record = data_.extend(RECORD_HEAD_SIZE + payload.size());
  } catch (...) {
    record_offsets_.pop_back();
    throw;
  }
  // An oversized payload's length field is cut to 32 bits; build refuses
  // the writer before such a record could reach a file.
  encode_record_head(record, static_cast<std::uint32_t>(payload.size()), crc32_of(payload.data(), payload.size()));
  if (!payload.empty()) std::memcpy(record + RECORD_HEAD_SIZE, payload.data(), payload.size());
  if (payload.size() > MAX_OBJECT_SIZE && !first_oversized_) first_oversized_ = payload.size();
  return id;
}

Status Writer::add_key(std::string_view key, std::uint64_t object_id) {
  if (object_id >= object_count()) {
    return CoreError::general("obj_id " + std::to_string(object_id) + " out of range (have " +
                              std::to_string(object_count()) + " objects)");
  }
  if (key.size() > MAX_KEY_LEN) {
    return CoreError::general("key is " + std::to_string(key.size()) + " bytes, format maximum is " +
                              std::to_string(MAX_KEY_LEN));
  }
  keys_.put(key, object_id);
  return Status();
}

std::string Writer::describe() const {
  return "_ZelkWriter(objects=" + std::to_string(object_count()) + ", keys=" + std::to_string(key_count()) +
         ")";
}

}  // namespace zelkor
