// Owning and borrowing helpers for Python references. The binding is the
// only code that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "abi_compat.h"

#include <utility>

namespace zelkor::py {

// Whether the interpreter is shutting down. From then on a thread that
// waits for the interpreter lock is ended where it waits, by a forced
// unwind of its stack (see guarded()).
inline bool interpreter_finalizing() noexcept {
#if defined(Py_LIMITED_API)
  return stable_abi_finalizing();
#elif PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Drops one reference, unless the interpreter is shutting down: the
// thread dropping it then may be one that is being ended without the
// interpreter lock, and a dealloc without the lock corrupts the
// interpreter's state. What is kept is reclaimed with the process.
inline void drop_reference(PyObject* obj) noexcept {
  if (obj != nullptr && !interpreter_finalizing()) Py_DECREF(obj);
}

// Owns one strong reference (or none); releases it on destruction.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference, as returned by most API calls; may be null.
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  // Not noexcept: dropping the old reference may run Python code.
  Ref& operator=(Ref&& other) {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { drop_reference(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Gives up ownership to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace zelkor::py
