#include "format.hpp"

// The header defines a per-file API pointer that this file does not use: the
// capsule is read once below, into process-wide storage.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>
#include <cstring>

namespace qc {

namespace {

std::atomic<const DateTypes*> DATE_TYPES{nullptr};

OnceSlot UTCOFFSET_NAME, INT_NAME;

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

const DateTypes* date_types() {
  if (const DateTypes* t = DATE_TYPES.load(std::memory_order_acquire)) return t;
  // The capsule import is idempotent; racing threads find the same classes.
  auto* api = (const PyDateTime_CAPI*)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
  if (!api) return nullptr;
  static const DateTypes types{api->DateType, api->DateTimeType, api->TimeType,
                               api->DeltaType};
  DATE_TYPES.store(&types, std::memory_order_release);
  return &types;
}

PyObject* IsoText::to_str() const {
  PyObject* s = PyUnicode_New((Py_ssize_t)size, 127);
  if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), data, size);
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

char* push_offset(char* out, PyObject* offset) {
  // A timedelta keeps 0 <= seconds < 86400 and 0 <= microseconds < 10**6, so
  // the sign is the sign of `days`; the magnitude is split into whole seconds
  // and microseconds to keep every step far from overflow.
  long long days = PyDateTime_DELTA_GET_DAYS(offset);
  long long seconds = days * 86400 + PyDateTime_DELTA_GET_SECONDS(offset);
  int micro = PyDateTime_DELTA_GET_MICROSECONDS(offset);
  if (seconds == 0 && micro == 0) {
    *out++ = 'Z';
    return out;
  }
  *out++ = days < 0 ? '-' : '+';
  if (days < 0) {
    seconds = -seconds;
    if (micro != 0) {
      seconds -= 1;
      micro = 1000000 - micro;
    }
  }
  out = push_2(out, int(seconds / 3600 % 100));
  *out++ = ':';
  out = push_2(out, int(seconds / 60 % 60));
  if (seconds % 60 != 0 || micro != 0) {
    *out++ = ':';
    out = push_2(out, int(seconds % 60));
  }
  return push_fraction(out, micro);
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

IsoText time_iso(PyObject* time) {
  IsoText t;
  t.size = size_t(push_time(t.data, PyDateTime_TIME_GET_HOUR(time),
                            PyDateTime_TIME_GET_MINUTE(time), PyDateTime_TIME_GET_SECOND(time),
                            PyDateTime_TIME_GET_MICROSECOND(time)) -
                  t.data);
  return t;
}

bool utcoffset(PyObject* dt, Object& offset) {
  offset.reset();
  PyObject* name = intern_once(UTCOFFSET_NAME, "utcoffset");
  const DateTypes* types = date_types();
  if (!name || !types) return false;
  // A naive datetime needs no call (a subclass may override the method).
  if (Py_IS_TYPE(dt, types->datetime) && PyDateTime_DATE_GET_TZINFO(dt) == Py_None) return true;
  Object result = Object::steal(PyObject_CallMethodNoArgs(dt, name));
  if (!result) return false;
  if (result.get() == Py_None) return true;
  if (!PyObject_TypeCheck(result.get(), types->delta)) {
    type_mismatch(result.get(), "timedelta");
    return false;
  }
  offset = std::move(result);
  return true;
}

UuidRead uuid_bytes(PyObject* uuid, unsigned char out[16]) {
  PyObject* name = intern_once(INT_NAME, "int");
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
  static constexpr char HEX[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = HEX[bytes[i] >> 4];
    *out++ = HEX[bytes[i] & 15];
  }
  return out;
}

PyObject* uuid_str(PyObject* uuid) {
  unsigned char bytes[16];
  if (uuid_bytes(uuid, bytes) != UuidRead::ok) return nullptr;
  PyObject* s = PyUnicode_New((Py_ssize_t)UUID_TEXT_LEN, 127);
  if (s) push_uuid((char*)PyUnicode_1BYTE_DATA(s), bytes);
  return s;
}

}  // namespace qc
