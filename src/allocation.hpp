// A test hook that makes the module's own C++ allocations fail on demand, so
// that the suite can reach every std::bad_alloc path through the interpreter
// boundary (Python's allocator has its own hook, _testcapi.set_nomemory).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// _fail_allocations(after): from now on, the C++ allocations after the first
// `after` ones fail with std::bad_alloc; a negative `after` turns failing off.
// Returns how many C++ allocations the module made since the previous call.
PyObject* fail_allocations(PyObject* module, PyObject* after);

}  // namespace qc
