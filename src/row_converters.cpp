#include "row_converters.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "format.hpp"
#include "kinds/uuid.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "sqlite_dates.hpp"
#include "sqlite_decimal.hpp"
#include "validate.hpp"

// Only the field accessors are used here; the types and the constructor come
// from date_types().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

namespace qc {
namespace {

// Whether the datetime module's `name` is still the class `real`: freezegun
// and time-machine replace it, and Django's parsers read it at each call.
// -1 with an error set.
int module_class_is(PyTypeObject* real, bool dated) {
  PyObject* module = datetime_module();
  PyObject* name = dated ? names::date() : names::datetime();
  if (!module || !name) return -1;
  if (PyModule_CheckExact(module)) {
    // What the attribute lookup finds: the module type has no attribute of
    // these names, so the module's dict answers.
    PyObject* found = nullptr;
    int present = PyDict_GetItemRef(PyModule_GetDict(module), name, &found);
    Object held = Object::steal(found);
    if (present != 0) return present < 0 ? -1 : found == (PyObject*)real;
  }
  Object current = Object::steal(PyObject_GetAttr(module, name));
  return current ? current.get() == (PyObject*)real : -1;
}

Object call_python(const ConverterStep& step, PyObject* value, PyObject* expression,
                   PyObject* connection) {
  PyObject* args[] = {value, expression, connection};
  return Object::steal(PyObject_Vectorcall(step.call, args, 3, nullptr));
}

// `cls.fromisoformat(text)`; empty with no error set when it raises ValueError,
// which Django's parsers answer with a regular expression of their own.
Object from_iso(PyTypeObject* cls, PyObject* text, bool& refused) {
  PyObject* name = names::fromisoformat();
  if (!name) return Object();
  Object parsed = Object::steal(PyObject_CallMethodOneArg((PyObject*)cls, name, text));
  if (!parsed && PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    refused = true;
  }
  return parsed;
}

// The date or datetime (`cls`, the exact class) of a text in the shape
// Django stores, made without fromisoformat, which reads it to the same
// fields; empty with no error set for any other text.
Object stored_moment(const DateTypes* types, PyTypeObject* cls, std::string_view text) {
  StoredMoment m;
  if (cls == types->date) return read_stored_date(text, m) ? Object::steal(new_date(m.date)) : Object();
  if (!read_stored_datetime(text, m)) return Object();
  const IsoDate& d = m.date;
  return Object::steal(types->new_datetime((int)d.year, d.month, d.day, m.hour, m.minute, m.second,
                                           m.microsecond, Py_None, 0, cls));
}

// from_iso for a str.
Object from_text(const DateTypes* types, PyTypeObject* cls, PyObject* text, bool& refused) {
  if (PyUnicode_IS_ASCII(text)) {
    std::string_view ascii((const char*)PyUnicode_1BYTE_DATA(text), (size_t)PyUnicode_GET_LENGTH(text));
    if (Object made = stored_moment(types, cls, ascii); made || PyErr_Occurred()) return made;
  }
  return from_iso(cls, text, refused);
}

// `value.replace(tzinfo=zone)` for an exact, naive datetime.
Object with_zone(const DateTypes* types, PyObject* value, PyObject* zone) {
  return Object::steal(types->new_datetime(
      PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value),
      PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
      PyDateTime_DATE_GET_SECOND(value), PyDateTime_DATE_GET_MICROSECOND(value), zone,
      PyDateTime_DATE_GET_FOLD(value), types->datetime));
}

// convert_datetimefield_value: the text parsed by datetime.fromisoformat and,
// with USE_TZ, a naive result given the connection's zone (make_aware's
// replace). An aware result or any other value goes to Django's converter.
Object sqlite_datetime(const ConverterStep& step, PyObject* value, PyObject* expression,
                       PyObject* connection) {
  if (value == Py_None) return Object::borrow(value);
  const DateTypes* types = date_types();
  if (!types) return Object();
  Object parsed;
  if (Py_IS_TYPE(value, types->datetime)) {
    parsed = Object::borrow(value);  // the cursor's own converter parsed it
  } else if (PyUnicode_CheckExact(value)) {
    bool refused = false;
    parsed = from_text(types, types->datetime, value, refused);
    if (refused) return call_python(step, value, expression, connection);
    if (!parsed) return Object();
  } else {
    return call_python(step, value, expression, connection);
  }
  if (!Py_IS_TYPE(parsed.get(), types->datetime) || PyDateTime_DATE_GET_TZINFO(parsed.get()) != Py_None)
    return call_python(step, value, expression, connection);
  if (!step.zone) return parsed;
  return with_zone(types, parsed.get(), step.zone);
}

// convert_datefield_value: date.fromisoformat of the text.
Object sqlite_date(const ConverterStep& step, PyObject* value, PyObject* expression,
                   PyObject* connection) {
  if (value == Py_None) return Object::borrow(value);
  const DateTypes* types = date_types();
  if (!types) return Object();
  if (Py_IS_TYPE(value, types->date)) return Object::borrow(value);
  if (!PyUnicode_CheckExact(value)) return call_python(step, value, expression, connection);
  bool refused = false;
  Object parsed = from_text(types, types->date, value, refused);
  if (refused) return call_python(step, value, expression, connection);
  return parsed;
}

// convert_booleanfield_value: `bool(value) if value in (1, 0) else value`.
Object sqlite_boolean(const ConverterStep& step, PyObject* value, PyObject* expression,
                      PyObject* connection) {
  // None, and the bools that the sqlite3 module's own "bool" converter gives,
  // come out as they are.
  if (value == Py_None || PyBool_Check(value)) return Object::borrow(value);
  if (!PyLong_CheckExact(value)) return call_python(step, value, expression, connection);
  int overflow = 0;
  long n = PyLong_AsLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return Object();
  if (!overflow && (n == 0 || n == 1)) return Object::borrow(n ? Py_True : Py_False);
  return Object::borrow(value);
}

// Raises the decimal module's flags in a context's `flags` that the step
// raised; None for a context that no one sees again.
bool raise_flags(PyObject* flags, const DecimalSignals& signals, const ConverterStep& step) {
  if (flags == Py_None) return true;
  return (!signals.inexact || PyObject_SetItem(flags, step.inexact, Py_True) == 0) &&
         (!signals.rounded || PyObject_SetItem(flags, step.rounded, Py_True) == 0);
}

// The decimal of a float or an int of at most 15 digits, digit for digit
// and flag for flag as the decimal module makes it (sqlite_decimal.cpp);
// empty with no error set where the module must answer.
Object native_decimal(const ConverterStep& step, PyObject* value) {
  std::optional<QuantizedDecimal> result;
  if (PyFloat_CheckExact(value)) {
    result = quantize_float(PyFloat_AS_DOUBLE(value), step.places, step.max_digits);
  } else {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return Object();
    if (!overflow) result = quantize_int(n, step.places, step.max_digits);
  }
  if (!result) return Object();
  PyObject* decimal = decimal_type();
  if (!decimal) return Object();
  Object text = Object::steal(
      PyUnicode_FromStringAndSize(result->text.data(), (Py_ssize_t)result->text.size()));
  Object made = Object::steal(text ? PyObject_CallOneArg(decimal, text.get()) : nullptr);
  if (!made || !raise_flags(step.created_flags, result->created, step) ||
      !raise_flags(step.flags, result->quantized, step))
    return Object();
  return made;
}

// The quantizing decimal converter: create_decimal(value).quantize(quantum,
// context=the field's context), for the int and float values SQLite gives.
Object sqlite_decimal(const ConverterStep& step, PyObject* value, PyObject* expression,
                      PyObject* connection) {
  if (value == Py_None) return Object::borrow(value);
  if (!PyLong_CheckExact(value) && !PyFloat_CheckExact(value))
    return call_python(step, value, expression, connection);
  if (step.places >= 0) {
    Object made = native_decimal(step, value);
    if (made || PyErr_Occurred()) return made;
  }
  Object created = Object::steal(PyObject_CallOneArg(step.create_decimal, value));
  PyObject* quantize = created ? names::quantize() : nullptr;
  if (!quantize) return Object();
  // quantize(exp, rounding=None, context=None): the context passed by
  // position skips the keyword parsing and means the same.
  PyObject* args[] = {created.get(), step.quantum, Py_None, step.context};
  return Object::steal(
      PyObject_VectorcallMethod(quantize, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// convert_uuidfield_value: uuid.UUID(value) for the plain hexadecimal texts.
Object sqlite_uuid(const ConverterStep& step, PyObject* value, PyObject* expression,
                   PyObject* connection) {
  if (value == Py_None) return Object::borrow(value);
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
    std::string_view text((const char*)PyUnicode_1BYTE_DATA(value),
                          (size_t)PyUnicode_GET_LENGTH(value));
    if (std::optional<u128> n = parse_uuid(text)) return new_uuid(*n);
  }
  return call_python(step, value, expression, connection);
}

Object convert(const ConverterStep& step, PyObject* value, PyObject* expression,
               PyObject* connection) {
  switch (step.kind) {
    case ConverterKind::python:
      return call_python(step, value, expression, connection);
    case ConverterKind::sqlite_datetime:
      return sqlite_datetime(step, value, expression, connection);
    case ConverterKind::sqlite_date:
      return sqlite_date(step, value, expression, connection);
    case ConverterKind::sqlite_boolean:
      return sqlite_boolean(step, value, expression, connection);
    case ConverterKind::sqlite_decimal:
      return sqlite_decimal(step, value, expression, connection);
    case ConverterKind::sqlite_uuid:
      return sqlite_uuid(step, value, expression, connection);
  }
  internal_error("unknown converter kind");
  return Object();
}

// A tuple item that must be a tuple of at least `size` items (borrowed).
PyObject* tuple_at(PyObject* tuple, Py_ssize_t index, Py_ssize_t size) {
  PyObject* item = PyTuple_GET_ITEM(tuple, index);
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < size)
    return type_mismatch(item, "tuple"), nullptr;
  return item;
}

// (places, max_digits, Inexact, Rounded, the 15-digit context's flags, the field context's flags)
bool parse_native_decimal(PyObject* native, ConverterStep& step) {
  if (!PyTuple_Check(native) || PyTuple_GET_SIZE(native) != 6) return type_mismatch(native, "tuple"), false;
  long places = PyLong_AsLong(PyTuple_GET_ITEM(native, 0));
  long max_digits = places == -1 && PyErr_Occurred() ? -1 : PyLong_AsLong(PyTuple_GET_ITEM(native, 1));
  if ((places == -1 || max_digits == -1) && PyErr_Occurred()) return false;
  if (places < 0 || places > 1000 || max_digits < 1 || max_digits > 1000)
    return true;  // outside what the native arithmetic covers
  step.places = (int)places;
  step.max_digits = (int)max_digits;
  step.inexact = PyTuple_GET_ITEM(native, 2);
  step.rounded = PyTuple_GET_ITEM(native, 3);
  step.created_flags = PyTuple_GET_ITEM(native, 4);
  step.flags = PyTuple_GET_ITEM(native, 5);
  return true;
}

bool parse_step(PyObject* plan, ConverterStep& step) {
  long kind = PyLong_AsLong(PyTuple_GET_ITEM(plan, 0));
  if (kind == -1 && PyErr_Occurred()) return false;
  if (kind < 0 || kind > (long)ConverterKind::sqlite_uuid) {
    internal_error("unknown converter kind");
    return false;
  }
  step.kind = (ConverterKind)kind;
  // Step(kind, extra, call)
  PyObject* extra = PyTuple_GET_ITEM(plan, 1);
  step.call = PyTuple_GET_ITEM(plan, 2);
  if (step.kind == ConverterKind::sqlite_datetime && extra != Py_None) step.zone = extra;
  if (step.kind == ConverterKind::sqlite_decimal) {
    if (!PyTuple_Check(extra) || PyTuple_GET_SIZE(extra) != 4) return type_mismatch(extra, "tuple"), false;
    step.create_decimal = PyTuple_GET_ITEM(extra, 0);
    step.quantum = PyTuple_GET_ITEM(extra, 1);
    step.context = PyTuple_GET_ITEM(extra, 2);
    PyObject* native = PyTuple_GET_ITEM(extra, 3);
    if (native != Py_None) return parse_native_decimal(native, step);
  }
  return true;
}

// The sqlite3 module's converter for a declared column type, as Django
// registers it: `lambda s: parse(s.decode())`, parse being parse_date or
// parse_datetime, whose first step is `fromisoformat`. `self` is the tuple
// (kind, Django's converter); a text that is not UTF-8 or that fromisoformat
// refuses goes to Django's converter, which gives its own answer or error.
PyObject* cursor_convert(PyObject* self, PyObject* raw) {
  const DateTypes* types = date_types();
  if (!types) return nullptr;
  PyObject* original = PyTuple_GET_ITEM(self, 1);
  bool dated = PyTuple_GET_ITEM(self, 0) == Py_False;
  PyTypeObject* made_type = dated ? types->date : types->datetime;
  int real = module_class_is(made_type, dated);
  if (real < 0) return nullptr;
  if (!real || !PyBytes_CheckExact(raw)) return PyObject_CallOneArg(original, raw);
  std::string_view bytes(PyBytes_AS_STRING(raw), (size_t)PyBytes_GET_SIZE(raw));
  if (Object made = stored_moment(types, made_type, bytes); made || PyErr_Occurred())
    return made.release();
  Object text = Object::steal(PyUnicode_DecodeUTF8(bytes.data(), (Py_ssize_t)bytes.size(), nullptr));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyErr_Clear();
    return PyObject_CallOneArg(original, raw);
  }
  bool refused = false;
  Object parsed = from_iso(made_type, text.get(), refused);
  if (refused) return PyObject_CallOneArg(original, raw);
  return parsed.release();
}

PyMethodDef CURSOR_CONVERT = {"cursor_convert", guarded_method<cursor_convert>(), METH_O,
                              "Django's sqlite3 converter of dates or datetimes, natively."};

}  // namespace

