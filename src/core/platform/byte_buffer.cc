#include "byte_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "memory.h"

namespace zelkor {

namespace {

using platform::HUGE_PAGE_SIZE;

bool is_mapping(std::size_t capacity) noexcept { return capacity >= HUGE_PAGE_SIZE; }

std::size_t round_up(std::size_t n, std::size_t unit) {
  if (n > SIZE_MAX - unit) throw std::bad_alloc();
  return (n + unit - 1) / unit * unit;
}

}  // namespace

void ByteBuffer::grow(std::size_t extra) {
  if (extra > SIZE_MAX - size_) throw std::bad_alloc();
  const std::size_t want = size_ + extra;
  std::size_t grown = capacity_ <= SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
  if (grown < want) grown = want;
  if (grown < 64) grown = 64;

  if (!is_mapping(grown)) {
    void* p = std::realloc(data_, grown);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = grown;
    return;
  }
  grown = round_up(grown, HUGE_PAGE_SIZE);
  if (is_mapping(capacity_)) {
    data_ = static_cast<char*>(platform::grow_buffer(data_, capacity_, grown, size_));
    capacity_ = grown;
    return;
  }
  void* p = platform::map_buffer(grown);
  if (size_ != 0) std::memcpy(p, data_, size_);
  std::free(data_);
  data_ = static_cast<char*>(p);
  capacity_ = grown;
}

void ByteBuffer::release() noexcept {
  if (data_ == nullptr) return;
  if (is_mapping(capacity_)) {
    platform::unmap_buffer(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
  size_ = 0;
}

}  // namespace zelkor
