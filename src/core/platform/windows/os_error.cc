#include "../os_error.h"

#include <cwctype>

#include "win32.h"

namespace zelkor::platform {

namespace {

// The system's message for `code` in `language`, or nothing.
std::wstring system_message(DWORD code, DWORD language) {
  wchar_t buf[512];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   language, buf, static_cast<DWORD>(std::size(buf)), nullptr);
  return std::wstring(buf, n);
}

}  // namespace

std::string render_os_error(int code) {
  // Error codes of the system are DWORDs; the int carries them unchanged.
  const auto system_code = static_cast<DWORD>(code);
  // English like the rest of every error's text; the user's language where
  // the system has no English messages installed.
  std::wstring message = system_message(system_code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (message.empty()) message = system_message(system_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
  while (!message.empty() && std::iswspace(static_cast<wint_t>(message.back()))) message.pop_back();
  std::string text = message.empty() ? std::string("Unknown error") : win32::to_utf8(message);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

CoreError os_error(int code, std::string_view context) {
  return CoreError::io(render_os_error(code)).with_context(context);
}

}  // namespace zelkor::platform
