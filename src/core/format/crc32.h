// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, pre- and post-inverted), the
// checksum of every field of the format. The CRC of the empty string is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkor {

// CRC of `prior`'s message followed by [data, data + size). Start from 0.
std::uint32_t crc32_extend(std::uint32_t prior, const void* data, std::size_t size) noexcept;

inline std::uint32_t crc32_of(const void* data, std::size_t size) noexcept {
  return crc32_extend(0, data, size);
}

// CRC of a message A followed by B, from crc32_of(A), crc32_of(B) and B's
// length.
std::uint32_t crc32_concat(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) noexcept;

// crc32_of for a large buffer, computed in two halves at once on a second
// core when the buffer is large enough for that to pay (one pass over a
// large file is bound by memory bandwidth, which one core cannot use up).
std::uint32_t crc32_of_large(const void* data, std::size_t size) noexcept;

// Name of the implementation compiled in ("isa-l", "zlib" or "builtin"),
// for diagnostics.
const char* crc32_backend() noexcept;

// crc32_extend computed by the table-driven routine of this library, the
// implementation of builds with neither ISA-L nor zlib; always compiled in.
std::uint32_t crc32_extend_builtin(std::uint32_t prior, const void* data, std::size_t size) noexcept;

}  // namespace zelkor
