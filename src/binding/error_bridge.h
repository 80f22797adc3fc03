// From core errors and C++ exceptions to Python exceptions.
#pragma once

#include <exception>
#include <new>

#include "../core/util/core_error.h"
#include "py_ref.h"

namespace zelkor::py {

// Raises the built-in exception for the error's kind, with the rendered
// line as its only argument. Returns nullptr for use in return statements.
PyObject* raise_core_error(const CoreError& error);

// The InternalFault class (derived from BaseException), created once per
// process; nullptr with an exception set if it cannot be created.
PyObject* internal_fault_type();

// Raises InternalFault with `text`, or a fixed text when it is null.
PyObject* raise_internal_fault(const char* text);

// Runs `body` (which returns a new reference or nullptr with an exception
// set) and turns any C++ exception escaping it into a Python one: a failed
// allocation into MemoryError, anything else into InternalFault.
//
// A forced unwind passes through untouched. CPython ends a thread that
// wants the interpreter lock back while the interpreter shuts down (a
// daemon thread in Python code that a call of ours runs: an __index__, a
// key's iteration, a finalizer) with pthread_exit, which unwinds the stack;
// the thread then has no thread state, so no exception can be raised on it,
// and an unwind that is caught and not rethrown aborts the process. Hence
// no noexcept here, nor on any function of the binding that can run Python
// code.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    // A forced unwind is no C++ exception (nor is one of another language),
    // and the runtime hands out no exception_ptr for it. Told apart this way
    // rather than by a handler for abi::__forced_unwind, which binds a
    // reference to no object.
    if (!std::current_exception()) throw;
    return raise_internal_fault(nullptr);
  }
}

// The `__qualname__` of obj's type, for messages; "?" if it has none.
Ref type_qualname(PyObject* obj);

// TypeError "argument '{name}': '{type}' object is not an instance of
// '{target}'" ("'None' is not an instance of ..." for None).
PyObject* raise_not_instance(const char* name, PyObject* obj, const char* target);

}  // namespace zelkor::py
