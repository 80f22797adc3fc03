#include "../mapped_file.h"

#include "../system.h"
#include "win32.h"

namespace zelkor::platform {

namespace {

using win32::last_error;

// Hints that [at, at + length) is about to be read (Windows 8 and later).
void prefetch(void* at, std::uint64_t length) noexcept {
  WIN32_MEMORY_RANGE_ENTRY range{at, static_cast<SIZE_T>(length)};
  ::PrefetchVirtualMemory(::GetCurrentProcess(), 1, &range, 0);
}

}  // namespace

Result<MappedFile> MappedFile::map_whole(const File& file, bool prefault) {
  const HANDLE h = win32::handle_of(file.native());
  // Only a regular file can be mapped whole: not a directory, a pipe, a
  // console or another device.
  if (::GetFileType(h) != FILE_TYPE_DISK) return os_error(ERROR_NOT_SUPPORTED);
  FILE_STANDARD_INFO info{};
  if (!::GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info)) return last_error();
  if (info.Directory) return os_error(ERROR_NOT_SUPPORTED);
  MappedFile mapped;
  if (info.EndOfFile.QuadPart <= 0) return mapped;  // no mapping of an empty file
  const auto size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (size > SIZE_MAX) return os_error(ERROR_NOT_ENOUGH_MEMORY);
  }
  // The mapping is made for the size just measured: a file that shrank
  // since fails here instead of giving a view past its end.
  const win32::OwnHandle mapping(::CreateFileMappingW(h, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                                      static_cast<DWORD>(size), nullptr));
  if (!mapping.valid()) return last_error();
  void* base = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (base == nullptr) return last_error();
  // The view holds the mapping: its handle is closed here and the view
  // stays valid until unmapped.
  mapped.base_ = base;
  mapped.size_ = static_cast<std::size_t>(size);
  if (prefault) prefetch(base, size);
  return mapped;
}

// Windows reads a mapped file's pages in clusters of its own choosing; it
// has no advice to change that for a view.
void MappedFile::read_around(bool) const noexcept {}

void MappedFile::unmap() noexcept {
  if (base_ != nullptr) ::UnmapViewOfFile(base_);
  base_ = nullptr;
  size_ = 0;
}

namespace system {

std::uint64_t page_size() noexcept {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwPageSize;
}

void map_in(void* p, std::size_t size) noexcept { prefetch(p, size); }

void let_go(void* p, std::size_t size) noexcept {
  // VirtualUnlock on pages that were never locked takes them out of the
  // process's working set (and reports ERROR_NOT_LOCKED). They stay in the
  // system's cache of the file; the next read maps them in again. Nothing
  // that discards contents (DiscardVirtualMemory, MEM_RESET) is fit for a
  // view of a file.
  ::VirtualUnlock(p, static_cast<SIZE_T>(size));
}

}  // namespace system

}  // namespace zelkor::platform
