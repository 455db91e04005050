// Validator plans: the native fast path of a write field.
#pragma once

#include "boundary.hpp"
#include "lists.hpp"
#include "object.hpp"
#include "plan.hpp"
#include "repr.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qc {

struct ValShape;
// A write field's validator plan.
using Val = Plan<ValShape>;

// The kinds and payloads of validator plans. The payload alternative is fixed
// by the tag:
//   char -> Char, int -> Int, float -> Float, bool -> Bool, decimal -> Decimal,
//   datetime -> DateTimeTz, choice -> Choice, list -> List, nested -> Nested,
//   nested_many -> NestedMany, date, uuid and python -> monostate.
// Each kind's reader and validator are in its unit of src/kinds/.
struct ValShape {
  enum class Kind : uint8_t {
    char_, int_, float_, bool_, decimal, date, datetime, uuid, choice, list, nested,
    nested_many, python,
  };
  static constexpr std::string_view KIND_NAMES[] = {
      "char", "int",  "float", "bool",   "decimal",     "date",   "datetime",
      "uuid", "choice", "list", "nested", "nested_many", "python",
  };
  static constexpr const char* UNKNOWN_TYPE = "unknown validator type '%U'";
  static constexpr const char* RECURSION_WHERE = " while compiling a validator plan";

  // The length a text, a list field or a nested list serializer may have.
  struct Lengths {
    bool allow_empty = true;
    std::optional<uint64_t> max_length;
    std::optional<uint64_t> min_length;
    bool allow(size_t n) const noexcept {
      return !(n == 0 && !allow_empty) && !(max_length && n > *max_length) &&
             !(min_length && n < *min_length);
    }
  };
  struct Char {
    bool allow_blank = false;
    bool trim_whitespace = true;
    bool email = false;
    Lengths lengths;  // allow_empty stays true: blank text is allow_blank's
  };
  struct Int {
    std::optional<int64_t> max_value;
    std::optional<int64_t> min_value;
  };
  struct Float {
    std::optional<double> max_value;
    std::optional<double> min_value;
  };
  struct Bool {
    bool allow_null = false;
  };
  struct Decimal {
    std::optional<uint64_t> max_digits;
    std::optional<uint64_t> decimal_places;
  };
  struct Choice {
    bool allow_blank = false;
    Object map;  // a dict (or subclass)
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(map.get());
      return 0;
    }
  };
  struct List {
    bool child_allow_null = false;
    Lengths lengths;
    std::unique_ptr<Val> child;  // never null in a parsed plan
  };
  using Nested = ReprShape::Nested;
  struct NestedMany {
    Lengths lengths;
    Object serializer;  // a CompiledSerializer, possibly shared with other plans
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(serializer.get());
      return 0;
    }
  };

  using Payload = std::variant<std::monostate, Char, Int, Float, Bool, Decimal, DateTimeTz, Choice,
                               List, Nested, NestedMany>;

  static std::unique_ptr<Val>* child_slot(Payload& payload) noexcept {
    auto* list = std::get_if<List>(&payload);
    return list ? &list->child : nullptr;
  }
  static bool parse_payload(PyObject* dict, Val& out);

  // What a native validator made of one input value.
  enum class Verdict : uint8_t {
    accepted,  // the internal value is in `out`
    declined,  // DRF's own field must decide
    raised,    // a Python exception is set
    abandoned,  // a nested value failed: DRF's field for it at the payload's
                // outermost loop must decide (see nested_failures.hpp)
  };
  // Converts `value` (borrowed) into exactly the internal value DRF's field
  // would produce, or declines. `current_tz` is borrowed and may be nullptr.
  // `field` is the DRF field the plan stands in for, which the loops of
  // nested serializers call into.
  static Verdict validate(const Val& val, PyObject* value, PyObject* current_tz,
                          const Live& field, Object& out);
};

// ---------------------------------------------------------------------------
// What the validators of every kind (here and in src/kinds/) share.

// DRF's limit on numeric text (IntegerField, FloatField, DecimalField).
inline constexpr size_t NUMBER_TEXT_MAX = 1000;

inline Val::Verdict accept(Object& out, Object value) {
  out = std::move(value);
  return out ? Val::Verdict::accepted : Val::Verdict::raised;
}

// The pending exception is one of `types` (a verdict on the input that DRF
// reaches too): discard it and decline. Anything else is raised.
template <class... Types>
Val::Verdict decline_on(Types... types) {
  if (!(PyErr_ExceptionMatches(types) || ...)) return Val::Verdict::raised;
  PyErr_Clear();
  return Val::Verdict::declined;
}

// The UTF-8 text of an exact str. A str without one (lone surrogates) is
// DRF's to reject, so that case declines.
inline Val::Verdict read_utf8(PyObject* str, std::string_view& text) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return decline_on(PyExc_UnicodeEncodeError);
  text = std::string_view(data, (size_t)size);
  return Val::Verdict::accepted;
}

// The value of an exact int, or nullopt when it does not fit in 64 bits.
inline std::optional<int64_t> exact_int64(PyObject* value) {
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow) return std::nullopt;
  return (int64_t)v;  // an exact int never fails the conversion otherwise
}

// The "max_length" and "min_length" of a text, list or nested list dict.
// False with an error set.
bool read_lengths(PyObject* dict, Val::Lengths& lengths);

// An exact list whose length the field accepts; others are DRF's to judge.
inline bool is_list_of(PyObject* value, const Val::Lengths& lengths) {
  return PyList_CheckExact(value) && lengths.allow((size_t)PyList_GET_SIZE(value));
}

// Runs `each(item, out)` (a Verdict) for each item of an exact list, walked
// as for_each_list_item walks one, and collects the accepted values. The first
// verdict other than accepted ends the walk and is the answer.
template <class Each>
Val::Verdict collect_items(PyObject* list, Object& out, Each&& each) {
  Object result = Object::steal(PyList_New(0));
  if (!result) return Val::Verdict::raised;
  Val::Verdict verdict = Val::Verdict::accepted;
  const bool walked = for_each_list_item(list, [&](PyObject* item) {
    Object internal;
    verdict = each(item, internal);
    if (verdict != Val::Verdict::accepted) return false;
    if (PyList_Append(result.get(), internal.get()) == 0) return true;
    verdict = Val::Verdict::raised;
    return false;
  });
  if (!walked) return verdict == Val::Verdict::accepted ? Val::Verdict::raised : verdict;
  out = std::move(result);
  return Val::Verdict::accepted;
}

}  // namespace qc
