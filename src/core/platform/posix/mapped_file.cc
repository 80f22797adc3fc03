#include "../mapped_file.h"

#include <errno.h>
#include <sys/stat.h>

#include "../os_error.h"
#include "../system.h"
#include "features.h"

namespace zelkor::platform {

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

void MappedFile::read_around(bool on) const noexcept {
  if (base_ == nullptr) return;
#if ZELKOR_USE_MADV_HUGEPAGE
  // A fault in a mapping advised for huge pages reads the whole huge page
  // around it, whatever the other advice says: the two go together.
  ::madvise(base_, size_, on ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#endif
  ::posix_madvise(base_, size_, on ? POSIX_MADV_NORMAL : POSIX_MADV_RANDOM);
}

void MappedFile::unmap() noexcept {
  if (base_ != nullptr) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
}

namespace system {

std::uint64_t page_size() noexcept { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

void map_in(void* p, std::size_t size) noexcept {
#if ZELKOR_USE_MADVISE
  // Older kernels lack MADV_POPULATE_READ (Linux 5.14); read-ahead then.
  constexpr int POPULATE_READ = 22;
  if (::madvise(p, size, POPULATE_READ) != 0) ::madvise(p, size, MADV_WILLNEED);
#else
  ::posix_madvise(p, size, POSIX_MADV_WILLNEED);
#endif
}

void let_go(void* p, std::size_t size) noexcept {
#if ZELKOR_USE_MADVISE
  ::madvise(p, size, MADV_DONTNEED);
#else
  // The pages of a read-only file mapping can always be read in again, so
  // the portable hint is safe wherever it does drop them.
  ::posix_madvise(p, size, POSIX_MADV_DONTNEED);
#endif
}

}  // namespace system

}  // namespace zelkor::platform
