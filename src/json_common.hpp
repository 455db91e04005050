// What the JSON encoder and the reader share: their keyword flags.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// NumPy's boolean scalar ("numpy.bool", "numpy.bool_" before NumPy 2), known
// by its static type's name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* value);

// Reads a keyword flag: a bool, or a NumPy boolean scalar (recognised by its
// type name, so NumPy is never imported). `value` nullptr means omitted.
// False with an error set; a wrong type is the type-mismatch TypeError
// prefixed with "argument '<param>': ".
bool json_flag(PyObject* value, const char* param, bool dflt, bool& out);

}  // namespace qc
