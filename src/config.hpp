// The process-wide configuration handed over once by the companion package.
#pragma once

#include "object.hpp"

namespace qc {

struct Config {
  Object empty;
  Object skip_field;
  Object object_does_not_exist;
  Object pk_only_object;
  Object manager_class;
  Object dict_factory;
  Object resolve_callable;
  Object run_field;
  Object finish_field;
  Object source_failed;  // empty: a source that raised is walked again by DRF
  bool plain_dict;  // dict_factory is the built-in dict itself

  // A new output mapping: a plain dict, or whatever dict_factory() returns.
  PyObject* new_mapping() const {
    return plain_dict ? PyDict_New() : PyObject_CallNoArgs(dict_factory.get());
  }
};

// The stored configuration, or nullptr with RuntimeError set when configure()
// has not been called yet. The record lives until the process ends.
const Config* get_config();

PyObject* configure(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* is_configured(PyObject* module, PyObject* unused);

}  // namespace qc
