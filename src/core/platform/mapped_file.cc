// The parts of a mapped file that every system shares: the ranges of its
// hints, clipped to the mapping, over the calls of each system's
// implementation (system.h).
#include "mapped_file.h"

#include "system.h"

namespace zelkor::platform {

void MappedFile::populate(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const std::uint64_t page = system::page_size();
  const std::uint64_t start = offset / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  system::map_in(static_cast<char*>(base_) + start, static_cast<std::size_t>(end - start));
}

void MappedFile::release(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const std::uint64_t page = system::page_size();
  // Whole pages only: the page holding the range's first byte may hold
  // data before it.
  const std::uint64_t start = (offset + page - 1) / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  if (end <= start) return;
  system::let_go(static_cast<char*>(base_) + start, static_cast<std::size_t>(end - start));
}

}  // namespace zelkor::platform
