// The allocations that every system makes the same way, over the pages of
// each system's implementation (system.h).
#include "memory.h"

#include "system.h"

namespace zelkor::platform {

namespace {

// Below this a mapping costs more than it saves.
constexpr std::size_t MAPPING_THRESHOLD = HUGE_PAGE_SIZE;

}  // namespace

void* allocate_zeroed(std::size_t size) {
  if (size < MAPPING_THRESHOLD) {
    void* p = std::calloc(size == 0 ? 1 : size, 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  return system::map_pages(size);
}

void release_zeroed(void* p, std::size_t size) noexcept {
  if (p == nullptr) return;
  if (size < MAPPING_THRESHOLD) {
    std::free(p);
  } else {
    system::unmap_pages(p, size);
  }
}

void* map_buffer(std::size_t size) { return system::map_pages(size); }

void unmap_buffer(void* p, std::size_t size) noexcept { system::unmap_pages(p, size); }

}  // namespace zelkor::platform
