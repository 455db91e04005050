// from_json: the JSON reader, one pass over UTF-8 bytes that builds the
// Python objects as it goes.
#pragma once

#include "tools.hpp"

namespace qc {

// from_json(data, *, allow_nan=False): json.loads() of bytes, bytearray or
// str. New reference, or nullptr with an error set (ValueError for invalid
// input, MemoryError when an allocation fails).
PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace qc
