// Large in-memory tables are touched at random (hash slots, key arenas), so
// they ask for transparent huge pages: one TLB entry then covers 2 MiB
// instead of 4 KiB. Small blocks come from malloc as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace zelkor {

inline constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20;

// Advises huge pages for the whole pages inside [p, p + size); a hint only.
void advise_huge_pages(void* p, std::size_t size) noexcept;

// Zero-filled memory for `size` bytes: an anonymous mapping advised for huge
// pages when large, else calloc. Throws std::bad_alloc.
void* allocate_zeroed(std::size_t size);
void release_zeroed(void* p, std::size_t size) noexcept;

// std::vector allocator over allocate_zeroed: large vectors get huge pages.
template <typename T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_zeroed(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_zeroed(p, n * sizeof(T)); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace zelkor
