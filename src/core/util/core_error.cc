#include "core_error.h"

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

}  // namespace

CoreError CoreError::with_context(std::string_view context) && {
  if (!context.empty()) {
    std::string text(context);
    text += ": ";
    text += text_;
    text_ = std::move(text);
  }
  return std::move(*this);
}

std::string CoreError::render() const {
  std::string out = kind_prefix(kind_);
  if (kind_ == Kind::Version && text_.empty()) {
    out += "unsupported version ";
    out += std::to_string(version_);
  } else {
    out += text_;
  }
  return out;
}

}  // namespace zelkor
