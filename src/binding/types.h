// The module's two classes. Each type object is created on first use and
// kept for the life of the process, shared by every module object.
#pragma once

#include "py_ref.h"

namespace zelkor::py {

// Get-or-create; nullptr with an exception set on failure.
PyTypeObject* writer_type();
PyTypeObject* reader_type();

// Casts a function of any method signature for a method table entry.
template <typename F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// TypeError "'{type}' object is not an instance of '{class}'" unless
// `self` is an instance of `type`.
bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name);

}  // namespace zelkor::py
