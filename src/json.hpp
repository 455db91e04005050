// The JSON encoder (to_json) and the from_json entry point.
#pragma once

#include "tools.hpp"

namespace qc {

// The JsonFallback exception class, created once per process (borrowed).
PyObject* json_fallback_type();

// Reads a keyword flag: a bool, or a NumPy boolean scalar (recognised by its
// type name, so NumPy is never imported). `value` nullptr means omitted.
// Returns 0 or 1, or -1 with an error set; a wrong type is the type-mismatch
// TypeError prefixed with "argument '<param>': ".
int json_flag(PyObject* value, const char* param, bool dflt);

PyObject* to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);
PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace qc
