// Representation plans: how a read field's value becomes its primitive form.
#pragma once

#include "live.hpp"
#include "tools.hpp"

#include <memory>
#include <string>
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

// A read field's representation plan. The payload alternative is fixed by
// the tag:
//   decimal -> Decimal, datetime -> DateTimeTz, choice -> Choice,
//   list and dict -> Container, nested and nested_many -> Nested,
//   method -> Method, model_attr -> ModelAttr, every other kind -> monostate.
struct Repr {
  // Declaration order is the order of the kind-name table.
  enum class Kind : uint8_t {
    passthrough, str, int_, float_, bool_, decimal, date, datetime, time, uuid,
    choice, list, dict, nested, nested_many, pk, pk_many, method, model_attr, python,
  };

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

  Kind tag = Kind::python;
  std::variant<std::monostate, Decimal, DateTimeTz, Choice, Container, Nested, Method, ModelAttr>
      payload;

  template <class Payload>
  const Payload& as() const {
    return *std::get_if<Payload>(&payload);
  }

  Repr() = default;
  Repr(Repr&&) noexcept = default;
  Repr& operator=(Repr&& other) noexcept;
  // Children are released one after another rather than recursively, so a
  // plan of any depth is dropped without deep native recursion.
  ~Repr();

  // Parses a "repr" dict (the caller has checked that it is a dict). Nested
  // list/dict children are parsed recursively under the interpreter's
  // recursion guard. False with an error set.
  static bool parse(PyObject* dict, Repr& out);
  // The representation of `value` (borrowed, never None): natively for the
  // exact types a kind knows, otherwise `field.to_representation(value)`,
  // where `field` is found only then if the plan holds no field object.
  // A new reference, or empty with an error set.
  static Object to_repr(const Repr& repr, const ReprContext& context, const Live& field,
                        PyObject* value);
  // The kind name, with list[...] and dict[...] around the child's kind.
  static std::string kind(const Repr& repr);
  // Visits every Python object the plan holds, children included.
  int visit(visitproc visit, void* arg) const;

 private:
  std::unique_ptr<Repr> take_child() noexcept;
};

// The DRF field's own answer, `field.to_representation(value)`: what every
// kind falls back to. A new reference, or empty with an error set.
Object field_to_representation(PyObject* field, PyObject* value);

}  // namespace qc
