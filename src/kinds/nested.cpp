#include "nested.hpp"

#include "../nested_failures.hpp"
#include "../object.hpp"
#include "../schema_read.hpp"

namespace qc {

bool parse_nested(PyObject* dict, Repr& out) {
  Object serializer;
  bool many = false;
  if (!read_nested_schema(dict, serializer, many)) return false;
  out.tag = many ? Repr::Kind::nested_many : Repr::Kind::nested;
  out.payload = Repr::Nested{std::move(serializer)};
  return true;
}

bool parse_nested(PyObject* dict, Val& out) {
  Object serializer;
  bool many = false;
  if (!read_nested_schema(dict, serializer, many)) return false;
  if (!many) {
    out.tag = Val::Kind::nested;
    out.payload = Val::Nested{std::move(serializer)};
    return true;
  }
  Val::NestedMany n;
  n.serializer = std::move(serializer);
  if (!opt_bool(dict, keys::allow_empty, true, n.lengths.allow_empty) ||
      !read_lengths(dict, n.lengths))
    return false;
  out.tag = Val::Kind::nested_many;
  out.payload = std::move(n);
  return true;
}

Val::Verdict validate_nested(PyObject* serializer, PyObject* value, PyObject* current_tz,
                             const Live& live, Object& out) {
  if (!PyDict_CheckExact(value)) return Val::Verdict::declined;
  Object validated, errors;
  switch (validate_dict(serializer, value, current_tz, live, false, validated, errors)) {
    case Validation::raised:
      return Val::Verdict::raised;
    case Validation::abandoned:
      break;
    case Validation::done:
      if (!errors) {
        out = std::move(validated);
        return Val::Verdict::accepted;
      }
      break;
  }
  nested_failures::add(value);
  return Val::Verdict::abandoned;
}

}  // namespace qc
