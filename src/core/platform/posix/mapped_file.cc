#include "../mapped_file.h"

#include <errno.h>
#include <sys/stat.h>

#include "../os_error.h"
#include "features.h"

namespace zelkor::platform {

namespace {

std::uint64_t page_size() noexcept { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

}  // namespace

Result<MappedFile> MappedFile::map_whole(const File& file, bool prefault) {
  const int fd = static_cast<int>(file.native());
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  // Only a regular file can be mapped whole; a directory or device may
  // report any size, 0 included.
  if (!S_ISREG(st.st_mode)) return os_error(ENODEV);
  MappedFile mapped;
  if (st.st_size <= 0) return mapped;
  const auto size = static_cast<std::size_t>(st.st_size);
#if ZELKOR_USE_MAP_POPULATE
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | (prefault ? MAP_POPULATE : 0), fd, 0);
#else
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
#endif
  if (base == MAP_FAILED) return os_error(errno);
#if ZELKOR_USE_MADV_HUGEPAGE
  // Lets the kernel back the page cache of a large store with huge pages
  // (a hint; later opens and passes over the file then miss the TLB less).
  ::madvise(base, size, MADV_HUGEPAGE);
#endif
#if !ZELKOR_USE_MAP_POPULATE
  if (prefault) ::posix_madvise(base, size, POSIX_MADV_WILLNEED);
#endif
  mapped.base_ = base;
  mapped.size_ = size;
  return mapped;
}

void MappedFile::populate(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const std::uint64_t page = page_size();
  const std::uint64_t start = offset / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  char* at = static_cast<char*>(base_) + start;
#if ZELKOR_USE_MADVISE
  // Older kernels lack MADV_POPULATE_READ (Linux 5.14); read-ahead then.
  constexpr int POPULATE_READ = 22;
  if (::madvise(at, end - start, POPULATE_READ) != 0) ::madvise(at, end - start, MADV_WILLNEED);
#else
  ::posix_madvise(at, end - start, POSIX_MADV_WILLNEED);
#endif
}

void MappedFile::release(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (base_ == nullptr || offset >= size_) return;
  const std::uint64_t page = page_size();
  // Whole pages only: the page holding the range's first byte may hold
  // data before it.
  const std::uint64_t start = (offset + page - 1) / page * page;
  const std::uint64_t end = length > size_ - offset ? size_ : offset + length;
  if (end <= start) return;
#if ZELKOR_USE_MADVISE
  ::madvise(static_cast<char*>(base_) + start, end - start, MADV_DONTNEED);
#else
  // The pages of a read-only file mapping can always be read in again, so
  // the portable hint is safe wherever it does drop them.
  ::posix_madvise(static_cast<char*>(base_) + start, end - start, POSIX_MADV_DONTNEED);
#endif
}

void MappedFile::unmap() noexcept {
  if (base_ != nullptr) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
}

}  // namespace zelkor::platform
