// A growable, owned byte array. Small buffers live on the heap; from
// HUGE_PAGE_SIZE on, a buffer is page memory of the platform advised for
// huge pages, which grows by remapping its pages where the system can
// (platform/memory.h). Growth failure throws std::bad_alloc and leaves the
// buffer as it was.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

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
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { release(); }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Ensures room for `extra` more bytes without changing the contents.
  void reserve_more(std::size_t extra) {
    if (extra > capacity_ - size_) grow(extra);
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
  void grow(std::size_t extra);
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zelkor
