#include "temporal.hpp"

#include "../object.hpp"
#include "../schema_read.hpp"
#include "../text.hpp"

namespace qc {

bool DateTimeTz::parse(PyObject* dict, DateTimeTz& out) {
  Object zone;
  if (!opt_item(dict, keys::timezone, zone)) return false;
  if (zone) {
    out.form = Form::zone;
    out.zone = std::move(zone);
    return true;
  }
  bool use_tz;
  if (!opt_bool(dict, keys::use_tz, false, use_tz)) return false;
  out.form = use_tz ? Form::current : Form::none;
  out.zone.reset();
  return true;
}

std::optional<IsoDate> parse_iso_date(std::string_view t) noexcept {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  if (!text::all_digits(t.substr(0, 4)) || !text::all_digits(t.substr(5, 2)) || !text::all_digits(t.substr(8, 2)))
    return std::nullopt;
  auto number = [&](size_t at, size_t width) {
    uint32_t n = 0;
    for (size_t i = at; i < at + width; ++i) n = n * 10 + (uint32_t)(t[i] - '0');
    return n;
  };
  return IsoDate{number(0, 4), (uint8_t)number(5, 2), (uint8_t)number(8, 2)};
}

Object repr_datetime_general(const Live& field, PyObject* value, PyObject* tzinfo,
                             PyObject* target) {
  const DateTypes* types = date_types();
  if (!types) return Object();
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

PyObject* new_date(const IsoDate& d) {
  // The capsule's constructor: the same checks and errors as calling the
  // class, without making three ints.
  const DateTypes* types = date_types();
  return types ? types->new_date((int)d.year, d.month, d.day, types->date) : nullptr;
}

Val::Verdict validate_datetime(const DateTimeTz& tz, PyObject* value, PyObject* current_tz,
                               Object& out) {
  using Verdict = Val::Verdict;
  PyObject* zone = tz.target(current_tz);
  if (!PyUnicode_CheckExact(value) || !zone) return Verdict::declined;
  PyObject* fromisoformat = names::fromisoformat();
  PyObject* astimezone = names::astimezone();
  const DateTypes* types = date_types();
  if (!fromisoformat || !astimezone || !types) return Verdict::raised;
  Object parsed = Object::steal(
      PyObject_CallMethodOneArg((PyObject*)types->datetime, fromisoformat, value));
  if (!parsed) return decline_on(PyExc_ValueError, PyExc_TypeError);
  Object offset;
  if (!utcoffset(parsed.get(), offset)) return Verdict::raised;
  if (!offset) return Verdict::declined;
  out = Object::steal(PyObject_CallMethodOneArg(parsed.get(), astimezone, zone));
  return out ? Verdict::accepted
             : decline_on(PyExc_OverflowError, PyExc_ValueError, PyExc_TypeError);
}

}  // namespace qc
