// What the files of the Windows layer share: the system's headers, trimmed,
// the handle inside a File, and the conversions between the layer's UTF-8
// paths and the system's UTF-16 ones.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "../../util/result.h"
#include "../os_error.h"

namespace zelkor::platform::win32 {

inline HANDLE handle_of(std::intptr_t native) noexcept { return reinterpret_cast<HANDLE>(native); }
inline std::intptr_t native_of(HANDLE handle) noexcept { return reinterpret_cast<std::intptr_t>(handle); }

// The Io error for the calling thread's last system error.
inline CoreError last_error() { return os_error(static_cast<int>(::GetLastError())); }

// A handle that the layer opens and closes for itself.
class OwnHandle {
 public:
  explicit OwnHandle(HANDLE handle) noexcept : handle_(handle) {}
  OwnHandle(const OwnHandle&) = delete;
  OwnHandle& operator=(const OwnHandle&) = delete;
  ~OwnHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const noexcept { return handle_; }
  // Gives the handle up to the caller, who closes it.
  HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// `text` (UTF-16) as UTF-8, and back; what is not valid in the one
// becomes U+FFFD in the other.
std::string to_utf8(std::wstring_view text);
std::wstring to_utf16(std::string_view text);

// A path for the system's wide calls: `path` (UTF-8) as UTF-16 and, when it
// is too long for the classic limit of 260 characters, made absolute and
// verbatim ("\\?\C:\..." or "\\?\UNC\server\share\...") so that it still
// opens. Fails with an Io error for bytes that are not UTF-8 and for a NUL
// character, which no system call could pass on.
Result<std::wstring> wide_path(const std::string& path);

// Sets `native` to the absolute form of `path` in the system's own
// namespace ("\??\C:\..."), as a rename by handle takes its target.
// Returns ERROR_SUCCESS or the system's error code.
DWORD native_absolute_path(const std::wstring& path, std::wstring& native);

}  // namespace zelkor::platform::win32
