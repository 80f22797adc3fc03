// Shared parts of the two class definitions.
#include "types.h"

#include "error_bridge.h"

namespace zelkor::py {

bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (type == nullptr) return false;
  if (Py_TYPE(self) == type || PyObject_TypeCheck(self, type)) return true;
  Ref qualname = type_qualname(self);
  if (qualname) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), class_name);
  return false;
}

PyTypeObject* new_class_type(const ClassSpec& spec) {
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(spec.doc)},
      {Py_tp_new, spec.new_function},
      {Py_tp_repr, spec.repr_function},
      {Py_tp_dealloc, spec.dealloc_function},
      {Py_tp_methods, spec.methods},
      {spec.getset != nullptr ? Py_tp_getset : 0, spec.getset},
      {0, nullptr},
  };
  PyType_Spec type_spec = {spec.qualified_name, static_cast<int>(spec.instance_size), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace zelkor::py
