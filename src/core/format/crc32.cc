#include "crc32.h"

#include <algorithm>

#if defined(ZELKOR_HAVE_ISAL)
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

namespace zelkor {

std::uint32_t crc32_extend(std::uint32_t prior, const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
#if defined(ZELKOR_HAVE_ISAL)
  return crc32_gzip_refl(prior, p, size);
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

const char* crc32_backend() noexcept {
#if defined(ZELKOR_HAVE_ISAL)
  return "isa-l";
#else
  return "zlib";
#endif
}

}  // namespace zelkor
