// The JSON reader behind from_json.
#pragma once

#include "tools.hpp"

namespace qc {

// from_json after argument binding: `data` is the bound document, `allow_nan`
// the bound flag or nullptr when omitted. New reference or nullptr.
PyObject* read_json(PyObject* data, PyObject* allow_nan);

}  // namespace qc
