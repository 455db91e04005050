#include "choice.hpp"

#include "../schema_read.hpp"

namespace qc {

Result choice_lookup(PyObject* map, PyObject* value, Object& entry) {
  Object key;
  if (PyUnicode_CheckExact(value)) {
    key = Object::borrow(value);
  } else if (PyLong_CheckExact(value)) {
    key = Object::steal(PyObject_Str(value));
    if (!key) return Result::raised;
  } else {
    return Result::declined;
  }
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(map, key.get(), &found) < 0) return Result::raised;
  entry = Object::steal(found);
  return Result::done;
}

bool read_choice(PyObject* dict, Repr::Choice& c) {
  c.map = req_dict(dict, keys::map);
  return (bool)c.map;
}

bool read_choice(PyObject* dict, Val::Choice& c) {
  c.map = req_dict(dict, keys::map);
  return c.map && opt_bool(dict, keys::allow_blank, false, c.allow_blank);
}

}  // namespace qc
