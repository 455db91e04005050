#include "decimal.hpp"

#include "../object.hpp"
#include "../schema_read.hpp"

namespace qc {

namespace {

// "-", the integer digits, ".", the fraction padded to decimal_places.
constexpr size_t DECIMAL_CANONICAL_MAX = 1 + NUMBER_TEXT_MAX + 1 + DECIMAL_BOUND_MAX;

}  // namespace

bool read_decimal(PyObject* dict, Repr::Decimal& d) {
  return opt_usize(dict, keys::decimal_places, d.decimal_places) &&
         opt_usize(dict, keys::max_digits, d.max_digits) &&
         opt_bool(dict, keys::coerce_to_string, true, d.coerce_to_string);
}

bool read_decimal(PyObject* dict, Val::Decimal& d) {
  return opt_usize(dict, keys::max_digits, d.max_digits) &&
         opt_usize(dict, keys::decimal_places, d.decimal_places);
}

// The sizes are bounded by DECIMAL_CANONICAL_MAX: the text is at most
// NUMBER_TEXT_MAX long and decimal_places at most DECIMAL_BOUND_MAX.
Val::Verdict make_decimal(const Val::Decimal& b, const DecimalText& d, Object& out) {
  char buffer[DECIMAL_CANONICAL_MAX];
  char* end = buffer;
  if (d.negative) *end++ = '-';
  if (d.whole.empty()) *end++ = '0';
  end = std::copy(d.whole.begin(), d.whole.end(), end);
  size_t places = b.decimal_places ? *b.decimal_places : d.fraction.size();
  if (places > 0) {
    *end++ = '.';
    end = std::copy(d.fraction.begin(), d.fraction.end(), end);
    end = std::fill_n(end, places - d.fraction.size(), '0');
  }
  PyObject* cls = decimal_type();
  if (!cls) return Val::Verdict::raised;
  Object text = Object::steal(PyUnicode_FromStringAndSize(buffer, end - buffer));
  if (!text) return Val::Verdict::raised;
  return accept(out, Object::steal(PyObject_CallOneArg(cls, text.get())));
}

}  // namespace qc
