// Time zones and the datetime arithmetic of converting between them: the
// offsets that are known without asking a zone for each value, utcoffset()
// as Python's datetime answers it, and a datetime's fields moved by an offset.
#pragma once

#include "boundary.hpp"
#include "format.hpp"
#include "object.hpp"

namespace qc {

// Adds `micro` microseconds (of either sign); false when the result leaves
// the years 1 to 9999, where Python's datetime arithmetic raises OverflowError.
bool shift_datetime(DateTimeFields& fields, long long micro);

// Time zones whose offset is the same at every instant and can be known
// without asking the zone for each value: exact datetime.timezone instances,
// and a zoneinfo.ZoneInfo (exact type) with the key "UTC" that has proved to
// be a fixed zero-offset zone. For those, tz.utcoffset(dt) is the offset for
// every dt and tz.fromutc(dt) is dt + offset, which is all astimezone()
// needs. `done`: `micro` holds the offset; `declined`: any other zone.
Result fixed_offset(PyObject* tzinfo, long long& micro);

// dt.utcoffset(): false with an error set; otherwise `offset` holds the
// timedelta, or is empty when the datetime is naive.
bool utcoffset(PyObject* dt, Object& offset);

}  // namespace qc
