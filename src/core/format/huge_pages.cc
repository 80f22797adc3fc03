#include "huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace zelkor {

namespace {

constexpr std::size_t PAGE = 4096;
// Below this a mapping costs more than it saves.
constexpr std::size_t MAPPING_THRESHOLD = HUGE_PAGE_SIZE;

}  // namespace

void advise_huge_pages(void* p, std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  if (size < HUGE_PAGE_SIZE) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + PAGE - 1) & ~(PAGE - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(PAGE - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

void* allocate_zeroed(std::size_t size) {
  if (size < MAPPING_THRESHOLD) {
    void* p = std::calloc(size == 0 ? 1 : size, 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(p, size);
  return p;
}

void release_zeroed(void* p, std::size_t size) noexcept {
  if (p == nullptr) return;
  if (size < MAPPING_THRESHOLD) {
    std::free(p);
  } else {
    ::munmap(p, size);
  }
}

}  // namespace zelkor
