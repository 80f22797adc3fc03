#include "../system.h"
#include "win32.h"

namespace zelkor::platform::system {

namespace {

// The system's message for `code` in `language`, or nothing.
std::wstring system_message(DWORD code, DWORD language) {
  wchar_t buf[512];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   language, buf, static_cast<DWORD>(std::size(buf)), nullptr);
  return std::wstring(buf, n);
}

}  // namespace

std::string error_message(int code) {
  // Error codes of the system are DWORDs; the int carries them unchanged.
  const auto system_code = static_cast<DWORD>(code);
  // English like the rest of every error's text; the user's language where
  // the system has no English messages installed.
  std::wstring message = system_message(system_code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (message.empty()) message = system_message(system_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
  return message.empty() ? std::string() : win32::to_utf8(message);
}

}  // namespace zelkor::platform::system
