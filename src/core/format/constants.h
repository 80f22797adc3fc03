// Fixed numbers of the .zlkr layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkor {

inline constexpr std::size_t HEADER_SIZE = 40;
inline constexpr std::uint8_t FORMAT_VERSION = 2;
inline constexpr char MAGIC[4] = {'Z', 'L', 'K', 'R'};

// Byte positions of the header fields.
inline constexpr std::size_t HEADER_VERSION_AT = 4;
inline constexpr std::size_t HEADER_NUM_KEYS_AT = 8;
inline constexpr std::size_t HEADER_NUM_OBJECTS_AT = 12;
inline constexpr std::size_t HEADER_INDEX_OFFSET_AT = 16;
inline constexpr std::size_t HEADER_DATA_OFFSET_AT = 24;
inline constexpr std::size_t HEADER_FILE_CRC_AT = 32;

// Object record: u32 payload_len, u32 payload_crc32, payload.
inline constexpr std::size_t RECORD_HEAD_SIZE = 8;
// Index entry: u16 key_len, key, u64 object_offset.
inline constexpr std::size_t ENTRY_KEY_LEN_SIZE = 2;
inline constexpr std::size_t ENTRY_OFFSET_SIZE = 8;
inline constexpr std::size_t ENTRY_FIXED_SIZE = ENTRY_KEY_LEN_SIZE + ENTRY_OFFSET_SIZE;

inline constexpr std::uint64_t MAX_KEY_LEN = 65535;
inline constexpr std::uint64_t MAX_OBJECT_SIZE = 4294967295ULL;
inline constexpr std::uint64_t MAX_KEYS = 4294967295ULL;
inline constexpr std::uint64_t MAX_OBJECTS = 4294967295ULL;

}  // namespace zelkor
