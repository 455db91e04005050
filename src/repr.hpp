// Representation plans: how a read field's value becomes its primitive form.
#pragma once

#include "live.hpp"
#include "plan.hpp"
#include "tools.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <variant>

namespace qc {

struct Config;

// What a representation call carries down to every field and nested
// serializer: the configuration and the caller's current time zone.
struct ReprContext {
  const Config& config;
  PyObject* current_tz;  // borrowed; nullptr when the caller passed none
};

// The time-zone rule of datetime representations and validators.
struct DateTimeTz {
  enum class Form : uint8_t {
    zone,     // convert to `zone`, given in the schema
    current,  // convert to the current time zone passed by the caller
    none,     // no conversion
  };

  Form form = Form::none;
  Object zone;  // zone form only

  // Reads "timezone" and, only when that is absent or None, "use_tz" from a
  // datetime "repr" or "val" dict. False with an error set.
  static bool parse(PyObject* dict, DateTimeTz& out);
};

struct ReprShape;
// A read field's representation plan.
using Repr = Plan<ReprShape>;

// The kinds and payloads of representation plans. The payload alternative is
// fixed by the tag:
//   decimal -> Decimal, datetime -> DateTimeTz, choice -> Choice,
//   list and dict -> Container, nested and nested_many -> Nested,
//   method -> Method, model_attr -> ModelAttr, every other kind -> monostate.
struct ReprShape {
  enum class Kind : uint8_t {
    passthrough, str, int_, float_, bool_, decimal, date, datetime, time, uuid,
    choice, list, dict, nested, nested_many, pk, pk_many, method, model_attr, python,
  };
  // nested_many is named by "nested" with "many" set.
  static constexpr std::string_view KIND_NAMES[] = {
      "passthrough", "str",  "int",    "float", "bool",        "decimal", "date",
      "datetime",    "time", "uuid",   "choice", "list",       "dict",    "nested",
      "nested_many", "pk",   "pk_many", "method", "model_attr", "python",
  };
  static constexpr bool named_by_type(Kind kind) noexcept { return kind != Kind::nested_many; }
  static constexpr const char* UNKNOWN_TYPE = "unknown repr type '%U'";
  static constexpr const char* RECURSION_WHERE = " while compiling a representation plan";

  struct Decimal {
    std::optional<uint64_t> decimal_places;
    std::optional<uint64_t> max_digits;
    bool coerce_to_string = true;
  };
  struct Choice {
    Object map;  // a dict (or subclass): text key -> representation
  };
  struct Container {
    std::unique_ptr<Repr> child;  // never null in a parsed plan
    Object child_field;           // the DRF child field, for fallbacks; empty: the
                                  // current field's own `child`
  };
  struct Nested {
    Object serializer;  // a CompiledSerializer, possibly shared with other plans
  };
  struct Method {
    Object method;  // called with the value; empty: `name` is looked up
    Object name;    // interned; the method of the current serializer
  };
  struct ModelAttr {
    Object attname;  // interned
  };
  using Payload =
      std::variant<std::monostate, Decimal, DateTimeTz, Choice, Container, Nested, Method, ModelAttr>;

  static std::unique_ptr<Repr>* child_slot(Payload& payload) noexcept {
    auto* container = std::get_if<Container>(&payload);
    return container ? &container->child : nullptr;
  }
  static bool parse_payload(PyObject* dict, Repr& out);
  static int visit_payload(const Repr& repr, visitproc visit, void* arg);

  // The representation of `value` (borrowed, never None): natively for the
  // exact types a kind knows, otherwise `field.to_representation(value)`,
  // where `field` is found only then if the plan holds no field object.
  // A new reference, or empty with an error set.
  static Object to_repr(const Repr& repr, const ReprContext& context, const Live& field,
                        PyObject* value);
};

// The DRF field's own answer, `field.to_representation(value)`: what every
// kind falls back to. A new reference, or empty with an error set.
Object field_to_representation(PyObject* field, PyObject* value);

}  // namespace qc
