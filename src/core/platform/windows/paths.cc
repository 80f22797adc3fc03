#include <climits>

#include "win32.h"

namespace zelkor::platform::win32 {

namespace {

// Paths this long or longer get the verbatim form: 260 characters less
// room for the 8.3 name a directory needs for its creation.
constexpr std::size_t LONG_PATH = MAX_PATH - 12;

bool starts_with(std::wstring_view text, std::wstring_view prefix) noexcept {
  return text.substr(0, prefix.size()) == prefix;
}

// Sets `full` to the absolute form of `path`, with "." and ".." resolved
// and every "/" turned into "\\" (GetFullPathNameW does only text, never
// the disk). Returns ERROR_SUCCESS or the system's error code.
DWORD full_path(const std::wstring& path, std::wstring& full) {
  full.assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return ::GetLastError();
    if (n < full.size()) {
      full.resize(n);
      return ERROR_SUCCESS;
    }
    full.resize(n);  // n counts the terminating NUL when the buffer was short
  }
}

}  // namespace

std::string to_utf8(std::wstring_view text) {
  std::string out;
  if (text.empty() || text.size() > INT_MAX / 3) return out;
  const int wide = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring to_utf16(std::string_view text) {
  std::wstring out;
  if (text.empty() || text.size() > INT_MAX) return out;
  const int narrow = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow, nullptr, 0);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow, out.data(), n);
  return out;
}

Result<std::wstring> wide_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return CoreError::io("file name contains a NUL byte");
  std::wstring wide;
  if (!path.empty()) {
    if (path.size() > INT_MAX) return os_error(ERROR_FILENAME_EXCED_RANGE);
    const int narrow = static_cast<int>(path.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), narrow, nullptr, 0);
    if (n <= 0) {
      if (::GetLastError() == ERROR_NO_UNICODE_TRANSLATION) return CoreError::io("file name is not valid UTF-8");
      return last_error();
    }
    wide.resize(static_cast<std::size_t>(n));
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), narrow, wide.data(), n);
  }
  if (wide.size() < LONG_PATH || starts_with(wide, L"\\\\?\\")) return wide;
  std::wstring f;
  if (const DWORD code = full_path(wide, f); code != ERROR_SUCCESS) return os_error(static_cast<int>(code));
  if (starts_with(f, L"\\\\?\\") || starts_with(f, L"\\\\.\\")) return f;
  if (starts_with(f, L"\\\\")) return L"\\\\?\\UNC\\" + f.substr(2);
  return L"\\\\?\\" + f;
}

DWORD native_absolute_path(const std::wstring& path, std::wstring& native) {
  std::wstring f;
  if (const DWORD code = full_path(path, f); code != ERROR_SUCCESS) return code;
  // "\\?\X" and "\\.\X" both stand for "\??\X" in the system's namespace.
  if (starts_with(f, L"\\\\?\\") || starts_with(f, L"\\\\.\\")) {
    native = L"\\??\\" + f.substr(4);
  } else if (starts_with(f, L"\\\\")) {
    native = L"\\??\\UNC\\" + f.substr(2);
  } else {
    native = L"\\??\\" + f;
  }
  return ERROR_SUCCESS;
}

}  // namespace zelkor::platform::win32
