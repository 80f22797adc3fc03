// The binding on CPython's stable ABI. The build option ZELKOR_LIMITED_API
// defines Py_LIMITED_API (3.10), which hides the macros that read object
// internals and the fields of type objects; this header gives the binding
// the same names as calls of the stable ABI's functions, and the type-slot
// helpers below, so both builds compile from one source and behave alike.
// Included by py_ref.h right after Python.h.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(Py_LIMITED_API)

#define PyBytes_AS_STRING(op) PyBytes_AsString(op)
#define PyBytes_GET_SIZE(op) PyBytes_Size(op)
#define PyByteArray_AS_STRING(op) PyByteArray_AsString(op)
#define PyByteArray_GET_SIZE(op) PyByteArray_Size(op)
#define PyTuple_GET_SIZE(op) PyTuple_Size(op)
#define PyTuple_GET_ITEM(op, i) PyTuple_GetItem(op, i)
// Only ever applied to a new tuple or list at an index inside it, where
// the functions cannot fail.
#define PyTuple_SET_ITEM(op, i, v) ((void)PyTuple_SetItem(op, i, v))
#define PyList_SET_ITEM(op, i, v) ((void)PyList_SetItem(op, i, v))
#if Py_LIMITED_API + 0 < 0x030C0000
// A METH_FASTCALL method receives the plain argument count: the interpreter
// strips the vectorcall offset flag before calling it.
#define PyVectorcall_NARGS(n) (n)
#endif

// Whether the interpreter is shutting down is not in the stable ABI of
// 3.10: 3.13 made Py_IsFinalizing public, 3.10 to 3.12 have
// _Py_IsFinalizing. Both are weak references here, resolved against the
// running interpreter when the module is loaded; the one it has is called.
extern "C" int Py_IsFinalizing(void) __attribute__((weak));
extern "C" int _Py_IsFinalizing(void) __attribute__((weak));

#endif  // Py_LIMITED_API

namespace zelkor::py {

// The contents of a bytes object (checked to be one), in one call on the
// stable ABI.
inline std::string_view bytes_view(PyObject* bytes) noexcept {
#if defined(Py_LIMITED_API)
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  return {data, static_cast<std::size_t>(size)};
#else
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
#endif
}

#if defined(Py_LIMITED_API)
inline bool stable_abi_finalizing() noexcept {
  if (Py_IsFinalizing != nullptr) return Py_IsFinalizing() != 0;
  return _Py_IsFinalizing != nullptr && _Py_IsFinalizing() != 0;
}
#endif

// type->tp_alloc(type, 0).
inline PyObject* alloc_instance(PyTypeObject* type) {
#if defined(Py_LIMITED_API)
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
#else
  return type->tp_alloc(type, 0);
#endif
}

// Py_TYPE(self)->tp_free(self).
inline void free_instance(PyObject* self) {
#if defined(Py_LIMITED_API)
  reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free))(self);
#else
  Py_TYPE(self)->tp_free(self);
#endif
}

// The type's nb_bool slot, or nullptr.
inline inquiry bool_slot(PyTypeObject* type) {
#if defined(Py_LIMITED_API)
  return reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
#else
  return type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
#endif
}

// The type's tp_name as a new str, for messages. The stable ABI of 3.10
// has no tp_name; there it is rebuilt as "{__module__}.{__qualname__}"
// ("{__qualname__}" for builtins) for a static type, which is its tp_name,
// and as "{__name__}" for a heap type, which is the tp_name of a class
// defined in Python (a heap type that another extension creates from a
// spec has its dotted spec name as tp_name: the one case that differs).
inline PyObject* type_name(PyTypeObject* type) {
#if defined(Py_LIMITED_API)
  PyObject* t = reinterpret_cast<PyObject*>(type);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return PyObject_GetAttrString(t, "__name__");
  PyObject* qualname = PyObject_GetAttrString(t, "__qualname__");
  if (qualname == nullptr) return nullptr;
  PyObject* module = PyObject_GetAttrString(t, "__module__");
  if (module == nullptr || !PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
    PyErr_Clear();
    Py_XDECREF(module);
    return qualname;
  }
  PyObject* name = PyUnicode_FromFormat("%U.%U", module, qualname);
  Py_DECREF(module);
  Py_DECREF(qualname);
  return name;
#else
  return PyUnicode_FromString(type->tp_name);
#endif
}

}  // namespace zelkor::py
