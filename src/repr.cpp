#include "repr.hpp"

#include "boundary.hpp"
#include "choice.hpp"
#include "config.hpp"
#include "decimal_text.hpp"
#include "format.hpp"
#include "guards.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "schema_read.hpp"
#include "serializer.hpp"
#include "text.hpp"

// Only the field accessors are used here; the types come from date_types().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <string_view>

namespace qc {

namespace {

bool read_container(PyObject* dict, Repr::Container& c) {
  Object child_schema = req_dict(dict, "child");
  if (!child_schema) return false;
  c.child = std::make_unique<Repr>();
  return Repr::parse(child_schema.get(), *c.child) && any_item(dict, "child_field", c.child_field);
}

bool parse_nested(PyObject* dict, Repr& out) {
  Object serializer;
  bool many = false;
  if (!read_nested_schema(dict, serializer, many)) return false;
  out.tag = many ? Repr::Kind::nested_many : Repr::Kind::nested;
  out.payload = Repr::Nested{std::move(serializer)};
  return true;
}

// Either the bound method itself or, for a plan shared between serializer
// instances, the name to look up on the current one.
bool parse_method(PyObject* dict, Repr& out) {
  Object name;
  if (!opt_item(dict, "method_name", name)) return false;
  if (name) {
    Object interned = req_interned(dict, "method_name");
    if (!interned) return false;
    out.payload = Repr::Method{Object(), std::move(interned)};
    return true;
  }
  Object method = req_item(dict, "method");
  if (!method) return false;
  out.payload = Repr::Method{std::move(method), Object()};
  return true;
}

}  // namespace

// Reads the keys of the kind named by `out.tag`.
bool ReprShape::parse_payload(PyObject* dict, Repr& out) {
  switch (out.tag) {
    case Kind::decimal:
      return out.read_payload<Decimal>([&](Decimal& d) {
        return opt_usize(dict, "decimal_places", d.decimal_places) &&
               opt_usize(dict, "max_digits", d.max_digits) &&
               opt_bool(dict, "coerce_to_string", true, d.coerce_to_string);
      });
    case Kind::datetime:
      return out.read_payload<DateTimeTz>([&](DateTimeTz& tz) { return DateTimeTz::parse(dict, tz); });
    case Kind::choice:
      return out.read_payload<Choice>([&](Choice& c) { return (bool)(c.map = req_dict(dict, "map")); });
    case Kind::list:
    case Kind::dict:
      return out.read_payload<Container>([&](Container& c) { return read_container(dict, c); });
    case Kind::nested:
      return parse_nested(dict, out);
    case Kind::method:
      return parse_method(dict, out);
    case Kind::model_attr:
      return out.read_payload<ModelAttr>(
          [&](ModelAttr& m) { return (bool)(m.attname = req_interned(dict, "attname")); });
    default:
      return true;  // no payload
  }
}

bool DateTimeTz::parse(PyObject* dict, DateTimeTz& out) {
  Object zone;
  if (!opt_item(dict, "timezone", zone)) return false;
  if (zone) {
    out.form = Form::zone;
    out.zone = std::move(zone);
    return true;
  }
  bool use_tz;
  if (!opt_bool(dict, "use_tz", false, use_tz)) return false;
  out.form = use_tz ? Form::current : Form::none;
  out.zone.reset();
  return true;
}

// ---------------------------------------------------------------------------
// Producing representations.

namespace {

constexpr const char* TUPLE_LENGTH = "expected tuple of length %d, but got tuple of length %zd";

// obj.<name>() with a name from the module's table.
Object call_method(PyObject* obj, PyObject* name) {
  return Object::steal(name ? PyObject_CallMethodNoArgs(obj, name) : nullptr);
}

// The DRF field's own to_representation(value); its object is found now if
// the plan holds none.
Object field_repr(const Live& field, PyObject* value) {
  PyObject* f = field.get();
  return f ? field_to_representation(f, value) : Object();
}

// Whether DRF's quantize-and-format would give back `text` (str() of a
// Decimal) unchanged: plain digits (no exponent, not NaN or infinite), and,
// when the field has decimal places, exactly that many of them within
// max_digits. Without max_digits DRF quantizes in the caller's decimal
// context, whose precision only Python knows. str() never writes a "+" or
// leaves the whole part empty.
bool keeps_text(std::string_view text, const Repr::Decimal& d) {
  std::optional<DecimalText> parts = split_decimal(text);
  if (!parts || parts->whole.empty()) return false;
  if (!d.decimal_places) return true;
  if (!d.max_digits || parts->fraction.size() != *d.decimal_places) return false;
  return coefficient_digits(*parts) <= *d.max_digits;
}

Object repr_decimal(const Repr::Decimal& d, const Live& field, PyObject* value) {
  PyObject* decimal = decimal_type();
  if (!decimal) return Object();
  if ((PyObject*)Py_TYPE(value) != decimal) return field_repr(field, value);
  Object text = Object::steal(PyObject_Str(value));
  if (!text) return Object();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return Object();
  if (!keeps_text(std::string_view(utf8, (size_t)size), d)) return field_repr(field, value);
  return d.coerce_to_string ? text : Object::borrow(value);
}

Object repr_date(const Live& field, PyObject* value) {
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_TYPE(value) != types->date) return field_repr(field, value);
  return date_iso(value).to_str();
}

Object repr_time(const Live& field, PyObject* value) {
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_TYPE(value) != types->time) return field_repr(field, value);
  return call_method(value, names::isoformat());
}

