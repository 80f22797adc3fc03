#include "core_error.h"

#include <string.h>

#include <cctype>

namespace zelkor {

namespace {

const char* kind_prefix(CoreError::Kind kind) {
  switch (kind) {
    case CoreError::Kind::Corrupt: return "ZelkCorruptError: ";
    case CoreError::Kind::Version: return "ZelkVersionError: ";
    case CoreError::Kind::Io: return "ZelkIOError: ";
    case CoreError::Kind::General: return "ZelkError: ";
    case CoreError::Kind::Serialization: return "ZelkSerializationError: ";
  }
  return "ZelkError: ";
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int xsi_result, const char* buf) {
  return xsi_result == 0 ? buf : "Unknown error";
}

}  // namespace

CoreError CoreError::os(int errnum, const std::string& context) {
  std::string text = render_os_error(errnum);
  if (!context.empty()) text = context + ": " + text;
  return io(std::move(text));
}

std::string CoreError::render() const {
  std::string out = kind_prefix(kind_);
  if (kind_ == Kind::Version) {
    out += "unsupported version ";
    out += std::to_string(version_);
  } else {
    out += text_;
  }
  return out;
}

std::string render_os_error(int errnum) {
  char buf[256] = {0};
  std::string message = strerror_text(strerror_r(errnum, buf, sizeof buf), buf);
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
  message += " (os error ";
  message += std::to_string(errnum);
  message += ')';
  return message;
}

}  // namespace zelkor
