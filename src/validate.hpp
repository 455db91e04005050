// Validator plans: the native fast path of a write field.
#pragma once

#include "repr.hpp"
#include "tools.hpp"

#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace qc {

// A write field's validator plan. The payload alternative is fixed by the
// tag:
//   char -> Char, int -> Int, float -> Float, bool -> Bool, decimal -> Decimal,
//   datetime -> DateTimeTz, choice -> Choice, list -> List, nested -> Nested,
//   nested_many -> NestedMany, date, uuid and python -> monostate.
struct Val {
  // Declaration order is the order of the kind-name table.
  enum class Kind : uint8_t {
    char_, int_, float_, bool_, decimal, date, datetime, uuid, choice, list, nested,
    nested_many, python,
  };

  struct Char {
    bool allow_blank = false;
    bool trim_whitespace = true;
    bool email = false;
    std::optional<uint64_t> max_length;
    std::optional<uint64_t> min_length;
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
  };
  struct List {
    bool child_allow_null = false;
    bool allow_empty = true;
    std::unique_ptr<Val> child;  // never null in a parsed plan
    std::optional<uint64_t> max_length;
    std::optional<uint64_t> min_length;
  };
  struct Nested {
    Object serializer;  // a CompiledSerializer, possibly shared with other plans
  };
  struct NestedMany {
    bool allow_empty = true;
    Object serializer;  // a CompiledSerializer, possibly shared with other plans
    std::optional<uint64_t> max_length;
    std::optional<uint64_t> min_length;
  };

  Kind tag = Kind::python;
  std::variant<std::monostate, Char, Int, Float, Bool, Decimal, DateTimeTz, Choice, List, Nested,
               NestedMany>
      payload;

  template <class Payload>
  const Payload& as() const {
    return *std::get_if<Payload>(&payload);
  }

  Val() = default;
  Val(Val&&) noexcept = default;
  Val& operator=(Val&& other) noexcept;
  // List children are released one after another, not recursively.
  ~Val();

  // Parses a "val" dict (the caller has checked that it is a dict). List
  // children are parsed recursively under the interpreter's recursion guard.
  // False with an error set.
  static bool parse(PyObject* dict, Val& out);
  // The kind text, with list[...] around the child's kind text.
  static std::string kind(const Val& val);
  // Visits every Python object the plan holds, children included.
  int visit(visitproc visit, void* arg) const;

 private:
  std::unique_ptr<Val> take_child() noexcept;
};

}  // namespace qc
