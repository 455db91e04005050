// Walks over lists that Python code or another thread may change meanwhile:
// strong items, lengths read afresh, no out-of-range read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"
#include "object.hpp"

namespace qc {

// The item `i` of a list (or subclass), as a strong reference: code run
// while the caller uses it may drop the list's own. `i` was checked against
// the length just before, but with no GIL another thread may shrink the list
// in between: true with `out` empty then, as at the end of the list. False
// with an error set.
inline bool list_item(PyObject* list, Py_ssize_t i, Object& out) {
#ifdef Py_GIL_DISABLED
  out = Object::steal(PyList_GetItemRef(list, i));
  if (out || !PyErr_ExceptionMatches(PyExc_IndexError)) return (bool)out;
  PyErr_Clear();
  return true;
#else
  // Nothing runs between the caller's length check and this read.
  out = Object::borrow(PyList_GET_ITEM(list, i));
  return true;
#endif
}

// Calls `parse(item)` (borrowed item, returns false with an error set) for each
// item of a list or list subclass. The length is read afresh at every step and
// the walk stops at the smaller of it and the starting length, so Python code
// (or another thread) that shrinks or grows the list meanwhile never causes an
// out-of-range read.
template <class Parse>
bool for_each_list_item(PyObject* list, Parse&& parse) {
  Py_ssize_t initial = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    Object item;
    if (!list_item(list, i, item)) return false;
    if (!item) break;
    if (!parse(item.get())) return false;
  }
  return true;
}

// A new list of `each(item)` (an Object; empty with an error set) for every
// item that iterating `iterable` yields. Empty with an error set.
template <class Each>
Object map_to_list(PyObject* iterable, Each&& each) {
  Object out = Object::steal(PyList_New(0));
  Object it = Object::steal(out ? PyObject_GetIter(iterable) : nullptr);
  if (!it) return Object();
  PyObject* raw = nullptr;
  int next;
  while ((next = compat::iter_next_item(it.get(), &raw)) > 0) {
    Object item = Object::steal(raw);
    Object result = each(item.get());
    if (!result || PyList_Append(out.get(), result.get()) < 0) return Object();
  }
  return next < 0 ? Object() : out;
}

}  // namespace qc
