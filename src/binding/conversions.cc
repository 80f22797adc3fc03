#include "conversions.h"

#include <algorithm>

#include "../core/format/constants.h"
#include "error_bridge.h"

namespace zelkor::py {

namespace {

PyObject* reject_key() {
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return nullptr;
}

// A key that failed to convert is rejected whatever the error was, except
// one that is not an Exception (KeyboardInterrupt, SystemExit): those stop
// the program and must reach it.
bool reject_key_after_error() {
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  reject_key();
  return false;
}

// Re-raises a TypeError of converting argument `name` with the argument's
// name in front of its text; other errors pass unchanged.
void prefix_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyObject* t = reinterpret_cast<PyObject*>(type);
  Ref module = Ref::steal(PyObject_GetAttrString(t, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(t, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool KeyBytes::convert(PyObject* obj) {
  if (PyUnicode_Check(obj) && encode_text(obj)) return true;  // else a lone surrogate: rejected below
  if (PyBytes_Check(obj)) {
    view_ = bytes_view(obj);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    owned_.assign(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
    view_ = owned_;
    return true;
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return reject_key();
  return convert_sequence(obj);
}

bool KeyBytes::encode_text(PyObject* obj) {
#if defined(Py_LIMITED_API)
  // The stable ABI has no view of a str's characters: its UTF-8 form from
  // the interpreter (the characters themselves for ASCII text, else a copy
  // that stays attached to the str). Fails for a lone surrogate.
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  view_ = {utf8, static_cast<std::size_t>(size)};
  return true;
#else
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(obj) != 0) {
    PyErr_Clear();
    return false;
  }
#endif
  if (PyUnicode_IS_ASCII(obj)) {
    // Its characters are its UTF-8 bytes.
    view_ = {static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
    return true;
  }
  // Encoded here rather than through the interpreter, which would attach a
  // cached copy to a key that is usually used once. Each character takes at
  // most one byte more than its kind's width, and never more than four.
  const int kind = PyUnicode_KIND(obj);
  const void* data = PyUnicode_DATA(obj);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
  const std::size_t most =
      static_cast<std::size_t>(length) * static_cast<std::size_t>(kind == PyUnicode_4BYTE_KIND ? 4 : kind + 1);
  char* start = inline_;
  if (most > INLINE_SIZE) {
    owned_.resize(most);
    start = owned_.data();
  }
  char* out = start;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return false;  // a lone surrogate has no UTF-8 form
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  view_ = {start, static_cast<std::size_t>(out - start)};
  return true;
#endif
}

bool KeyBytes::convert_sequence(PyObject* obj) {
  owned_.clear();
  // len() only sizes the buffer, and is not trusted beyond a key's maximum:
  // the items alone make the key.
  const Py_ssize_t hint = PyObject_Length(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    owned_.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), MAX_KEY_LEN + 1));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return reject_key_after_error();
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    const long value = PyLong_AsLong(item.get());
    if (value < 0 || value > 255) return reject_key_after_error();
    owned_.push_back(static_cast<char>(value));
  }
  if (PyErr_Occurred()) return reject_key_after_error();
  view_ = owned_;
  return true;
}

Ref iterate_keys(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj)) {
    Ref qualname = type_qualname(obj);
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "argument 'keys' must be an iterable of keys, not '%U'", qualname.get());
    }
    return Ref();
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) prefix_type_error("keys");
  return iter;
}

std::optional<std::string_view> convert_raw_bytes(PyObject* obj, const char* name) {
  if (!PyBytes_Check(obj)) {
    raise_not_instance(name, obj, "bytes");
    return std::nullopt;
  }
  return bytes_view(obj);
}

std::optional<std::uint64_t> convert_object_id(PyObject* obj) {
  Ref number;
  if (PyLong_Check(obj)) {
    number = Ref::borrow(obj);
  } else {
    number = Ref::steal(PyNumber_Index(obj));
    if (!number) {
      prefix_type_error("obj_id");
      return std::nullopt;
    }
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error("obj_id");
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> convert_position(PyObject* obj, const char* name) {
  static_assert(sizeof(Py_ssize_t) <= sizeof(std::int64_t));
  // Saturates rather than raising OverflowError: positions are clipped.
  const Py_ssize_t value = PyNumber_AsSsize_t(obj, nullptr);
  if (value == -1 && PyErr_Occurred()) {
    prefix_type_error(name);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

std::optional<std::string_view> convert_path(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance("path", obj, "str");
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return std::nullopt;  // UnicodeEncodeError, unchanged
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<bool> convert_verify_flag(PyObject* obj) { return convert_flag(obj, "verify"); }

std::optional<bool> convert_flag(PyObject* obj, const char* name) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool_type(type)) {
    const inquiry nb_bool = bool_slot(type);
    if (nb_bool == nullptr) {
      Ref type_name_text = Ref::steal(type_name(type));
      if (type_name_text) {
        PyErr_Format(PyExc_TypeError, "argument '%s': object of type '%U' does not define a '__bool__' conversion",
                     name, type_name_text.get());
      }
      return std::nullopt;
    }
    const int truth = nb_bool(obj);
    if (truth < 0) {
      prefix_type_error(name);
      return std::nullopt;
    }
    return truth != 0;
  }
  raise_not_instance(name, obj, "bool");
  return std::nullopt;
}

}  // namespace zelkor::py
