// Owning and borrowing helpers for Python references. The binding is the
// only code that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zelkor::py {

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
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Gives up ownership to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace zelkor::py
