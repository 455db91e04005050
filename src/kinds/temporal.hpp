// Date, time and datetime fields (quorvel_core/kinds/temporal.py): their
// representations, their validators, the time-zone rule they read and the
// ISO date text they parse. The texts they write are src/format's, which the
// JSON encoder shares.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../format.hpp"
#include "../time_zones.hpp"
#include "../module_state.hpp"
#include "../repr.hpp"
#include "../validate.hpp"

// Only the field accessors are used here; the types come from date_types().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <optional>
#include <string_view>

namespace qc {

struct IsoDate {
  uint32_t year;
  uint8_t month;
  uint8_t day;
};
// YYYY-MM-DD exactly; the numbers are not range-checked.
std::optional<IsoDate> parse_iso_date(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Representations.

static inline Object repr_date(const Live& field, PyObject* value) {
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_TYPE(value) != types->date) return field_repr(field, value);
  return date_iso(value).to_str();
}

static inline Object repr_time(const Live& field, PyObject* value) {
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_TYPE(value) != types->time) return field_repr(field, value);
  return call_method(value, names::isoformat());
}

inline Object datetime_text(PyObject* dt, PyObject* offset) {
  return datetime_iso(dt, offset).to_str();
}

// value.astimezone(target) and its text, worked out natively when both zones
// have a fixed offset known without a call: astimezone() then subtracts the
// value's offset and adds the target's, each step raising OverflowError
// outside the datetime range (which DRF reports, so the field answers).
// `done` false: the general path decides.
static inline Object convert_fixed(const Live& field, PyObject* value, PyObject* tzinfo,
                            PyObject* target, bool& done) {
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

// An aware datetime (or one whose zone may say it is naive) in a zone
// without a fixed offset, through utcoffset() and astimezone(). `target`
// may be nullptr: no conversion.
Object repr_datetime_general(const Live& field, PyObject* value, PyObject* tzinfo,
                             PyObject* target);

// DRF's enforce_timezone and isoformat, for the cases whose answer is certain:
// naive values without a target zone, and aware values converted to it.
// Everything else (naive values with a zone, aware values without one,
// conversions out of range, custom datetime results) goes to the field.
static inline Object repr_datetime(const DateTimeTz& rule, const ReprContext& context,
                            const Live& field, PyObject* value) {
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
  return repr_datetime_general(field, value, tzinfo, target);
}

// ---------------------------------------------------------------------------
// Validators.

// datetime.date(year, month, day): new reference, or nullptr with an error set
// (the constructor's own ValueError for a field out of range).
PyObject* new_date(const IsoDate& d);

static inline Val::Verdict validate_date(PyObject* value, Object& out) {
  const DateTypes* types = date_types();
  if (!types) return Val::Verdict::raised;
  if (Py_IS_TYPE(value, types->date)) return accept(out, Object::borrow(value));
  if (!PyUnicode_CheckExact(value)) return Val::Verdict::declined;
  std::string_view text;
  if (Val::Verdict v = read_utf8(value, text); v != Val::Verdict::accepted) return v;
  std::optional<IsoDate> d = parse_iso_date(text);
  if (!d) return Val::Verdict::declined;
  out = Object::steal(new_date(*d));
  return out ? Val::Verdict::accepted : decline_on(PyExc_ValueError);  // e.g. February 30th
}

// Aware datetimes only: naive ones go to DRF's make_aware. DRF suppresses
// ValueError and TypeError around parsing and reports OverflowError from
// astimezone, so those decline; anything else is raised as it is there.
Val::Verdict validate_datetime(const DateTimeTz& tz, PyObject* value, PyObject* current_tz,
                               Object& out);

}  // namespace qc
