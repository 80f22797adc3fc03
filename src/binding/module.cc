// The _zelkor extension module: multi-phase init adding the two classes
// and the version.
#include "error_bridge.h"
#include "py_ref.h"
#include "types.h"

#ifndef ZELKOR_VERSION
#error "ZELKOR_VERSION must be defined by the build"
#endif

namespace zelkor::py {

namespace {

// Appends `name` to the module's __all__ (created empty if absent), then
// sets the attribute.
int add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return -1;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) return -1;
  return PyObject_SetAttr(module, key.get(), value);
}

PyObject* type_or_fault(PyTypeObject* type, const char* name) {
  if (type != nullptr) return reinterpret_cast<PyObject*>(type);
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
  const std::string text = std::string("cannot create the type object of ") + name;
  return raise_internal_fault(text.c_str());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    Ref name = Ref::steal(type_name(Py_TYPE(module)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", name.get());
    return -1;
  }
  if (add_to_module(module, "_ZelkWriter", type_or_fault(writer_type(), "_ZelkWriter")) != 0) return -1;
  if (add_to_module(module, "_ZelkReader", type_or_fault(reader_type(), "_ZelkReader")) != 0) return -1;
  Ref version = Ref::steal(PyUnicode_FromString(ZELKOR_VERSION));
  return add_to_module(module, "__version__", version.get());
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_zelkor",
    "zelkor._zelkor \u2014 native extension module entry-point",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelkor::py

PyMODINIT_FUNC PyInit__zelkor(void) { return PyModuleDef_Init(&zelkor::py::MODULE_DEF); }
