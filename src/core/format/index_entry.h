// Index entries: u16 key_len, the key bytes, u64 object_offset.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "coding.h"
#include "constants.h"

namespace zelkor {

inline std::size_t index_entry_size(std::size_t key_len) noexcept { return ENTRY_FIXED_SIZE + key_len; }

// Writes one entry at dst; key.size() must be at most MAX_KEY_LEN.
inline char* encode_index_entry(char* dst, std::string_view key, std::uint64_t object_offset) noexcept {
  encode_u16(dst, static_cast<std::uint16_t>(key.size()));
  if (!key.empty()) std::memcpy(dst + ENTRY_KEY_LEN_SIZE, key.data(), key.size());
  encode_u64(dst + ENTRY_KEY_LEN_SIZE + key.size(), object_offset);
  return dst + index_entry_size(key.size());
}

// Views of an entry already known to lie wholly inside its buffer.
inline std::string_view entry_key(const char* entry) noexcept {
  return {entry + ENTRY_KEY_LEN_SIZE, decode_u16(entry)};
}
inline std::uint64_t entry_object_offset(const char* entry) noexcept {
  return decode_u64(entry + ENTRY_KEY_LEN_SIZE + decode_u16(entry));
}

}  // namespace zelkor
