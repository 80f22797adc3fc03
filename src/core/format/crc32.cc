#include "crc32.h"

#include "../platform/background_task.h"

#include <algorithm>
#include <array>

#if defined(ZELKOR_HAVE_ISAL)
#include <isa-l/crc.h>
#elif !defined(ZELKOR_CRC_BUILTIN)
#include <zlib.h>
#endif

namespace zelkor {

namespace {

constexpr std::uint32_t POLY = 0xEDB88320;

// a * b modulo the CRC polynomial, both in the reflected bit order (the top
// bit is the coefficient of x^0).
constexpr std::uint32_t multiply_mod(std::uint32_t a, std::uint32_t b) noexcept {
  std::uint32_t product = 0;
  for (std::uint32_t bit = std::uint32_t{1} << 31; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ POLY : b >> 1;
  }
  return product;
}

// x^(2^k) modulo the polynomial, for k = 0..63.
constexpr std::array<std::uint32_t, 64> POWERS = [] {
  std::array<std::uint32_t, 64> p{};
  p[0] = std::uint32_t{1} << 30;  // x^1
  for (std::size_t k = 1; k < p.size(); ++k) p[k] = multiply_mod(p[k - 1], p[k - 1]);
  return p;
}();

// x^(8 * bytes) modulo the polynomial: the shift of a CRC past `bytes` bytes.
std::uint32_t shift_for(std::uint64_t bytes) noexcept {
  std::uint32_t result = std::uint32_t{1} << 31;  // x^0
  unsigned k = 3;                                 // 8 * bytes = bytes << 3
  for (; bytes != 0; bytes >>= 1, ++k) {
    if (bytes & 1) result = multiply_mod(POWERS[k & 63], result);
  }
  return result;
}

// Below this, a second thread costs more than it saves.
constexpr std::size_t PARALLEL_MIN = std::size_t{32} << 20;

}  // namespace

std::uint32_t crc32_extend(std::uint32_t prior, const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
#if defined(ZELKOR_HAVE_ISAL)
  return crc32_gzip_refl(prior, p, size);
#elif defined(ZELKOR_CRC_BUILTIN)
  return crc32_extend_builtin(prior, p, size);
#else
  // zlib takes a 32-bit length; larger buffers go in slices.
  uLong crc = prior;
  while (size > 0) {
    const std::size_t slice = std::min<std::size_t>(size, 1u << 30);
    crc = ::crc32(crc, p, static_cast<uInt>(slice));
    p += slice;
    size -= slice;
  }
  return static_cast<std::uint32_t>(crc);
#endif
}

std::uint32_t crc32_concat(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) noexcept {
  return multiply_mod(shift_for(length_b), crc_a) ^ crc_b;
}

std::uint32_t crc32_of_large(const void* data, std::size_t size) noexcept {
  if (size < PARALLEL_MIN) return crc32_of(data, size);
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t half = size / 2;
  std::uint32_t second = 0;
  try {
    platform::BackgroundTask tail([&] { second = crc32_of(p + half, size - half); }, true);
    const std::uint32_t first = crc32_of(p, half);
    tail.wait();
    return crc32_concat(first, second, size - half);
  } catch (...) {
    return crc32_of(data, size);  // the task's own allocation failed
  }
}

const char* crc32_backend() noexcept {
#if defined(ZELKOR_HAVE_ISAL)
  return "isa-l";
#elif defined(ZELKOR_CRC_BUILTIN)
  return "builtin";
#else
  return "zlib";
#endif
}

}  // namespace zelkor
