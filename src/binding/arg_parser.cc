#include "arg_parser.h"

#include <string>

namespace zelkor::py {

namespace {

bool too_many_positional(const ParamSpec& spec, Py_ssize_t given) {
  std::string text = spec.function;
  if (spec.required == spec.count) {
    text += " takes " + std::to_string(spec.count) + " positional arguments";
  } else {
    text += " takes from " + std::to_string(spec.required) + " to " + std::to_string(spec.count) +
            " positional arguments";
  }
  text += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

bool missing_required(const ParamSpec& spec, PyObject* const* out) {
  Py_ssize_t missing[MAX_PARAMS];
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) missing[n++] = i;
  }
  if (n == 0) return true;
  std::string text = spec.function;
  text += " missing " + std::to_string(n) + " required positional " + (n == 1 ? "argument" : "arguments") + ": ";
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (k > 0) text += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
    text += '\'';
    text += spec.names[missing[k]];
    text += '\'';
  }
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// Places one keyword argument; false with TypeError set.
bool place_keyword(const ParamSpec& spec, PyObject* name, PyObject* value, Py_ssize_t positional, PyObject** out) {
  for (Py_ssize_t i = 0; i < spec.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, spec.names[i]) == 0) {
      if (i < positional || out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.function, spec.names[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.function, name);
  return false;
}

}  // namespace

bool parse_vector_args(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
  }
  return missing_required(spec, out);
}

bool parse_tuple_args(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(spec, name, value, nargs, out)) return false;
    }
  }
  return missing_required(spec, out);
}

}  // namespace zelkor::py