Object repr_uuid(const Live& field, PyObject* value) {
  PyObject* uuid = uuid_type();
  if (!uuid) return Object();
  if ((PyObject*)Py_TYPE(value) != uuid) return field_repr(field, value);
  return uuid_str(value);
}

Object datetime_text(PyObject* dt, PyObject* offset) {
  return datetime_iso(dt, offset).to_str();
}

// value.astimezone(target) and its text, worked out natively when both zones
// have a fixed offset known without a call: astimezone() then subtracts the
// value's offset and adds the target's, each step raising OverflowError
// outside the datetime range (which DRF reports, so the field answers).
// `done` false: the general path decides.
Object convert_fixed(const Live& field, PyObject* value, PyObject* tzinfo, PyObject* target,
                     bool& done) {
  long long from = 0, to = 0;
  Result known = fixed_offset(tzinfo, from);
  if (known == Result::done) known = fixed_offset(target, to);
  done = known != Result::declined;
  if (known != Result::done) return Object();
  DateTimeFields fields = datetime_fields(value);
  // Conversion to the value's own zone returns the value itself.
  if (tzinfo != target && (!shift_datetime(fields, -from) || !shift_datetime(fields, to)))
    return field_repr(field, value);
  return datetime_iso(fields, to).to_str();
}

// DRF's enforce_timezone and isoformat, for the cases whose answer is certain:
// naive values without a target zone, and aware values converted to it.
// Everything else (naive values with a zone, aware values without one,
// conversions out of range, custom datetime results) goes to the field.
Object repr_datetime(const DateTimeTz& rule, const ReprContext& context, const Live& field,
                     PyObject* value) {
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_TYPE(value) != types->datetime) return field_repr(field, value);
  // A rule that needs a current zone the caller did not pass is DRF's to
  // apply: it makes naive values aware in its default zone, which only it knows.
  if (rule.form == DateTimeTz::Form::current && !context.current_tz)
    return field_repr(field, value);
  // The zone the value is written in; none: naive values are written as they are.
  PyObject* target = rule.target(context.current_tz);
  PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(value);
  if (tzinfo == Py_None) return target ? field_repr(field, value) : datetime_text(value, nullptr);
  if (target) {
    bool done = false;
    Object text = convert_fixed(field, value, tzinfo, target, done);
    if (done) return text;
  }
  if (Py_TYPE(tzinfo) != types->timezone) {
    Object offset;
    if (!utcoffset(value, offset)) return Object();
    if (!offset) return target ? field_repr(field, value) : datetime_text(value, nullptr);
  }
  if (!target) return field_repr(field, value);
  Object dt = Object::borrow(value);
  if (tzinfo != target) {
    PyObject* name = names::astimezone();
    dt = Object::steal(name ? PyObject_CallMethodOneArg(value, name, target) : nullptr);
    if (!dt) {
      // Out of range in the target zone: DRF reports it as a validation error.
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Object();
      PyErr_Clear();
      return field_repr(field, value);
    }
  }
  if (Py_TYPE(dt.get()) != types->datetime) return field_repr(field, value);
  Object offset;
  if (!utcoffset(dt.get(), offset)) return Object();
  if (!offset) return field_repr(field, value);
  return datetime_text(dt.get(), offset.get());
}

