// Status and Result<T>: a core operation returns its value or one CoreError,
// never both. Allocation failure is the one exception to errors-as-values: it
// propagates as std::bad_alloc and the caller's boundary turns it into its
// own out-of-memory report.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "core_error.h"

namespace zelkor {

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(CoreError error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  static Status ok_status() { return Status(); }
  bool ok() const noexcept { return !error_.has_value(); }
  const CoreError& error() const& { return *error_; }
  CoreError&& error() && { return std::move(*error_); }

 private:
  std::optional<CoreError> error_;
};

template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, CoreError>);

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT
  Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const CoreError& error() const& { return std::get<1>(v_); }
  CoreError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, CoreError> v_;
};

}  // namespace zelkor
