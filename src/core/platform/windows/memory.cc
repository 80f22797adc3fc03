#include "../memory.h"

#include <cstring>

#include "win32.h"

namespace zelkor::platform {

namespace {

// Below this a mapping costs more than it saves.
constexpr std::size_t MAPPING_THRESHOLD = HUGE_PAGE_SIZE;

// Committed, zero-filled pages of the process's own. Large pages would
// need the "lock pages in memory" privilege and are never paged out, so
// these are plain pages.
void* map_anonymous(std::size_t size) {
  void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void unmap_anonymous(void* p) noexcept { ::VirtualFree(p, 0, MEM_RELEASE); }

}  // namespace

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

void* allocate_zeroed(std::size_t size) {
  if (size < MAPPING_THRESHOLD) {
    void* p = std::calloc(size == 0 ? 1 : size, 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  return map_anonymous(size);
}

void release_zeroed(void* p, std::size_t size) noexcept {
  if (p == nullptr) return;
  if (size < MAPPING_THRESHOLD) {
    std::free(p);
  } else {
    unmap_anonymous(p);
  }
}

void* map_buffer(std::size_t size) { return map_anonymous(size); }

void* grow_buffer(void* p, std::size_t old_size, std::size_t new_size, std::size_t used) {
  // No call moves pages from one reservation to another: the block is
  // copied. The buffer doubles as it grows, so the copies add up to less
  // than its final size.
  (void)old_size;
  void* grown = map_anonymous(new_size);
  if (used != 0) std::memcpy(grown, p, used);
  unmap_anonymous(p);
  return grown;
}

void unmap_buffer(void* p, std::size_t size) noexcept {
  (void)size;
  unmap_anonymous(p);
}

}  // namespace zelkor::platform
