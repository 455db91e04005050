#include "read_only.hpp"

#include "../schema_read.hpp"

namespace qc {

// Either the bound method itself or, for a plan shared between serializer
// instances, the name to look up on the current one.
bool read_method(PyObject* dict, Repr& out) {
  Object name;
  if (!opt_item(dict, keys::method_name, name)) return false;
  if (name) {
    Object interned = req_interned(dict, keys::method_name);
    if (!interned) return false;
    out.payload = Repr::Method{Object(), std::move(interned)};
    return true;
  }
  Object method = req_item(dict, keys::method);
  if (!method) return false;
  out.payload = Repr::Method{std::move(method), Object()};
  return true;
}

bool read_model_attr(PyObject* dict, Repr::ModelAttr& m) {
  m.attname = req_interned(dict, keys::attname);
  return (bool)m.attname;
}

}  // namespace qc
