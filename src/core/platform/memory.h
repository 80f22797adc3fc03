// Memory straight from the operating system, for the core's large tables
// and buffers.
//
// Large in-memory tables are touched at random (hash slots, key arenas), so
// they ask for transparent huge pages where the system has them: one TLB
// entry then covers 2 MiB instead of 4 KiB. Small blocks come from malloc
// as usual. Every allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace zelkor::platform {

inline constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20;

// Advises huge pages for the whole pages inside [p, p + size); a hint only,
// nothing where the system has no such advice.
void advise_huge_pages(void* p, std::size_t size) noexcept;

// Zero-filled memory for `size` bytes: an anonymous mapping advised for huge
// pages when large, else calloc. Throws std::bad_alloc.
void* allocate_zeroed(std::size_t size);
// Returns memory from allocate_zeroed; `size` is the size it was asked for.
void release_zeroed(void* p, std::size_t size) noexcept;

// Maps in the whole pages inside [p, p + size) of writable memory as the
// first writes to them would, without changing a byte: a thread can so take
// the kernel's page zeroing off another that is about to fill the memory,
// or is filling it already. A hint: it may do nothing.
void prefault_for_write(void* p, std::size_t size) noexcept;

// Page memory for a buffer that grows: `size` zero-filled bytes, a multiple
// of HUGE_PAGE_SIZE, advised for huge pages.
void* map_buffer(std::size_t size);
// Grows a map_buffer block from `old_size` to `new_size` bytes (both
// multiples of HUGE_PAGE_SIZE), keeping its first `used` bytes; returns
// the block's new place. Where the system can, the pages move rather than
// being copied. On failure it throws and the old block stays as it was.
void* grow_buffer(void* p, std::size_t old_size, std::size_t new_size, std::size_t used);
void unmap_buffer(void* p, std::size_t size) noexcept;

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

}  // namespace zelkor::platform
