// Representation plans: how a read field's value becomes its primitive form.
#pragma once

#include "live.hpp"
#include "object.hpp"
#include "plan.hpp"

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

  int visit(visitproc visit, void* arg) const {
    Py_VISIT(zone.get());
    return 0;
  }

  // Reads "timezone" and, only when that is absent or None, "use_tz" from a
  // datetime "repr" or "val" dict (src/kinds/temporal). False with an error set.
  static bool parse(PyObject* dict, DateTimeTz& out);

  // The zone values are converted to (borrowed): the schema's own, the
  // caller's current zone (may be nullptr when the caller passed none), or
  // nullptr for no conversion.
  PyObject* target(PyObject* current_tz) const noexcept {
    switch (form) {
      case Form::zone:
        return zone.get();
      case Form::current:
        return current_tz;
      case Form::none:
        break;
    }
    return nullptr;
  }
};

struct ReprShape;
// A read field's representation plan.
using Repr = Plan<ReprShape>;

// The kinds and payloads of representation plans. The payload alternative is
// fixed by the tag:
//   decimal -> Decimal, datetime -> DateTimeTz, choice -> Choice,
//   list and dict -> Container, nested and nested_many -> Nested,
//   method -> Method, model_attr -> ModelAttr, every other kind -> monostate.
// Each kind's reader and representation are in its unit of src/kinds/.
struct ReprShape {
  enum class Kind : uint8_t {
    passthrough, str, int_, float_, bool_, decimal, date, datetime, time, uuid,
    choice, list, dict, nested, nested_many, pk, pk_many, method, model_attr, python,
  };
  static constexpr std::string_view KIND_NAMES[] = {
      "passthrough", "str",  "int",    "float", "bool",        "decimal", "date",
      "datetime",    "time", "uuid",   "choice", "list",       "dict",    "nested",
      "nested_many", "pk",   "pk_many", "method", "model_attr", "python",
  };
  static constexpr const char* UNKNOWN_TYPE = "unknown repr type '%U'";
  static constexpr const char* RECURSION_WHERE = " while compiling a representation plan";

  struct Decimal {
    std::optional<uint64_t> decimal_places;
    std::optional<uint64_t> max_digits;
    bool coerce_to_string = true;
  };
  struct Choice {
    Object map;  // a dict (or subclass): text key -> representation
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(map.get());
      return 0;
    }
  };
  struct Container {
    std::unique_ptr<Repr> child;  // never null in a parsed plan
    Object child_field;           // the DRF child field, for field_repr; empty: the
                                  // current field's own `child`
    int visit(visitproc visit, void* arg) const {  // the child is the plan's to visit
      Py_VISIT(child_field.get());
      return 0;
    }
  };
  struct Nested {
    Object serializer;  // a CompiledSerializer, possibly shared with other plans
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(serializer.get());
      return 0;
    }
  };
  struct Method {
    Object method;  // called with the value; empty: `name` is looked up
    Object name;    // interned; the method of the current serializer
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(method.get());
      Py_VISIT(name.get());
      return 0;
    }
  };
  struct ModelAttr {
    Object attname;  // interned
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(attname.get());
      return 0;
    }
  };
  using Payload =
      std::variant<std::monostate, Decimal, DateTimeTz, Choice, Container, Nested, Method, ModelAttr>;

  static std::unique_ptr<Repr>* child_slot(Payload& payload) noexcept {
    auto* container = std::get_if<Container>(&payload);
    return container ? &container->child : nullptr;
  }
  static bool parse_payload(PyObject* dict, Repr& out);

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

// ---------------------------------------------------------------------------
// What the representations of every kind (here and in src/kinds/) share.

// The DRF field's own to_representation(value); its object is found now if
// the plan holds none.
inline Object field_repr(const Live& field, PyObject* value) {
  PyObject* f = field.get();
  return f ? field_to_representation(f, value) : Object();
}

// obj.<name>() with a name from the module's table.
inline Object call_method(PyObject* obj, PyObject* name) {
  return Object::steal(name ? PyObject_CallMethodNoArgs(obj, name) : nullptr);
}

}  // namespace qc
