// Conversion of Python arguments to the values core operations take.
// Each returns false (or nullopt) with the Python exception set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "py_ref.h"

namespace zelkor::py {

// A key or prefix as bytes. An ASCII str and a bytes object are read in
// place: the caller keeps the argument alive while the view is in use, and
// neither can change. Any other accepted value is converted into storage of
// this object's own, so the bytes stay as they are for as long as the
// object lives, whatever Python code runs meanwhile (a finalizer, a
// re-entrant call converting keys of its own).
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;

  // str, bytes, bytearray, or a sequence of ints 0..255; anything else
  // raises ValueError "key must be str or bytes".
  bool convert(PyObject* obj);
  std::string_view view() const noexcept { return view_; }

 private:
  // Text of up to this many UTF-8 bytes is encoded without allocating.
  static constexpr std::size_t INLINE_SIZE = 64;

  bool encode_text(PyObject* obj);
  bool convert_sequence(PyObject* obj);
  std::string_view view_;
  std::string owned_;
  char inline_[INLINE_SIZE];
};

// An iterator over `obj`, an iterable of keys. A str or bytes-like value
// is one key, not an iterable of them, and is refused like a value that is
// not iterable: TypeError naming argument 'keys'.
Ref iterate_keys(PyObject* obj);

// `bytes` (or a subclass) only: a view of its contents.
std::optional<std::string_view> convert_raw_bytes(PyObject* obj, const char* name = "raw_bytes");

// int, or any object with __index__, as an unsigned 64-bit value.
std::optional<std::uint64_t> convert_object_id(PyObject* obj);

// int, or any object with __index__, as a signed 64-bit index position;
// values beyond that range saturate. A TypeError names argument `name`.
std::optional<std::int64_t> convert_position(PyObject* obj, const char* name);

// str (or a subclass) only: its UTF-8 text.
std::optional<std::string_view> convert_path(PyObject* obj);

// True/False, or a NumPy bool by its truth value.
std::optional<bool> convert_verify_flag(PyObject* obj);
// The same rule for any flag argument, named `name` in its messages.
std::optional<bool> convert_flag(PyObject* obj, const char* name);

}  // namespace zelkor::py
