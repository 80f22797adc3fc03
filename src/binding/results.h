// Core values to new Python objects. Nothing returned shares memory with a
// reader or writer.
#pragma once

#include <string_view>

#include "../core/util/utf8.h"
#include "py_ref.h"

namespace zelkor::py {

inline PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// A key's text form: UTF-8, each maximal ill-formed subsequence replaced by
// one U+FFFD.
inline PyObject* key_text(std::string_view key) {
  return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace");
}

// A key's natural form: the str it decodes to when it is well-formed UTF-8,
// else its bytes as stored; two distinct keys never give equal objects.
inline PyObject* natural_key(std::string_view key) {
  if (!is_utf8(key)) return new_bytes(key);
  return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
}

// A 2-tuple of str/bytes items, stealing both; releases them if either is
// null.
inline PyObject* new_pair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, first);
  PyTuple_SET_ITEM(pair, 1, second);
  // A pair of str and bytes can be part of no reference cycle; the
  // collector would untrack it at its next pass, so spare it the visits.
  PyObject_GC_UnTrack(pair);
  return pair;
}

inline PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace zelkor::py
