#include "../memory.h"

#include <cstring>

#include "../system.h"
#include "features.h"

namespace zelkor::platform {

namespace {

constexpr std::size_t PAGE = 4096;

std::uintptr_t round_up(std::uintptr_t n, std::uintptr_t unit) noexcept { return (n + unit - 1) / unit * unit; }

}  // namespace

void advise_huge_pages(void* p, std::size_t size) noexcept {
#if ZELKOR_USE_MADV_HUGEPAGE
  if (size < HUGE_PAGE_SIZE) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + PAGE - 1) & ~(PAGE - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(PAGE - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

void prefault_for_write(void* p, std::size_t size) noexcept {
#if ZELKOR_USE_MADVISE
  // The whole pages inside the range. MADV_POPULATE_WRITE is Linux 5.14's;
  // older kernels refuse it, and the first writes zero the pages as usual.
  constexpr int POPULATE_WRITE = 23;
  const std::uintptr_t begin = round_up(reinterpret_cast<std::uintptr_t>(p), PAGE);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + size) / PAGE * PAGE;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, POPULATE_WRITE);
#else
  (void)p;
  (void)size;
#endif
}

void* grow_buffer(void* p, std::size_t old_size, std::size_t new_size, std::size_t used) {
#if ZELKOR_USE_MREMAP
  (void)used;
  void* grown = ::mremap(p, old_size, new_size, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(grown, new_size);
  return grown;
#else
  void* grown = system::map_pages(new_size);
  if (used != 0) std::memcpy(grown, p, used);
  ::munmap(p, old_size);
  return grown;
#endif
}

namespace system {

// The mapping starts on a huge-page boundary, so that all of it can be
// backed by huge pages, not only the whole huge pages that happen to lie
// inside it: more room is asked for and the unaligned ends given back.
void* map_pages(std::size_t size) {
  const std::size_t room = size <= SIZE_MAX - HUGE_PAGE_SIZE ? size + HUGE_PAGE_SIZE : size;
  void* p = ::mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (room != size) {
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = round_up(start, HUGE_PAGE_SIZE);
    const std::uintptr_t end = aligned + round_up(size, PAGE);
    if (aligned > start) ::munmap(p, aligned - start);
    if (start + room > end) ::munmap(reinterpret_cast<void*>(end), start + room - end);
    p = reinterpret_cast<void*>(aligned);
  }
  advise_huge_pages(p, size);
  return p;
}

void unmap_pages(void* p, std::size_t size) noexcept { ::munmap(p, size); }

}  // namespace system

}  // namespace zelkor::platform
