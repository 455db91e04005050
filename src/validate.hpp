// Validator plans: the native fast path of a write field.
#pragma once

#include "object.hpp"
#include "plan.hpp"
#include "repr.hpp"
#include "uint128.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qc {

// ---------------------------------------------------------------------------
// Text parsers. Each recognises, on UTF-8 bytes, only plain forms whose value
// is certain; anything else is left to DRF. They never fail or allocate.

// [+-]digits, 1 to 18 ASCII digits, optionally followed by "." and zeros.
std::optional<int64_t> parse_int_str(std::string_view text) noexcept;
// 32 hex digits, or the 36-character form with hyphens at 8, 13, 18 and 23.
std::optional<u128> parse_uuid(std::string_view text) noexcept;
// A dot-atom ASCII address with a dotted domain and an alphabetic last label.
bool is_plain_email(std::string_view text) noexcept;

struct IsoDate {
  uint32_t year;
  uint8_t month;
  uint8_t day;
};
// YYYY-MM-DD exactly; the numbers are not range-checked.
std::optional<IsoDate> parse_iso_date(std::string_view text) noexcept;

// The uuid.UUID equal to uuid.UUID(int=value), built without running the
// class's __init__. Empty with an error set.
Object new_uuid(u128 value);

struct ValShape;
// A write field's validator plan.
using Val = Plan<ValShape>;

// The kinds and payloads of validator plans. The payload alternative is fixed
// by the tag:
//   char -> Char, int -> Int, float -> Float, bool -> Bool, decimal -> Decimal,
//   datetime -> DateTimeTz, choice -> Choice, list -> List, nested -> Nested,
//   nested_many -> NestedMany, date, uuid and python -> monostate.
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

}  // namespace qc
