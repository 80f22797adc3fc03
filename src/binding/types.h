// The module's two classes. Each type object is created on first use and
// kept for the life of the process, shared by every module object.
#pragma once

#include <cstddef>

#include "py_ref.h"

namespace zelkor::py {

// Get-or-create; nullptr with an exception set on failure.
PyTypeObject* writer_type();
PyTypeObject* reader_type();

// What distinguishes the two classes; both are heap types of fixed size
// over `object`, without subclassing, instance dicts, weak references or
// garbage-collector support.
struct ClassSpec {
  const char* qualified_name;  // "builtins.<name>"
  std::size_t instance_size;
  const char* doc;
  void* new_function;
  void* repr_function;
  void* dealloc_function;
  PyMethodDef* methods;
  PyGetSetDef* getset = nullptr;
};

// A new type object from `spec`, or nullptr with an exception set.
PyTypeObject* new_class_type(const ClassSpec& spec);

// Casts a function of any method signature for a method table entry.
template <typename F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// TypeError "'{type}' object is not an instance of '{class}'" unless
// `self` is an instance of `type`.
bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name);

}  // namespace zelkor::py
