// The text Django's SQLite backend stores for a date ("2024-01-05") or a
// naive datetime ("2024-01-05 07:05:09" or "2024-01-05 07:05:09.500000"),
// read straight from the cursor's bytes.
#pragma once

#include <string_view>

#include "kinds/temporal.hpp"

namespace qc {

struct StoredMoment {
  IsoDate date{};
  int hour = 0, minute = 0, second = 0, microsecond = 0;
};

// True where `text` has exactly the shape above (a 'T' may stand for the
// space) and every field is in range, so that fromisoformat certainly reads
// it to these fields. False for anything else, valid or not: the caller then
// lets fromisoformat and Django's parser answer.
bool read_stored_date(std::string_view text, StoredMoment& out) noexcept;
bool read_stored_datetime(std::string_view text, StoredMoment& out) noexcept;

}  // namespace qc
