#include "rename.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace zelkor::platform::win32 {

namespace {

// FILE_RENAME_INFO with the flags of FileRenameInfoEx (Windows 10 1607 and
// later), which older SDK headers, mingw-w64's among them, lack or hide
// behind the wrong version check.
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;

struct RenameInfoEx {
  DWORD flags;
  HANDLE root_directory;
  DWORD file_name_length;  // in bytes, without a terminating NUL
  WCHAR file_name[1];
};
static_assert(offsetof(RenameInfoEx, root_directory) == offsetof(FILE_RENAME_INFO, RootDirectory));
static_assert(offsetof(RenameInfoEx, file_name) == offsetof(FILE_RENAME_INFO, FileName));

}  // namespace

DWORD rename_by_handle(const std::wstring& from, const std::wstring& to) {
  // The rename goes to the file system as it is, without the path
  // translation of the Win32 calls: the target must be in the system's own
  // absolute form.
  std::wstring name;
  if (const DWORD code = native_absolute_path(to, name); code != ERROR_SUCCESS) return code;
  const std::size_t name_bytes = name.size() * sizeof(WCHAR);
  if (name_bytes > MAXDWORD / 2) return ERROR_FILENAME_EXCED_RANGE;

  const std::size_t size = offsetof(RenameInfoEx, file_name) + name_bytes + sizeof(WCHAR);
  std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  auto* info = reinterpret_cast<RenameInfoEx*>(storage.data());
  info->flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
  info->root_directory = nullptr;
  info->file_name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(info->file_name, name.data(), name_bytes);

  const OwnHandle source(::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!source.valid()) return ::GetLastError();
  if (!::SetFileInformationByHandle(source.get(), FILE_RENAME_INFO_EX, info, static_cast<DWORD>(size))) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

RenameOutcome rename_replacing(const std::wstring& from, const std::wstring& to, RenameByPath by_path) {
  RenameOutcome outcome;
  // No MOVEFILE_WRITE_THROUGH: it matters only for a move done as copy and
  // delete across volumes, which MOVEFILE_COPY_ALLOWED would allow and this
  // rename does not. The file's data is on disk before this runs.
  if (by_path(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return outcome;
  outcome.by_path = ::GetLastError();
  if (outcome.by_path == ERROR_SUCCESS) outcome.by_path = ERROR_GEN_FAILURE;  // a failure without a code
  if (outcome.by_path != ERROR_ACCESS_DENIED) return outcome;
  outcome.by_handle_tried = true;
  outcome.by_handle = rename_by_handle(from, to);
  return outcome;
}

}  // namespace zelkor::platform::win32
