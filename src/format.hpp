// Text forms of dates, datetimes, times of day, UTC offsets and UUIDs.
//
// The forms are those of Python's isoformat() (with a zero UTC offset written
// "Z") and of str(uuid.UUID). The `push_*` writers append to caller-provided
// memory and return the new end, so the JSON encoder can write straight into
// its output buffer; the `*_iso` functions return a small fixed-size text that
// turns into a Python str with `to_str()`.
#pragma once

#include <cstddef>
#include <string_view>

#include "object.hpp"

namespace qc {

// The longest texts: "YYYY-MM-DDTHH:MM:SS.ffffff" plus "+HH:MM:SS.ffffff".
inline constexpr size_t DATE_TEXT_LEN = 10;
inline constexpr size_t TIME_TEXT_MAX = 15;
inline constexpr size_t OFFSET_TEXT_MAX = 16;
inline constexpr size_t DATETIME_TEXT_MAX = DATE_TEXT_LEN + 1 + TIME_TEXT_MAX + OFFSET_TEXT_MAX;
inline constexpr size_t UUID_TEXT_LEN = 36;

// ASCII text of bounded length, returned by value.
struct IsoText {
  char data[DATETIME_TEXT_MAX];
  size_t size = 0;

  std::string_view view() const { return {data, size}; }
  Object to_str() const;  // empty with an error set
};

// "YYYY-MM-DD", always 10 characters (year 5 is "0005").
char* push_date(char* out, int year, int month, int day);
// "HH:MM:SS", then ".ffffff" when the microsecond is not 0.
char* push_time(char* out, int hour, int minute, int second, int microsecond);
// "Z" for a zero offset, else "+HH:MM" / "-HH:MM", then ":SS" and ".ffffff" as
// needed. `offset` is a timedelta (or subclass) shorter than one day.
char* push_offset(char* out, PyObject* offset);
// The date and time of a datetime joined by "T", then the offset unless it is
// nullptr (naive text).
char* push_datetime(char* out, PyObject* dt, PyObject* offset);

// `date` is a datetime.date (or subclass); `dt` a datetime.datetime (or
// subclass).
IsoText date_iso(PyObject* date);
IsoText datetime_iso(PyObject* dt, PyObject* offset);

// The fields of a datetime, for arithmetic and text without a datetime object.
struct DateTimeFields {
  int year, month, day, hour, minute, second, microsecond;
};
DateTimeFields datetime_fields(PyObject* dt);
// As datetime_iso, with the offset given in microseconds (|offset| < 1 day).
IsoText datetime_iso(const DateTimeFields& fields, long long offset_micro);

// The 128-bit value of a UUID object's `int` attribute, big-endian.
enum class UuidRead { ok, error, invalid };
// `error`: the attribute lookup failed. `invalid`: the attribute is not an
// integer (index conversion failed), or is negative (ValueError), or is wider
// than 128 bits (OverflowError "Python int larger than 128 bits"). Both leave
// an error set.
UuidRead uuid_bytes(PyObject* uuid, unsigned char out[16]);
// The 36 characters "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lowercase.
char* push_uuid(char* out, const unsigned char bytes[16]);
// str(uuid) for a UUID object; new reference, or nullptr with an error set.
Object uuid_str(PyObject* uuid);

}  // namespace qc