// The label of a choice value; values the map does not know stand for
// themselves.
Object repr_choice(const Repr::Choice& c, const Live& field, PyObject* value) {
  if (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0) return Object::borrow(value);
  Object label;
  switch (choice_lookup(c.map.get(), value, label)) {
    case Result::done:
      return label ? label : Object::borrow(value);
    case Result::declined:
      return field_repr(field, value);
    case Result::raised:
      break;
  }
  return Object();
}

// The child field of a list or dict field: the plan's, or the field's own.
Live child_field(const Repr::Container& c, const Live& field) {
  return c.child_field ? Live::given(c.child_field.get()) : Live::child(field);
}

// A child value: None stays None, anything else goes through the child plan.
Object repr_child(const Repr::Container& c, const ReprContext& context, const Live& child,
                  PyObject* item) {
  if (item == Py_None) return Object::borrow(Py_None);
  return Repr::to_repr(*c.child, context, child, item);
}

Object repr_list(const Repr::Container& c, const ReprContext& context, const Live& field,
                 PyObject* value) {
  Live child = child_field(c, field);
  return map_to_list(value, [&](PyObject* item) { return repr_child(c, context, child, item); });
}

// {str(key): child representation} over value.items(). Pairs that are not
// exact tuples (a custom items()) go to the field, which unpacks any pair.
Object repr_dict(const Repr::Container& c, const ReprContext& context, const Live& field,
                 PyObject* value) {
  Live child = child_field(c, field);
  Object out = Object::steal(PyDict_New());
  Object items = out ? call_method(value, names::items()) : Object();
  Object it = Object::steal(items ? PyObject_GetIter(items.get()) : nullptr);
  if (!it) return Object();
  PyObject* raw = nullptr;
  int next;
  while ((next = compat::iter_next_item(it.get(), &raw)) > 0) {
    Object pair = Object::steal(raw);
    if (!PyTuple_CheckExact(pair.get())) return field_repr(field, value);
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, TUPLE_LENGTH, 2, PyTuple_GET_SIZE(pair.get()));
      return Object();
    }
    Object key = Object::steal(PyObject_Str(PyTuple_GET_ITEM(pair.get(), 0)));
    if (!key) return Object();
    Object rep = repr_child(c, context, child, PyTuple_GET_ITEM(pair.get(), 1));
    if (!rep || PyDict_SetItem(out.get(), key.get(), rep.get()) < 0) return Object();
  }
  return next < 0 ? Object() : out;
}

// A nested serializer over one object, or over every object of a related
// manager (through all()) or any other iterable. The nested serializer is the
// field itself, or the child of the list serializer that the field is.
Object repr_nested(const Repr& repr, const ReprContext& context, const Live& field,
                   PyObject* value) {
  Object serializer = repr.as<Repr::Nested>().serializer;
  if (repr.tag == Repr::Kind::nested) return repr_one(serializer.get(), context, value, field);
  Live child = Live::child(field);
  int is_manager = PyObject_IsInstance(value, context.config.manager_class.get());
  if (is_manager < 0) return Object();
  if (!is_manager) return repr_many(serializer.get(), context, value, child);
  Object all = call_method(value, names::all());
  return all ? repr_many(serializer.get(), context, all.get(), child) : Object();
}

// A SerializerMethodField: its bound method, or the method of that name of
// the serializer the field belongs to, as DRF's field looks it up.
Object repr_method(const Repr::Method& m, const Live& field, PyObject* value) {
  if (m.method) return Object::steal(PyObject_CallOneArg(m.method.get(), value));
  Object owner;
  if (field.parent()) {
    owner = Object::borrow(field.parent()->get());
  } else if (PyObject* f = field.get()) {
    PyObject* name = names::parent();
    owner = Object::steal(name ? PyObject_GetAttr(f, name) : nullptr);
  }
  if (!owner) return Object();
  return Object::steal(PyObject_CallMethodOneArg(owner.get(), m.name.get(), value));
}

Object repr_pk_many(PyObject* value) {
  PyObject* pk = names::pk();
  if (!pk) return Object();
  return map_to_list(value, [pk](PyObject* item) { return Object::steal(PyObject_GetAttr(item, pk)); });
}

// DRF's ModelField writes numbers and None as they are and asks the model
// field for everything else.
Object repr_model_attr(const Repr::ModelAttr& m, const Live& field, PyObject* value) {
  Object attr = Object::steal(PyObject_GetAttr(value, m.attname.get()));
  if (!attr) return Object();
  if (attr.get() == Py_None || PyLong_Check(attr.get()) || PyFloat_Check(attr.get())) return attr;
  return field_repr(field, value);
}

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
