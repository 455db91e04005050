// Changes to the classes and dicts the companion's decisions were made from.
//
// The companion decides once what a serializer, field or model class allows
// and keeps the answer while nothing it read has changed. CPython's version
// tags cannot tell that: DRF's Field counts its instances in a class
// attribute, so every field built changes the tag of every field and
// serializer class. Instead the dicts read (the classes' own `__dict__`s,
// `_declared_fields`, ...) are watched, and every change to one of them, but
// that counter's, moves one process-wide count: a decision made at count N
// holds while the count is still N.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// watch(objects, /): watches each dict of the tuple `objects`, and the own
// `__dict__` of each class in the method resolution order of each class of
// it (built-in classes, whose dicts cannot change, are left out).
PyObject* watch(PyObject* module, PyObject* objects);

// changes(): the count of changes to watched dicts so far.
PyObject* changes(PyObject* module, PyObject* unused);

}  // namespace qc
