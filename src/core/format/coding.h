// Big-endian fixed-width integer encoding. Every integer in a store file is
// unsigned big-endian; these helpers are the only place that knows it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zelkor {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

namespace detail {
template <typename T>
constexpr T to_big(T v) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    return v;
  } else if constexpr (sizeof(T) == 2) {
    return static_cast<T>(__builtin_bswap16(v));
  } else if constexpr (sizeof(T) == 4) {
    return static_cast<T>(__builtin_bswap32(v));
  } else {
    return static_cast<T>(__builtin_bswap64(v));
  }
}
}  // namespace detail

inline void encode_u16(char* dst, std::uint16_t v) noexcept {
  v = detail::to_big(v);
  std::memcpy(dst, &v, sizeof v);
}
inline void encode_u32(char* dst, std::uint32_t v) noexcept {
  v = detail::to_big(v);
  std::memcpy(dst, &v, sizeof v);
}
inline void encode_u64(char* dst, std::uint64_t v) noexcept {
  v = detail::to_big(v);
  std::memcpy(dst, &v, sizeof v);
}

inline std::uint16_t decode_u16(const char* src) noexcept {
  std::uint16_t v;
  std::memcpy(&v, src, sizeof v);
  return detail::to_big(v);
}
inline std::uint32_t decode_u32(const char* src) noexcept {
  std::uint32_t v;
  std::memcpy(&v, src, sizeof v);
  return detail::to_big(v);
}
inline std::uint64_t decode_u64(const char* src) noexcept {
  std::uint64_t v;
  std::memcpy(&v, src, sizeof v);
  return detail::to_big(v);
}

// a + b when it does not pass 2**64, else false. File offsets are summed only
// through this, so no bound check can be fooled by wrap-around.
[[nodiscard]] inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t* sum) noexcept {
  return !__builtin_add_overflow(a, b, sum);
}

// True when [offset, offset + length) lies inside a region of `size` bytes.
[[nodiscard]] inline bool fits_within(std::uint64_t offset, std::uint64_t length,
                                      std::uint64_t size) noexcept {
  std::uint64_t end;
  return checked_add(offset, length, &end) && end <= size;
}

}  // namespace zelkor
