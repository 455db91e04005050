#include "json_common.hpp"

#include "boundary.hpp"

#include <cstring>

namespace qc {

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

bool json_flag(PyObject* value, const char* param, bool dflt, bool& out) {
  if (!value || value == Py_True || value == Py_False) {
    out = value ? value == Py_True : dflt;
    return true;
  }
  if (!is_numpy_bool(value)) {
    type_mismatch(value, "bool");
    prefix_argument_error(param);
    return false;
  }
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  int truth = number && number->nb_bool ? number->nb_bool(value) : PyObject_IsTrue(value);
  out = truth > 0;
  return truth >= 0;
}

}  // namespace qc
