#include "repr.hpp"

#include "boundary.hpp"
#include "guards.hpp"
#include "kinds/choice.hpp"
#include "kinds/containers.hpp"
#include "kinds/decimal.hpp"
#include "kinds/nested.hpp"
#include "kinds/read_only.hpp"
#include "kinds/relations.hpp"
#include "kinds/temporal.hpp"
#include "kinds/uuid.hpp"
#include "module_state.hpp"
#include "object.hpp"

namespace qc {

// Reads the keys of the kind named by `out.tag`.
bool ReprShape::parse_payload(PyObject* dict, Repr& out) {
  switch (out.tag) {
    case Kind::decimal:
      return out.read_payload<Decimal>([&](Decimal& d) { return read_decimal(dict, d); });
    case Kind::datetime:
      return out.read_payload<DateTimeTz>([&](DateTimeTz& tz) { return DateTimeTz::parse(dict, tz); });
    case Kind::choice:
      return out.read_payload<Choice>([&](Choice& c) { return read_choice(dict, c); });
    case Kind::list:
    case Kind::dict:
      return out.read_payload<Container>([&](Container& c) { return read_container(dict, c); });
    case Kind::nested:
      return parse_nested(dict, out);
    case Kind::method:
      return read_method(dict, out);
    case Kind::model_attr:
      return out.read_payload<ModelAttr>([&](ModelAttr& m) { return read_model_attr(dict, m); });
    default:
      return true;  // no payload
  }
}

// ---------------------------------------------------------------------------
// Producing representations.

namespace {

// Kinds that represent children or other serializers, and so recurse.
bool recurses(Repr::Kind kind) {
  return kind == Repr::Kind::list || kind == Repr::Kind::dict || kind == Repr::Kind::nested ||
         kind == Repr::Kind::nested_many;
}

Object exact_or_field_repr(PyTypeObject* type, const Live& field, PyObject* value) {
  return Py_TYPE(value) == type ? Object::borrow(value) : field_repr(field, value);
}

Object dispatch(const Repr& repr, const ReprContext& context, const Live& field, PyObject* value) {
  using Kind = Repr::Kind;
  switch (repr.tag) {
    case Kind::passthrough:
    case Kind::pk:
      return Object::borrow(value);
    case Kind::str:
      return exact_or_field_repr(&PyUnicode_Type, field, value);
    case Kind::int_:
      return exact_or_field_repr(&PyLong_Type, field, value);
    case Kind::float_:
      return exact_or_field_repr(&PyFloat_Type, field, value);
    case Kind::bool_:
      return exact_or_field_repr(&PyBool_Type, field, value);
    case Kind::decimal:
      return repr_decimal(repr.as<Repr::Decimal>(), field, value);
    case Kind::date:
      return repr_date(field, value);
    case Kind::datetime:
      return repr_datetime(repr.as<DateTimeTz>(), context, field, value);
    case Kind::time:
      return repr_time(field, value);
    case Kind::uuid:
      return repr_uuid(field, value);
    case Kind::choice:
      return repr_choice(repr.as<Repr::Choice>(), field, value);
    case Kind::list:
      return repr_list(repr.as<Repr::Container>(), context, field, value);
    case Kind::dict:
      return repr_dict(repr.as<Repr::Container>(), context, field, value);
    case Kind::nested:
    case Kind::nested_many:
      return repr_nested(repr, context, field, value);
    case Kind::pk_many:
      return repr_pk_many(value);
    case Kind::method:
      return repr_method(repr.as<Repr::Method>(), field, value);
    case Kind::model_attr:
      return repr_model_attr(repr.as<Repr::ModelAttr>(), field, value);
    case Kind::python:
      return field_repr(field, value);
  }
  return Object::steal(internal_error("unknown representation kind"));
}

}  // namespace

Object field_to_representation(PyObject* field, PyObject* value) {
  PyObject* name = names::to_representation();
  return Object::steal(name ? PyObject_CallMethodOneArg(field, name, value) : nullptr);
}

Object ReprShape::to_repr(const Repr& repr, const ReprContext& context, const Live& field,
                     PyObject* value) {
  if (!recurses(repr.tag)) return dispatch(repr, context, field, value);
  RecursionGuard guard(" while representing a nested value");
  if (!guard.entered()) return Object();
  return dispatch(repr, context, field, value);
}

}  // namespace qc
