#include "error_bridge.h"

#include <string>

namespace zelkor::py {

namespace {

PyObject* exception_class(CoreError::Kind kind) {
  switch (kind) {
    case CoreError::Kind::Corrupt:
    case CoreError::Kind::Version: return PyExc_RuntimeError;
    case CoreError::Kind::Io: return PyExc_OSError;
    case CoreError::Kind::General:
    case CoreError::Kind::Serialization: return PyExc_ValueError;
  }
  return PyExc_RuntimeError;
}

constexpr const char* GENERIC_FAULT_TEXT = "internal fault in _zelkor (a broken invariant)";

}  // namespace

PyObject* raise_core_error(const CoreError& error) {
  const std::string text = error.render();
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // One (non-tuple) argument: an OSError stays a plain OSError, errno None.
  PyErr_SetObject(exception_class(error.kind()), message.get());
  return nullptr;
}

PyObject* internal_fault_type() {
  // Created under the interpreter lock, once; kept for the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("_zelkor.InternalFault",
                                     "A broken internal invariant of _zelkor. Derived from BaseException so that "
                                     "'except Exception' does not swallow it; please report it.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_internal_fault(const char* text) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return nullptr;
  PyErr_SetString(type, text != nullptr && text[0] != '\0' ? text : GENERIC_FAULT_TEXT);
  return nullptr;
}

Ref type_qualname(PyObject* obj) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString("?"));
  }
  return name;
}

PyObject* raise_not_instance(const char* name, PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", name, target);
    return nullptr;
  }
  Ref qualname = type_qualname(obj);
  if (!qualname) return nullptr;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", name, qualname.get(),
               target);
  return nullptr;
}

}  // namespace zelkor::py
