// The JSON encoder (to_json) and the from_json entry point.
#pragma once

#include "tools.hpp"

namespace qc {

// The JsonFallback exception class, created once per process (borrowed).
PyObject* json_fallback_type();

PyObject* to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);
PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace qc
