#include "format.hpp"

#include "boundary.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "text.hpp"

// Only the field accessors are used here; the header's per-file API pointer
// is not: the capsule is read once, into the module's state (date_types()).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <cstring>

namespace qc {

namespace {

constexpr long long MICRO_PER_SECOND = 1000000;

char* push_2(char* out, int n) {
  out[0] = char('0' + (n / 10) % 10);
  out[1] = char('0' + n % 10);
  return out + 2;
}

char* push_6(char* out, int n) {
  for (int i = 5; i >= 0; --i, n /= 10) out[i] = char('0' + n % 10);
  return out + 6;
}

char* push_fraction(char* out, int microsecond) {
  if (microsecond == 0) return out;
  *out++ = '.';
  return push_6(out, microsecond);
}

}  // namespace

Object IsoText::to_str() const {
  Object s = Object::steal(PyUnicode_New((Py_ssize_t)size, 127));
  if (s) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), data, size);
  return s;
}

char* push_date(char* out, int year, int month, int day) {
  out = push_2(out, year / 100);
  out = push_2(out, year);
  *out++ = '-';
  out = push_2(out, month);
  *out++ = '-';
  return push_2(out, day);
}

char* push_time(char* out, int hour, int minute, int second, int microsecond) {
  out = push_2(out, hour);
  *out++ = ':';
  out = push_2(out, minute);
  *out++ = ':';
  out = push_2(out, second);
  return push_fraction(out, microsecond);
}

namespace {

// The offset text from its sign and magnitude.
char* push_offset_parts(char* out, bool negative, long long seconds, int micro) {
  if (seconds == 0 && micro == 0) {
    *out++ = 'Z';
    return out;
  }
  *out++ = negative ? '-' : '+';
  out = push_2(out, int(seconds / 3600 % 100));
  *out++ = ':';
  out = push_2(out, int(seconds / 60 % 60));
  if (seconds % 60 != 0 || micro != 0) {
    *out++ = ':';
    out = push_2(out, int(seconds % 60));
  }
  return push_fraction(out, micro);
}

char* push_offset_micro(char* out, long long offset) {
  unsigned long long size = offset < 0 ? 0ULL - (unsigned long long)offset
                                       : (unsigned long long)offset;
  return push_offset_parts(out, offset < 0, (long long)(size / MICRO_PER_SECOND),
                           int(size % MICRO_PER_SECOND));
}

}  // namespace

char* push_offset(char* out, PyObject* offset) {
  // A timedelta keeps 0 <= seconds < 86400 and 0 <= microseconds < 10**6, so
  // the sign is the sign of `days`; the magnitude is split into whole seconds
  // and microseconds to keep every step far from overflow.
  long long days = PyDateTime_DELTA_GET_DAYS(offset);
  long long seconds = days * 86400 + PyDateTime_DELTA_GET_SECONDS(offset);
  int micro = PyDateTime_DELTA_GET_MICROSECONDS(offset);
  if (days < 0) {
    seconds = -seconds;
    if (micro != 0) {
      seconds -= 1;
      micro = 1000000 - micro;
    }
  }
  return push_offset_parts(out, days < 0, seconds, micro);
}

DateTimeFields datetime_fields(PyObject* dt) {
  return {PyDateTime_GET_YEAR(dt),        PyDateTime_GET_MONTH(dt),
          PyDateTime_GET_DAY(dt),         PyDateTime_DATE_GET_HOUR(dt),
          PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt),
          PyDateTime_DATE_GET_MICROSECOND(dt)};
}

IsoText datetime_iso(const DateTimeFields& f, long long offset_micro) {
  IsoText t;
  char* out = push_date(t.data, f.year, f.month, f.day);
  *out++ = 'T';
  out = push_time(out, f.hour, f.minute, f.second, f.microsecond);
  t.size = size_t(push_offset_micro(out, offset_micro) - t.data);
  return t;
}

char* push_datetime(char* out, PyObject* dt, PyObject* offset) {
  out = push_date(out, PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt),
                  PyDateTime_GET_DAY(dt));
  *out++ = 'T';
  out = push_time(out, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                  PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
  return offset ? push_offset(out, offset) : out;
}

IsoText date_iso(PyObject* date) {
  IsoText t;
  t.size = size_t(push_date(t.data, PyDateTime_GET_YEAR(date), PyDateTime_GET_MONTH(date),
                            PyDateTime_GET_DAY(date)) -
                  t.data);
  return t;
}

IsoText datetime_iso(PyObject* dt, PyObject* offset) {
  IsoText t;
  t.size = size_t(push_datetime(t.data, dt, offset) - t.data);
  return t;
}

UuidRead uuid_bytes(PyObject* uuid, unsigned char out[16]) {
  PyObject* name = names::int_();
  if (!name) return UuidRead::error;
  Object attr = Object::steal(PyObject_GetAttr(uuid, name));
  if (!attr) return UuidRead::error;
  Object value = Object::steal(PyNumber_Index(attr.get()));
  if (!value) return UuidRead::invalid;
  Py_ssize_t need = PyLong_AsNativeBytes(
      value.get(), out, 16,
      Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
          Py_ASNATIVEBYTES_REJECT_NEGATIVE);
  if (need < 0) return UuidRead::invalid;  // negative
  if (need > 16) {
    PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
    return UuidRead::invalid;
  }
  return UuidRead::ok;
}

char* push_uuid(char* out, const unsigned char bytes[16]) {
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = text::HEX_DIGITS[bytes[i] >> 4];
    *out++ = text::HEX_DIGITS[bytes[i] & 15];
  }
  return out;
}

Object uuid_str(PyObject* uuid) {
  unsigned char bytes[16];
  if (uuid_bytes(uuid, bytes) != UuidRead::ok) return Object();
  Object s = Object::steal(PyUnicode_New((Py_ssize_t)UUID_TEXT_LEN, 127));
  if (s) push_uuid((char*)PyUnicode_1BYTE_DATA(s.get()), bytes);
  return s;
}

}  // namespace qc
