#include "sqlite_dates.hpp"

#include "text.hpp"

namespace qc {
namespace {

// The number written by the `count` digits at `text`, or -1 if one is not a digit.
int digits_at(std::string_view text, size_t at, size_t count) noexcept {
  int n = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (!text::is_digit(text[i])) return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

bool is_leap(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) noexcept {
  constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : DAYS[month - 1];
}

}  // namespace

bool read_stored_date(std::string_view text, StoredMoment& out) noexcept {
  std::optional<IsoDate> date = parse_iso_date(text);
  if (!date) return false;
  out.date = *date;
  return date->year >= 1 && date->month >= 1 && date->month <= 12 && date->day >= 1 &&
         date->day <= days_in_month((int)date->year, date->month);
}

bool read_stored_datetime(std::string_view text, StoredMoment& out) noexcept {
  if (text.size() != 19 && text.size() != 26) return false;
  if (!read_stored_date(text.substr(0, 10), out) || (text[10] != ' ' && text[10] != 'T') ||
      text[13] != ':' || text[16] != ':')
    return false;
  out.hour = digits_at(text, 11, 2);
  out.minute = digits_at(text, 14, 2);
  out.second = digits_at(text, 17, 2);
  out.microsecond = 0;
  if (text.size() == 26) {
    if (text[19] != '.') return false;
    out.microsecond = digits_at(text, 20, 6);
    if (out.microsecond < 0) return false;
  }
  return out.hour >= 0 && out.hour < 24 && out.minute >= 0 && out.minute < 60 &&
         out.second >= 0 && out.second < 60;
}

}  // namespace qc
