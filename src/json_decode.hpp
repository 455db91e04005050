// from_json: the JSON reader, one pass over UTF-8 bytes that builds the
// Python objects as it goes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// from_json(data, *, allow_nan=False): json.loads() of bytes, bytearray or
// str. New reference, or nullptr with an error set (ValueError for invalid
// input, MemoryError when an allocation fails).
PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

// _parse_body(body, allow_nan): the JSON parser's reading of a request body
// (bytes only). A body that is not UTF-8 raises the UnicodeDecodeError of
// codecs.utf_8_decode(body, "strict", False), after one scan and before any
// parse; one that ends inside a UTF-8 sequence raises ValueError; any other
// is read as from_json reads it.
PyObject* parse_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace qc
