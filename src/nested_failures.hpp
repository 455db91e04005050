// The nested values whose native validation failed, while one payload is
// validated.
//
// A nested serializer's errors are worded by DRF: its field validates the
// nested value again. If each level declined on its own, DRF's second run of
// a level would enter the native loop for the values below, fail at the same
// depth and decline again: twice the work per level, 2^depth in all. So a
// failure is carried up to the payload's outermost field loop, which hands
// that one field to DRF, and every value on the way is recorded: within the
// payload, DRF's own code validates those from then on (the native loop
// still takes their siblings).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc::nested_failures {

// One validation entry: the record lives until the outermost one ends.
class Scope {
 public:
  Scope() noexcept;
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

// Records `data` (borrowed; a reference is kept until the outermost Scope
// ends, so that its address is not reused meanwhile). Outside any Scope it
// records nothing. May throw bad_alloc.
void add(PyObject* data);

// Whether `data` failed natively in the payload being validated.
bool contains(PyObject* data) noexcept;

}  // namespace qc::nested_failures
