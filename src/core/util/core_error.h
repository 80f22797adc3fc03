// The one error value that core operations return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zelkor {

class CoreError {
 public:
  enum class Kind : std::uint8_t { Corrupt, Version, Io, General, Serialization };

  static CoreError corrupt(std::string text) { return CoreError(Kind::Corrupt, std::move(text), 0); }
  static CoreError version(std::uint8_t found) { return CoreError(Kind::Version, {}, found); }
  // A store this build cannot read in full, though its format version is
  // one it knows; reported as a Version error with `text` as its payload.
  static CoreError unsupported(std::string text) { return CoreError(Kind::Version, std::move(text), 0); }
  static CoreError io(std::string text) { return CoreError(Kind::Io, std::move(text), 0); }
  static CoreError general(std::string text) { return CoreError(Kind::General, std::move(text), 0); }
  static CoreError serialization(std::string text) {
    return CoreError(Kind::Serialization, std::move(text), 0);
  }
  // (Errors of operating-system calls come from platform/os_error.h.)

  Kind kind() const noexcept { return kind_; }
  // The payload: text for every kind but Version (and for an unsupported
  // store's Version error).
  const std::string& text() const noexcept { return text_; }
  std::uint8_t version_found() const noexcept { return version_; }

  // The same error with its text preceded by "{context}: " (unchanged for
  // an empty context): for an error raised below the code that knows what
  // was being done, e.g. "open tmp: {os error}".
  CoreError with_context(std::string_view context) &&;

  // "{prefix}: {payload}", e.g. "ZelkCorruptError: bad magic [0, 1, 2, 3]".
  std::string render() const;

 private:
  CoreError(Kind kind, std::string text, std::uint8_t version)
      : kind_(kind), version_(version), text_(std::move(text)) {}

  Kind kind_;
  std::uint8_t version_;
  std::string text_;
};

}  // namespace zelkor
