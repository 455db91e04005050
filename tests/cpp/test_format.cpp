// The date, time, offset and UUID text forms. The pure writers are checked
// directly, the object-reading ones in an embedded interpreter.
#include <cstdio>
#include <string>
#include <string_view>

#include "format.hpp"
#include "time_zones.hpp"
#include "object.hpp"

namespace {

int failures = 0;
PyObject* globals = nullptr;  // the embedded interpreter's namespace

void expect(std::string_view what, std::string_view got, std::string_view want) {
  if (got == want) return;
  std::printf("%.*s gave \"%.*s\", want \"%.*s\"\n", (int)what.size(), what.data(),
              (int)got.size(), got.data(), (int)want.size(), want.data());
  ++failures;
}

std::string date_text(int y, int m, int d) {
  char buf[qc::DATE_TEXT_LEN];
  return {buf, qc::push_date(buf, y, m, d)};
}

std::string time_text(int h, int m, int s, int us) {
  char buf[qc::TIME_TEXT_MAX];
  return {buf, qc::push_time(buf, h, m, s, us)};
}

std::string uuid_text(std::initializer_list<unsigned char> bytes) {
  unsigned char b[16] = {};
  size_t i = 16 - bytes.size();
  for (unsigned char x : bytes) b[i++] = x;
  char buf[qc::UUID_TEXT_LEN];
  return {buf, qc::push_uuid(buf, b)};
}

void pure_writers() {
  expect("push_date", date_text(2024, 3, 7), "2024-03-07");
  expect("push_date", date_text(1, 1, 1), "0001-01-01");
  expect("push_date", date_text(5, 12, 31), "0005-12-31");
  expect("push_date", date_text(987, 10, 9), "0987-10-09");
  expect("push_date", date_text(9999, 12, 31), "9999-12-31");
  expect("push_time", time_text(9, 5, 0, 0), "09:05:00");
  expect("push_time", time_text(23, 59, 59, 7), "23:59:59.000007");
  expect("push_time", time_text(0, 0, 0, 120000), "00:00:00.120000");
  expect("push_uuid", uuid_text({}), "00000000-0000-0000-0000-000000000000");
  expect("push_uuid", uuid_text({1}), "00000000-0000-0000-0000-000000000001");
  expect("push_uuid", uuid_text({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x0f, 0xed,
                                 0xcb, 0xa9, 0x87, 0x65, 0x43, 0x21}),
         "12345678-9abc-def0-0fed-cba987654321");
}

// Runs a Python expression and returns its value (new reference).
PyObject* eval(const char* expr) {
  if (!globals) {
    globals = PyDict_New();
    PyRun_String("import datetime as dt, uuid", Py_file_input, globals, globals);
  }
  PyObject* value = PyRun_String(expr, Py_eval_input, globals, globals);
  if (!value) PyErr_Print();
  return value;
}

std::string str_of(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = s ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
  return p ? std::string(p, size_t(n)) : std::string("<error>");
}

std::string pending_error() {
  qc::Object exc = qc::Object::steal(PyErr_GetRaisedException());
  if (!exc) return "no error";
  qc::Object text = qc::Object::steal(PyObject_Str(exc.get()));
  return std::string(Py_TYPE(exc.get())->tp_name) + ": " + str_of(text.get());
}

// Aware datetimes are compared with DRF through the encoder; here the naive
// text, the other object readers and utcoffset's type check.
void date_texts() {
  qc::Object dt = qc::Object::steal(eval("dt.datetime(5, 6, 7, 8, 9, 10, 11, dt.timezone.utc)"));
  qc::Object offset;
  if (dt && qc::utcoffset(dt.get(), offset)) {
    expect("datetime_iso", qc::datetime_iso(dt.get(), offset.get()).view(),
           "0005-06-07T08:09:10.000011Z");
    qc::Object text = qc::datetime_iso(dt.get(), nullptr).to_str();
    expect("datetime_iso naive", str_of(text.get()), "0005-06-07T08:09:10.000011");
  } else {
    expect("utcoffset", pending_error(), "a timedelta");
  }
  qc::Object date = qc::Object::steal(eval("dt.date(5, 6, 7)"));
  expect("date_iso", qc::date_iso(date.get()).view(), "0005-06-07");

  qc::Object bad = qc::Object::steal(
      eval("type('T', (dt.datetime,), {'utcoffset': lambda self: 5})(2024, 1, 1)"));
  expect("utcoffset returning an int",
         bad && !qc::utcoffset(bad.get(), offset) ? pending_error() : "no error",
         "TypeError: 'int' object is not an instance of 'timedelta'");
}

void uuid_texts() {
  qc::Object u = qc::Object::steal(eval("uuid.UUID('12345678-9abc-def0-0fed-cba987654321')"));
  qc::Object s = qc::uuid_str(u.get());
  expect("uuid_str", str_of(s.get()), "12345678-9abc-def0-0fed-cba987654321");
  struct Case {
    const char* expr;
    const char* error;
  } cases[] = {
      {"type('U', (), {'int': -1})()", "ValueError: Cannot convert negative int"},
      {"type('U', (), {'int': 2**128})()", "OverflowError: Python int larger than 128 bits"},
      {"type('U', (), {'int': 'x'})()",
       "TypeError: 'str' object cannot be interpreted as an integer"},
      {"object()", "AttributeError: 'object' object has no attribute 'int'"},
  };
  for (const Case& c : cases) {
    qc::Object obj = qc::Object::steal(eval(c.expr));
    qc::Object text = obj ? qc::uuid_str(obj.get()) : qc::Object();
    expect(c.expr, text ? "no error" : pending_error(), c.error);
  }
  qc::Object zero = qc::Object::steal(eval("type('U', (), {'int': 0})()"));
  qc::Object text = qc::uuid_str(zero.get());
  expect("uuid_str(0)", str_of(text.get()), "00000000-0000-0000-0000-000000000000");
}

}  // namespace

int format_tests() {
  pure_writers();
  date_texts();
  uuid_texts();
  Py_CLEAR(globals);
  return failures;
}
