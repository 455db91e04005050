#include "boolean.hpp"

namespace qc {

bool read_bool(PyObject* dict, Val::Bool& b) {
  return opt_bool(dict, keys::allow_null, false, b.allow_null);
}

}  // namespace qc
