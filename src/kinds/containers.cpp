#include "containers.hpp"

#include "../schema_read.hpp"

namespace qc {

bool read_container(PyObject* dict, Repr::Container& c) {
  Object child_schema = req_dict(dict, keys::child);
  if (!child_schema) return false;
  c.child = std::make_unique<Repr>();
  return Repr::parse(child_schema.get(), *c.child) && any_item(dict, keys::child_field, c.child_field);
}

bool read_list(PyObject* dict, Val::List& l) {
  Object child_schema = req_dict(dict, keys::child);
  if (!child_schema) return false;
  l.child = std::make_unique<Val>();
  return Val::parse(child_schema.get(), *l.child) &&
         opt_bool(dict, keys::child_allow_null, false, l.child_allow_null) &&
         opt_bool(dict, keys::allow_empty, true, l.lengths.allow_empty) &&
         read_lengths(dict, l.lengths);
}

}  // namespace qc
