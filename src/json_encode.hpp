// The JSON encoder: to_json.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// The JsonFallback exception class, created once per process (borrowed).
PyObject* json_fallback_type();

// to_json(obj, *, ensure_ascii, compact, allow_nan, default): the document as
// UTF-8 bytes. New reference, or nullptr with an error set (JsonFallback when
// only Python's encoder can reproduce json.dumps() for this input).
PyObject* to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);

}  // namespace qc
