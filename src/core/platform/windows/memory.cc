#include "../memory.h"

#include <cstring>

#include "../system.h"
#include "win32.h"

namespace zelkor::platform {

void advise_huge_pages(void* p, std::size_t size) noexcept {
  // Windows has no transparent huge pages to ask for.
  (void)p;
  (void)size;
}

void prefault_for_write(void* p, std::size_t size) noexcept {
  // Committed pages are mapped in by their first touch; nothing to hint.
  (void)p;
  (void)size;
}

void* grow_buffer(void* p, std::size_t old_size, std::size_t new_size, std::size_t used) {
  // No call moves pages from one reservation to another: the block is
  // copied. The buffer doubles as it grows, so the copies add up to less
  // than its final size.
  void* grown = system::map_pages(new_size);
  if (used != 0) std::memcpy(grown, p, used);
  system::unmap_pages(p, old_size);
  return grown;
}

namespace system {

// Committed, zero-filled pages of the process's own. Large pages would
// need the "lock pages in memory" privilege and are never paged out, so
// these are plain pages.
void* map_pages(std::size_t size) {
  void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void unmap_pages(void* p, std::size_t size) noexcept {
  (void)size;
  ::VirtualFree(p, 0, MEM_RELEASE);
}

}  // namespace system

}  // namespace zelkor::platform
