// Argument parsing against a callable's parameter description, with the
// interpreter's wording for count and name errors. Parameters are all
// positional-or-keyword; there are no catch-alls.
#pragma once

#include <cstddef>

#include "py_ref.h"

namespace zelkor::py {

inline constexpr Py_ssize_t MAX_PARAMS = 6;

struct ParamSpec {
  const char* function;      // as named in messages: "_ZelkReader.get_raw()"
  const char* const* names;  // parameter names, required ones first
  Py_ssize_t count;
  Py_ssize_t required;
};

// Fills out[0..spec.count) with borrowed references, nullptr for an omitted
// optional parameter. Returns false with TypeError set.
bool parse_vector_args(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out);

// The same for a tuple and an optional keyword dict (constructors).
bool parse_tuple_args(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// The common case of a fast call with exactly the required positionals and
// no keywords takes no work beyond this test.
inline bool parse_fast(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out) {
  if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == spec.count) {
    for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = args[i];
    return true;
  }
  return parse_vector_args(spec, args, nargsf, kwnames, out);
}

}  // namespace zelkor::py
