// A fixed-size array of plain values on zero-filled memory from the
// platform (huge pages when large). Unlike a vector it makes no pass of its
// own over the memory: every element reads as zero until written, and the
// pages are zeroed by the system as they are first touched. Allocation
// failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "memory.h"

namespace zelkor {

template <typename T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);

 public:
  ZeroedArray() = default;
  explicit ZeroedArray(std::size_t n) : size_(n) {
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(platform::allocate_zeroed(n * sizeof(T)));
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ZeroedArray(ZeroedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~ZeroedArray() { release(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t bytes() const noexcept { return size_ * sizeof(T); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  void release() noexcept {
    if (data_ != nullptr) platform::release_zeroed(data_, size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zelkor
