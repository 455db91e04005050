#include "json_common.hpp"

#include <cstring>

namespace qc {

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

int json_flag(PyObject* value, const char* param, bool dflt) {
  if (!value) return dflt;
  if (value == Py_True) return 1;
  if (value == Py_False) return 0;
  if (is_numpy_bool(value)) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number && number->nb_bool ? number->nb_bool(value) : PyObject_IsTrue(value);
  }
  type_mismatch(value, "bool");
  prefix_argument_error(param);
  return -1;
}

}  // namespace qc
