// Value access: how a read field obtains its value from a model instance.
//
// A read field's "get" sub-schema compiles into a `Get` plan. The native forms
// (attribute chains, relation caches, a primary-key column) answer the common
// cases without DRF; whatever they cannot decide goes to `python_get`, which
// asks the DRF field's own `get_attribute`.
#pragma once

#include "boundary.hpp"
#include "live.hpp"
#include "object.hpp"
#include "plan.hpp"

#include <memory>
#include <string_view>
#include <variant>
#include <vector>

namespace qc {

struct Config;

// Where a relation step finds its related object(s) in Django's caches.
struct Relation {
  enum class Kind : uint8_t { forward, reverse_one, many };

  Kind kind = Kind::forward;
  Object cache_name;             // interned; the key in the instance's cache
  bool null = false;             // forward: a cached None is a valid answer
  std::vector<Object> required;  // many: interned attributes that must not be None

  // "forward", "reverse_one", "many".
  static const char* kind_name(Kind kind) noexcept;
};

// One step of an attribute chain.
struct Step {
  enum class Kind : uint8_t { attribute, relation };

  Kind kind = Kind::attribute;
  Object name;        // interned; the attribute, or the relation's accessor
  Relation relation;  // relation steps only
  Object model;       // relation steps only: the class whose instances carry the caches

  int visit(visitproc visit, void* arg) const;
};

// Parses one attribute chain (a list of str and relation dicts) into `out`.
// False with an error set; `out` then holds nothing.
bool parse_steps(PyObject* list, std::vector<Step>& out);

struct GetShape;
// A read field's value-access plan.
using Get = Plan<GetShape>;

// The forms of value-access plans. The payload alternative is fixed by the
// form: `Chain` for attrs and many, `PkAttname` for pk_attname, nothing
// for star and python. A "get" entry that is absent or None is the
// default-constructed python form.
struct GetShape {
  enum class Kind : uint8_t { attrs, many, star, pk_attname, python };
  static constexpr std::string_view KIND_NAMES[] = {"attrs", "many", "star", "pk_attname",
                                                    "python"};
  static constexpr const char* UNKNOWN_TYPE = "unknown get type '%U'";
  static constexpr const char* RECURSION_WHERE = " while compiling a value-access plan";

  struct Chain {
    std::vector<Step> steps;
    int visit(visitproc visit, void* arg) const {
      for (const Step& step : steps)
        if (int r = step.visit(visit, arg)) return r;
      return 0;
    }
  };
  struct PkAttname {
    Object attname;  // interned
    bool from_dict = false;  // look in the instance's __dict__ first
    int visit(visitproc visit, void* arg) const {
      Py_VISIT(attname.get());
      return 0;
    }
  };
  using Payload = std::variant<std::monostate, Chain, PkAttname>;

  static std::unique_ptr<Get>* child_slot(Payload&) noexcept { return nullptr; }
  static bool parse_payload(PyObject* dict, Get& out);
};

// The outcome of obtaining a field's value.
struct Access {
  enum class Status : uint8_t {
    value,  // `value` holds a new reference (possibly None)
    skip,   // leave the field out of the output
    error,  // an exception is set
  };
  Status status;
  Object value;
  // True when a native form produced the value; false when the DRF field's
  // get_attribute did (it may hand back placeholders, such as a primary-key-
  // only object, that only the field itself knows how to represent).
  bool native = false;
};

// `field.get_attribute(instance)`; the configured skip exception (subclasses
// and tuple members included) becomes skip, any other exception an error.
Access python_get(const Config& config, const Live& field, PyObject* instance);

// Obtains a read field's value by the form of its plan: the native forms
// first, `python_get` for whatever they cannot decide.
Access get_value(const Get& get, const Config& config, const Live& field, PyObject* instance);

// Walks an attribute chain over `instance` the way DRF's get_attribute does,
// reading Django's relation caches where the plan allows. `done`: `out` holds
// the value (an empty chain yields the instance itself); `declined`: the walk
// cannot decide, no error set; `raised`: a lookup or a callable on the chain
// raised what DRF's own walk would have raised, and the exception is set.
Result native_chain(PyObject* object_does_not_exist, PyObject* resolve_callable,
                    PyObject* instance, const std::vector<Step>& steps, Object& out);

// `instance._state.fields_cache` when it is a dict (or subclass); otherwise
// empty, with no error set.
Object fields_cache(PyObject* instance);

}  // namespace qc
