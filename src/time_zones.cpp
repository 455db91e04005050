#include "time_zones.hpp"

#include "boundary.hpp"
#include "module_state.hpp"
#include "object.hpp"

// Only the field accessors are used here; the header's per-file API pointer
// is not: the capsule is read once, into the module's state (date_types()).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>

namespace qc {

namespace {

// The ZoneInfo("UTC") object that passed the fixed-offset check (a strong
// reference kept for the life of the process), so that the check runs once.
std::atomic<PyObject*> UTC_ZONEINFO{nullptr};

constexpr long long MICRO_PER_SECOND = 1000000;
constexpr long long MICRO_PER_DAY = 86400 * MICRO_PER_SECOND;
// Days from 1970-01-01 to 0001-01-01 and to 9999-12-31, the datetime range.
constexpr long long FIRST_DAY = -719162;
constexpr long long LAST_DAY = 2932896;

// Howard Hinnant's days_from_civil and civil_from_days: proleptic Gregorian
// dates to days since 1970-01-01 and back, exact over the datetime range.
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (long long)doe - 719468;
}

void civil_from_days(long long z, DateTimeFields& out) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  out.year = int((long long)yoe + era * 400 + (m <= 2));
  out.month = int(m);
  out.day = int(doy - (153 * mp + 2) / 5 + 1);
}

long long delta_micro(PyObject* delta) {
  return (PyDateTime_DELTA_GET_DAYS(delta) * 86400LL + PyDateTime_DELTA_GET_SECONDS(delta)) *
             MICRO_PER_SECOND +
         PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

// tz.utcoffset(dt) for an exact datetime.timezone; empty with an error set.
Object timezone_offset(const DateTypes* types, PyObject* tz, PyObject* dt) {
  PyObject* method = timezone_utcoffset();
  if (!method) return Object();
  PyObject* args[] = {tz, dt};
  Object offset = Object::steal(PyObject_Vectorcall(method, args, 2, nullptr));
  if (offset && !Py_IS_TYPE(offset.get(), types->delta))
    return internal_error("timezone.utcoffset() returned a non-timedelta"), Object();
  return offset;
}

// Whether `zone`, an exact ZoneInfo, is the key "UTC" with a zero offset at
// every instant (fixed) or not (unknown): ZoneInfo answers utcoffset(None)
// only for a zone whose offset never changes.
[[gnu::noinline]] Result fixed_utc_zoneinfo(const DateTypes* types, PyObject* zone) {
  PyObject* key_name = names::key();
  PyObject* offset_name = names::utcoffset();
  if (!key_name || !offset_name) return Result::raised;
  Object key = Object::steal(PyObject_GetAttr(zone, key_name));
  if (!key) return Result::raised;
  if (!PyUnicode_CheckExact(key.get()) || !PyUnicode_EqualToUTF8(key.get(), "UTC"))
    return Result::declined;
  Object offset = Object::steal(PyObject_CallMethodOneArg(zone, offset_name, Py_None));
  if (!offset) return Result::raised;
  bool utc = Py_IS_TYPE(offset.get(), types->delta) && delta_micro(offset.get()) == 0;
  return utc ? Result::done : Result::declined;
}

[[gnu::noinline]] Result zoneinfo_offset(const DateTypes* types, PyObject* zone,
                                              long long& micro) {
  PyObject* zoneinfo = zoneinfo_type();
  if (!zoneinfo) return Result::raised;
  if ((PyObject*)Py_TYPE(zone) != zoneinfo) return Result::declined;
  Result utc = fixed_utc_zoneinfo(types, zone);
  if (utc != Result::done) return utc;
  // The slot keeps the first zone found to be UTC; when another one took it
  // first, this one is checked each time and its reference dropped here.
  Object held = Object::borrow(zone);
  PyObject* expected = nullptr;
  if (UTC_ZONEINFO.compare_exchange_strong(expected, held.get(), std::memory_order_acq_rel))
    held.release();
  micro = 0;
  return Result::done;
}

}  // namespace

bool shift_datetime(DateTimeFields& f, long long micro) {
  long long days = days_from_civil(f.year, unsigned(f.month), unsigned(f.day));
  long long in_day = ((f.hour * 60LL + f.minute) * 60 + f.second) * MICRO_PER_SECOND +
                     f.microsecond + micro;
  // |micro| is below a day, so the carry is one day at most either way.
  if (in_day < 0) {
    in_day += MICRO_PER_DAY;
    --days;
  } else if (in_day >= MICRO_PER_DAY) {
    in_day -= MICRO_PER_DAY;
    ++days;
  }
  if (days < FIRST_DAY || days > LAST_DAY) return false;
  civil_from_days(days, f);
  f.microsecond = int(in_day % MICRO_PER_SECOND);
  long long seconds = in_day / MICRO_PER_SECOND;
  f.second = int(seconds % 60);
  f.minute = int(seconds / 60 % 60);
  f.hour = int(seconds / 3600);
  return true;
}

Result fixed_offset(PyObject* tzinfo, long long& micro) {
  const DateTypes* types = date_types();
  if (!types) return Result::raised;
  if (tzinfo == types->utc || tzinfo == UTC_ZONEINFO.load(std::memory_order_acquire)) {
    micro = 0;
    return Result::done;
  }
  if (Py_IS_TYPE(tzinfo, types->timezone)) {
    Object offset = timezone_offset(types, tzinfo, Py_None);
    if (!offset) return Result::raised;
    micro = delta_micro(offset.get());
    return Result::done;
  }
  return zoneinfo_offset(types, tzinfo, micro);
}

bool utcoffset(PyObject* dt, Object& offset) {
  offset.reset();
  PyObject* name = names::utcoffset();
  const DateTypes* types = date_types();
  if (!name || !types) return false;
  // An exact datetime asks its tzinfo; a subclass may override the method.
  if (Py_IS_TYPE(dt, types->datetime)) {
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(dt);
    if (tzinfo == Py_None) return true;
    if (Py_IS_TYPE(tzinfo, types->timezone)) {
      offset = timezone_offset(types, tzinfo, dt);
      return bool(offset);
    }
  }
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

}  // namespace qc
