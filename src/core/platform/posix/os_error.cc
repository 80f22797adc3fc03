#include "../os_error.h"

#include <string.h>

#include <cctype>

namespace zelkor::platform {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int xsi_result, const char* buf) {
  return xsi_result == 0 ? buf : "Unknown error";
}

}  // namespace

std::string render_os_error(int code) {
  char buf[256] = {0};
  std::string message = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
  message += " (os error ";
  message += std::to_string(code);
  message += ')';
  return message;
}

CoreError os_error(int code, std::string_view context) {
  return CoreError::io(render_os_error(code)).with_context(context);
}

}  // namespace zelkor::platform
