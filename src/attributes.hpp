// Attribute reads and writes through the generic protocol, for the units that
// write out Django's statements `x = obj.name` and `obj.name = value`. A name
// is an interned `names::` entry, which is nullptr (its error set) only when
// interning failed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "object.hpp"

namespace qc {

// `obj.name`: empty with an error set.
inline Object attr(PyObject* obj, PyObject* name) {
  return Object::steal(name ? PyObject_GetAttr(obj, name) : nullptr);
}

// `obj.name = value`; false with an error set (a null value is a failure
// already reported, as from an Object that could not be made).
inline bool store(PyObject* obj, PyObject* name, PyObject* value) {
  return name && value && PyObject_SetAttr(obj, name, value) == 0;
}

}  // namespace qc
