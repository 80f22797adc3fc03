#include "../standard_output.h"

#include <algorithm>

#include "win32.h"

namespace zelkor::platform {

namespace {

constexpr DWORD MAX_CHUNK = 1 << 16;

// A console takes UTF-16 text, whatever its code page: the UTF-8 bytes
// written to it as they are would show as other characters.
Status write_console(HANDLE out, std::string_view text) {
  const std::wstring wide = win32::to_utf16(text);
  const wchar_t* p = wide.data();
  std::size_t n = wide.size();
  while (n > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n, MAX_CHUNK));
    // A surrogate pair stays in one piece.
    if (chunk < n && IS_HIGH_SURROGATE(p[chunk - 1])) --chunk;
    DWORD written = 0;
    if (!::WriteConsoleW(out, p, chunk, &written, nullptr)) return win32::last_error();
    if (written == 0) return os_error(ERROR_WRITE_FAULT);
    p += written;
    n -= written;
  }
  return Status();
}

}  // namespace

Status write_standard_output(std::string_view text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  // A process without standard output (a GUI program, or one started with
  // no handle there) counts as written to.
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return Status();
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) return write_console(out, text);
  const char* p = text.data();
  std::size_t n = text.size();
  while (n > 0) {
    DWORD written = 0;
    if (!::WriteFile(out, p, static_cast<DWORD>(std::min<std::size_t>(n, MAX_CHUNK)), &written, nullptr)) {
      // The handle closed under the process is no standard output either.
      if (::GetLastError() == ERROR_INVALID_HANDLE) return Status();
      return win32::last_error();
    }
    if (written == 0) return os_error(ERROR_WRITE_FAULT);
    p += written;
    n -= written;
  }
  return Status();
}

}  // namespace zelkor::platform
