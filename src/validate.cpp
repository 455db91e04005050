#include "validate.hpp"

#include "kinds/boolean.hpp"
#include "kinds/choice.hpp"
#include "kinds/containers.hpp"
#include "kinds/decimal.hpp"
#include "kinds/nested.hpp"
#include "kinds/numbers.hpp"
#include "kinds/temporal.hpp"
#include "kinds/text.hpp"
#include "kinds/uuid.hpp"
#include "object.hpp"
#include "schema_read.hpp"

namespace qc {

bool read_lengths(PyObject* dict, Val::Lengths& lengths) {
  return opt_usize(dict, keys::max_length, lengths.max_length) &&
         opt_usize(dict, keys::min_length, lengths.min_length);
}

// Reads the keys of the kind named by `out.tag`.
bool ValShape::parse_payload(PyObject* dict, Val& out) {
  switch (out.tag) {
    case Kind::char_:
      return out.read_payload<Char>([&](Char& c) { return read_char(dict, c); });
    case Kind::int_:
      return out.read_payload<Int>([&](Int& i) { return read_int(dict, i); });
    case Kind::float_:
      return out.read_payload<Float>([&](Float& f) { return read_float(dict, f); });
    case Kind::bool_:
      return out.read_payload<Bool>([&](Bool& b) { return read_bool(dict, b); });
    case Kind::decimal:
      return out.read_payload<Decimal>([&](Decimal& d) { return read_decimal(dict, d); });
    case Kind::datetime:
      return out.read_payload<DateTimeTz>([&](DateTimeTz& tz) { return DateTimeTz::parse(dict, tz); });
    case Kind::choice:
      return out.read_payload<Choice>([&](Choice& c) { return read_choice(dict, c); });
    case Kind::list:
      return out.read_payload<List>([&](List& l) { return read_list(dict, l); });
    case Kind::nested:
      return parse_nested(dict, out);
    default:
      return true;  // date, uuid, python: no payload
  }
}

Val::Verdict ValShape::validate(const Val& val, PyObject* value, PyObject* current_tz,
                           const Live& field, Object& out) {
  switch (val.tag) {
    case Kind::char_:
      return validate_char(val.as<Char>(), value, out);
    case Kind::int_:
      return validate_int(val.as<Int>(), value, out);
    case Kind::float_:
      return validate_float(val.as<Float>(), value, out);
    case Kind::bool_:
      return validate_bool(val.as<Bool>(), value, out);
    case Kind::decimal:
      return validate_decimal(val.as<Decimal>(), value, out);
    case Kind::date:
      return validate_date(value, out);
    case Kind::datetime:
      return validate_datetime(val.as<DateTimeTz>(), value, current_tz, out);
    case Kind::uuid:
      return validate_uuid(value, out);
    case Kind::choice:
      return validate_choice(val.as<Choice>(), value, out);
    case Kind::list:
      return validate_list(val.as<List>(), value, current_tz, field, out);
    case Kind::nested:
      return validate_nested(val.as<Nested>().serializer.get(), value, current_tz, field, out);
    case Kind::nested_many:
      return validate_nested_many(val.as<NestedMany>(), value, current_tz, field, out);
    case Kind::python:
      break;
  }
  return Verdict::declined;
}

}  // namespace qc
