// A growable, owned byte array. Large buffers grow through realloc, which for
// big blocks remaps pages instead of copying them; growth failure throws
// std::bad_alloc and leaves the buffer as it was.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "huge_pages.h"

namespace zelkor {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Ensures room for `extra` more bytes without changing the contents.
  void reserve_more(std::size_t extra) {
    if (extra <= capacity_ - size_) return;
    if (extra > SIZE_MAX - size_) throw std::bad_alloc();
    std::size_t want = size_ + extra;
    std::size_t grown = capacity_ < SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
    if (grown < want) grown = want;
    if (grown < 64) grown = 64;
    void* p = std::realloc(data_, grown);
    if (p == nullptr && grown > want) p = std::realloc(data_, grown = want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = grown;
    advise_huge_pages(data_, capacity_);
  }

  // Appends `n` bytes whose contents the caller fills in; returns their start.
  char* extend(std::size_t n) {
    reserve_more(n);
    char* at = data_ + size_;
    size_ += n;
    return at;
  }

  void append(const void* src, std::size_t n) {
    char* at = extend(n);
    if (n != 0) std::memcpy(at, src, n);
  }

  // Drops bytes from the end; never reallocates.
  void truncate(std::size_t new_size) noexcept {
    if (new_size < size_) size_ = new_size;
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zelkor