constexpr Param CURSOR_CONVERTER_PARAMS[] = {{"with_time", true, false},
                                             {"django_converter", true, false}};
constexpr Signature CURSOR_CONVERTER_SIG{"cursor_converter()", CURSOR_CONVERTER_PARAMS};

PyObject* cursor_converter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[2];
  if (!bind_args(CURSOR_CONVERTER_SIG, args, nargs, nullptr, a) || !PyBool_Check(a[0])) {
    // The companion's own call: one message for any misuse, the binder's
    // wording replaced.
    PyErr_SetString(PyExc_TypeError, "cursor_converter(with_time: bool, django_converter, /)");
    return nullptr;
  }
  Object self = Object::steal(PyTuple_Pack(2, a[0], a[1]));
  return self ? PyCFunction_New(&CURSOR_CONVERT, self.get()) : nullptr;
}

bool parse_converters(PyObject* plans, std::vector<ColumnConverters>& out) {
  if (!PyTuple_Check(plans)) return type_mismatch(plans, "tuple"), false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plans); ++i) {
    PyObject* column = tuple_at(plans, i, 3);
    if (!column) return false;
    ColumnConverters parsed;
    parsed.position = PyLong_AsSsize_t(PyTuple_GET_ITEM(column, 0));
    if (parsed.position < 0) {
      if (!PyErr_Occurred()) internal_error("negative converter position");
      return false;
    }
    parsed.expression = PyTuple_GET_ITEM(column, 1);
    PyObject* steps = PyTuple_GET_ITEM(column, 2);
    if (!PyTuple_Check(steps)) return type_mismatch(steps, "tuple"), false;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(steps); ++j) {
      PyObject* step_plan = tuple_at(steps, j, 3);
      ConverterStep step{};
      if (!step_plan || !parse_step(step_plan, step)) return false;
      parsed.steps.push_back(step);
    }
    out.push_back(std::move(parsed));
  }
  return true;
}

bool convert_row(const std::vector<ColumnConverters>& columns, PyObject* row, PyObject* connection) {
  for (const ColumnConverters& column : columns) {
    Object value = Object::steal(PyList_GetItemRef(row, column.position));
    if (!value) return false;
    for (const ConverterStep& step : column.steps) {
      value = convert(step, value.get(), column.expression, connection);
      if (!value) return false;
    }
    if (PyList_SetItem(row, column.position, value.release()) < 0) return false;
  }
  return true;
}

}  // namespace qc
