// What differs between the CPython releases the module supports (3.13 to
// 3.15), chosen when it is compiled. Everything else is written against the
// C API that all of them share; a difference found later belongs here, not in
// an #if beside the code that meets it.
#pragma once

#include <Python.h>

namespace qc::compat {

// PyIter_NextItem is 3.14's: 1 with a new reference in *item, 0 at the end,
// -1 with an exception set. 3.13's PyIter_Next says the end and a failure
// with the same NULL, told apart by the error indicator.
inline int iter_next_item(PyObject* iterator, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyIter_NextItem(iterator, item);
#else
  *item = PyIter_Next(iterator);
  if (*item) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// The TypeError that json.dumps raises when a list subclass's iteration is
// not a sequence: _json renamed its encoder function in 3.15, and the message
// names it.
#if PY_VERSION_HEX >= 0x030F0000
inline constexpr const char* JSON_NOT_SEQUENCE = "encoder_listencode_list needs a sequence";
#else
inline constexpr const char* JSON_NOT_SEQUENCE = "_iterencode_list needs a sequence";
#endif

// Whether json.dumps attaches "when serializing ..." notes to an error raised
// inside a document: 3.14 began to.
inline constexpr bool JSON_ERROR_NOTES = PY_VERSION_HEX >= 0x030E0000;

}  // namespace qc::compat
