#include <string.h>

#include "../system.h"

namespace zelkor::platform::system {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int xsi_result, const char* buf) {
  return xsi_result == 0 ? buf : "Unknown error";
}

}  // namespace

std::string error_message(int code) {
  char buf[256] = {0};
  return strerror_text(strerror_r(code, buf, sizeof buf), buf);
}

}  // namespace zelkor::platform::system
