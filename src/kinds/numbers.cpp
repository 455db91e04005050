#include "numbers.hpp"

#include "../object.hpp"
#include "../schema_read.hpp"
#include "../text.hpp"

namespace qc {

namespace {

// The most digits an integer text may have: below 10**18, so never overflows.
constexpr size_t INT_TEXT_DIGITS = 18;

// An optional signed 64-bit bound, converted with the interpreter's integer
// conversion (so floats are refused and __index__ is honoured).
bool read_int_bound(PyObject* dict, const char* key, std::optional<int64_t>& out) {
  Object r;
  if (!opt_item(dict, key, r)) return false;
  if (!r) return true;
  long long v = PyLong_AsLongLong(r.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool read_float_bound(PyObject* dict, const char* key, std::optional<double>& out) {
  Object r;
  if (!opt_item(dict, key, r)) return false;
  if (!r) return true;
  PyObject* v = r.get();
  if (PyFloat_CheckExact(v)) {
    out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

}  // namespace

bool read_int(PyObject* dict, Val::Int& i) {
  return read_int_bound(dict, keys::max_value, i.max_value) &&
         read_int_bound(dict, keys::min_value, i.min_value);
}

bool read_float(PyObject* dict, Val::Float& f) {
  return read_float_bound(dict, keys::max_value, f.max_value) &&
         read_float_bound(dict, keys::min_value, f.min_value);
}

std::optional<int64_t> parse_int_str(std::string_view text) noexcept {
  if (size_t point = text.find('.'); point != std::string_view::npos) {
    if (text.find_first_not_of('0', point + 1) != std::string_view::npos) return std::nullopt;
    text = text.substr(0, point);
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > INT_TEXT_DIGITS || !text::all_digits(text)) return std::nullopt;
  int64_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return negative ? -value : value;
}

}  // namespace qc
