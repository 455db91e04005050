// Rows to model instances: the loop of Django's ModelIterable in native code
// (quorvel_core.rows prepares its plan and decides where it may run).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// configure_rows(*, pre_init, post_init, no_receivers, deferred, model_state, weak_key_dict,
//                plain_fields_cache)
PyObject* configure_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// The ModelRows type (borrowed; nullptr with an error set).
PyObject* model_rows_type();

}  // namespace qc
