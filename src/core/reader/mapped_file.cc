#include "mapped_file.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelkor {

Result<MappedFile> MappedFile::map_whole(int fd, bool prefault) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return CoreError::os(errno, "mmap failed");
  // Only a regular file can be mapped whole; a directory or device may
  // report any size, 0 included.
  if (!S_ISREG(st.st_mode)) return CoreError::os(ENODEV, "mmap failed");
  MappedFile mapped;
  if (st.st_size <= 0) return mapped;
  const auto size = static_cast<std::size_t>(st.st_size);
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | (prefault ? MAP_POPULATE : 0), fd, 0);
  if (base == MAP_FAILED) return CoreError::os(errno, "mmap failed");
  // Lets the kernel back the page cache of a large store with huge pages
  // (a hint; later opens and passes over the file then miss the TLB less).
  ::madvise(base, size, MADV_HUGEPAGE);
  mapped.base_ = base;
  mapped.size_ = size;
  return mapped;
}

void MappedFile::populate(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  char* at = static_cast<char*>(base_) + start;
  // Older kernels lack MADV_POPULATE_READ (Linux 5.14); read-ahead then.
  constexpr int POPULATE_READ = 22;
  if (::madvise(at, end - start, POPULATE_READ) != 0) ::madvise(at, end - start, MADV_WILLNEED);
}

void MappedFile::release(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  // Whole pages only: the page holding the range's first byte may hold
  // data before it.
  const std::uint64_t start = (offset + page - 1) / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  if (end > start) ::madvise(static_cast<char*>(base_) + start, end - start, MADV_DONTNEED);
}

void MappedFile::unmap() noexcept {
  if (base_ != nullptr) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
}

}  // namespace zelkor
