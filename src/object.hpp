// The owned reference: the one type through which C++ holds a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qc {

// `Object` owns one strong reference (or nothing). It is made only by
// `Object::steal` (take over a new reference) or `Object::borrow` (add one),
// and `release()` hands the reference back to the caller. Copies add a
// reference, moves transfer it, destruction drops it, so no path can leak or
// double-release.
class Object {
 public:
  Object() noexcept = default;
  static Object steal(PyObject* p) noexcept { return Object(p); }
  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p);
  }
  Object(const Object& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Object& operator=(Object o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Object() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Object(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qc
