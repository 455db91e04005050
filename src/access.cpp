#include "access.hpp"

#include "boundary.hpp"
#include "config.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "schema_read.hpp"

#include <utility>

namespace qc {

namespace {

// Indexed by Relation::Kind; the parser matches schema text against the same
// table that describe() reports from.
constexpr std::string_view RELATION_KIND_NAMES[] = {"forward", "reverse_one", "many"};

constexpr const char* UNKNOWN_RELATION_KIND = "unknown relation kind '%U'";

// The keys of a relation step, in the order in which errors are reported.
bool parse_relation_step(PyObject* dict, Step& step) {
  Object kind_obj;
  std::string_view kind_text;
  if (!req_text(dict, keys::kind, kind_obj, kind_text)) return false;
  Relation& r = step.relation;
  r.cache_name = req_interned(dict, keys::cache_name);
  if (!r.cache_name) return false;
  int kind = name_index(RELATION_KIND_NAMES, kind_text);
  switch ((Relation::Kind)kind) {
    case Relation::Kind::forward:
      if (!opt_bool(dict, keys::null, false, r.null)) return false;
      break;
    case Relation::Kind::reverse_one:
      break;
    case Relation::Kind::many: {
      Object required = req_item(dict, keys::required);
      if (!required || !str_list(required.get(), r.required)) return false;
      break;
    }
    default:
      PyErr_Format(PyExc_ValueError, UNKNOWN_RELATION_KIND, kind_obj.get());
      return false;
  }
  r.kind = (Relation::Kind)kind;
  step.kind = Step::Kind::relation;
  step.name = req_interned(dict, keys::name);
  if (!step.name) return false;
  Object model = req_item(dict, keys::model);
  if (!model) return false;
  if (!PyType_Check(model.get())) return type_mismatch(model.get(), "type"), false;
  step.model = std::move(model);
  return true;
}

bool parse_step(PyObject* item, Step& step) {
  if (PyDict_Check(item)) return parse_relation_step(item, step);
  if (!PyUnicode_Check(item)) return type_mismatch(item, "str"), false;
  step.name = interned_copy(item);
  return (bool)step.name;
}

}  // namespace

const char* Relation::kind_name(Kind kind) noexcept {
  return RELATION_KIND_NAMES[(size_t)kind].data();
}

int Step::visit(visitproc visit, void* arg) const {
  Py_VISIT(name.get());
  Py_VISIT(relation.cache_name.get());
  for (const Object& attr : relation.required) Py_VISIT(attr.get());
  Py_VISIT(model.get());
  return 0;
}

bool parse_steps(PyObject* list, std::vector<Step>& out) {
  out.clear();
  if (!PyList_Check(list)) return type_mismatch(list, "list"), false;
  std::vector<Step> steps;
  bool ok = for_each_list_item(list, [&](PyObject* item) {
    Step step;
    if (!parse_step(item, step)) return false;
    steps.push_back(std::move(step));
    return true;
  });
  if (ok) out = std::move(steps);
  return ok;
}

bool GetShape::parse_payload(PyObject* dict, Get& out) {
  switch (out.tag) {
    case Kind::attrs:
    case Kind::many:
      return out.read_payload<Chain>([&](Chain& chain) {
        Object attrs = req_item(dict, keys::attrs);
        return attrs && parse_steps(attrs.get(), chain.steps);
      });
    case Kind::pk_attname:
      return out.read_payload<PkAttname>([&](PkAttname& pk) {
        pk.attname = req_interned(dict, keys::attname);
        return pk.attname && opt_bool(dict, keys::from_dict, false, pk.from_dict);
      });
    default:
      return true;  // star, python: no payload
  }
}

namespace {

// The access a get_attribute answer makes: its value, or skip for the
// configured skip exception, or an error for any other.
Access from_get_attribute(const Config& config, Object value) {
  if (value) return {Access::Status::value, std::move(value)};
  if (!PyErr_ExceptionMatches(config.skip_field.get())) return {Access::Status::error, Object()};
  PyErr_Clear();
  return {Access::Status::skip, Object()};
}

}  // namespace

Access python_get(const Config& config, const Live& field, PyObject* instance) {
  PyObject* name = names::get_attribute();
  PyObject* f = name ? field.get() : nullptr;
  if (!f) return {Access::Status::error, Object()};
  return from_get_attribute(config, Object::steal(PyObject_CallMethodOneArg(f, name, instance)));
}

// ---------------------------------------------------------------------------
// The native chain. The helpers that read Django's caches leave no error set:
// a failed read is a route to the next way of answering. Only a lookup of the
// source itself, or its callable, raises: that is what DRF's walk raises.

namespace {

// getattr(obj, name) with any error cleared; empty on failure, and when the
// name (from the module's table) could not be made. Every error, not only
// AttributeError: a failed lookup sends the field to DRF, which repeats it and
// reports whatever it raises in its own words.
Object quiet_attr(PyObject* obj, PyObject* name) {
  if (!name) {
    PyErr_Clear();
    return Object();
  }
  Object value = Object::steal(PyObject_GetAttr(obj, name));
  if (!value) PyErr_Clear();
  return value;
}

// A plain lookup in a dict (or subclass, whose hooks are bypassed) with any
// error cleared; empty when absent.
Object quiet_item(PyObject* dict, PyObject* key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
  return Object::steal(value);
}

// The truth value of `obj.<name>`; false when the lookup or the test fails.
bool quiet_truth(PyObject* obj, PyObject* name) {
  Object value = quiet_attr(obj, name);
  if (!value) return false;
  int truth = PyObject_IsTrue(value.get());
  if (truth < 0) PyErr_Clear();
  return truth > 0;
}

// How a generic lookup ended.
enum class Found : uint8_t {
  value,      // `cur` holds the looked-up value
  no_object,  // the related object does not exist: the field's value is None
  undecided,  // let the DRF field decide
  raised,     // the lookup or the callable raised; the exception is set
};

enum class Reading : uint8_t {
  by_item,       // a mapping
  by_attribute,  // anything else
  undecided,     // the mapping test itself failed (error cleared)
};

// How DRF's get_attribute reads a key of `cur`.
Reading reading_of(PyObject* cur) {
  PyTypeObject* type = Py_TYPE(cur);
  if (PyDict_Check(cur)) return Reading::by_item;
  if (non_mapping_types::contains(type)) return Reading::by_attribute;
  PyObject* mapping = mapping_type();
  int is_mapping = mapping ? PyObject_IsInstance(cur, mapping) : -1;
  if (is_mapping < 0) {
    PyErr_Clear();
    return Reading::undecided;
  }
  if (!is_mapping) non_mapping_types::add(type);
  return is_mapping ? Reading::by_item : Reading::by_attribute;
}

// Looks `key` up on `cur` as DRF's get_attribute does, then resolves callables
// through the configured hook. Replaces `cur` with the value on success.
Found generic_lookup(PyObject* object_does_not_exist, PyObject* resolve_callable, Object& cur,
                     PyObject* key) {
  Object value;
  if (PyDict_CheckExact(cur.get())) {
    value = quiet_item(cur.get(), key);
    if (!value) return Found::undecided;
  } else {
    Reading reading = reading_of(cur.get());
    if (reading == Reading::undecided) return Found::undecided;
    value = Object::steal(reading == Reading::by_item ? PyObject_GetItem(cur.get(), key)
                                                      : PyObject_GetAttr(cur.get(), key));
    if (!value) {
      if (!PyErr_ExceptionMatches(object_does_not_exist)) return Found::raised;
      PyErr_Clear();
      return Found::no_object;
    }
  }
  if (PyCallable_Check(value.get())) {
    value = Object::steal(
        PyObject_CallFunctionObjArgs(resolve_callable, value.get(), key, nullptr));
    if (!value) return Found::raised;
  }
  cur = std::move(value);
  return Found::value;
}

// A forward or reverse one-to-one relation already loaded into the instance's
// fields cache. A cached None counts only for nullable forward relations (for
// a reverse relation it means "does not exist", which the accessor reports).
Object cached_one(PyObject* cur, const Relation& r) {
  Object cache = fields_cache(cur);
  if (!cache) return Object();
  Object value = quiet_item(cache.get(), r.cache_name.get());
  if (value.get() == Py_None && !(r.kind == Relation::Kind::forward && r.null)) return Object();
  return value;
}

// The result list of a prefetched many-relation, when Django has filled it
// completely (including any lookups prefetched through it).
Object cached_relation(PyObject* cur, const Relation& r) {
  for (const Object& name : r.required) {
    Object value = quiet_attr(cur, name.get());
    if (!value || value.get() == Py_None) return Object();
  }
  Object cache = quiet_attr(cur, names::prefetched_objects_cache());
  if (!cache || !PyDict_Check(cache.get())) return Object();
  Object queryset = quiet_item(cache.get(), r.cache_name.get());
  if (!queryset) return Object();
  Object result = quiet_attr(queryset.get(), names::result_cache());
  if (!result || !PyList_CheckExact(result.get())) return Object();
  if (quiet_truth(queryset.get(), names::prefetch_related_lookups()) &&
      !quiet_truth(queryset.get(), names::prefetch_done()))
    return Object();
  return result;
}

// The related object(s) of a relation step from Django's caches; empty when
// the caches cannot answer.
Object cached_step(PyObject* cur, const Step& step) {
  if (Py_TYPE(cur) != (PyTypeObject*)step.model.get()) return Object();
  switch (step.relation.kind) {
    case Relation::Kind::forward:
    case Relation::Kind::reverse_one:
      return cached_one(cur, step.relation);
    case Relation::Kind::many:
      return cached_relation(cur, step.relation);
  }
  return Object();
}

}  // namespace

Object fields_cache(PyObject* instance) {
  Object state = quiet_attr(instance, names::state());
  if (!state) return Object();
  Object cache = quiet_attr(state.get(), names::fields_cache());
  if (!cache || !PyDict_Check(cache.get())) return Object();
  return cache;
}

Result native_chain(PyObject* object_does_not_exist, PyObject* resolve_callable,
                    PyObject* instance, const std::vector<Step>& steps, Object& out) {
  Object cur = Object::borrow(instance);
  for (const Step& step : steps) {
    if (step.kind == Step::Kind::relation) {
      if (Object cached = cached_step(cur.get(), step)) {
        cur = std::move(cached);  // cache contents are never resolved as callables
        continue;
      }
    }
    switch (generic_lookup(object_does_not_exist, resolve_callable, cur, step.name.get())) {
      case Found::value:
        break;
      case Found::no_object:
        out = Object::borrow(Py_None);
        return Result::done;
      case Found::undecided:
        return Result::declined;
      case Found::raised:
        return Result::raised;
    }
  }
  out = std::move(cur);
  return Result::done;
}

namespace {

// The primary-key column read straight from the instance (its __dict__ first
// when the plan says the value lives there); empty when it cannot be read.
Object read_attname(PyObject* instance, const Get::PkAttname& pk) {
  if (pk.from_dict) {
    Object dict = quiet_attr(instance, names::dunder_dict());
    if (dict && PyDict_Check(dict.get())) {
      if (Object value = quiet_item(dict.get(), pk.attname.get())) return value;
    }
  }
  return quiet_attr(instance, pk.attname.get());
}

Access native_value(Object value) { return {Access::Status::value, std::move(value), true}; }

// What the source chain of a field running DRF's Field.get_attribute raised
// (the exception is set) becomes, through the companion's hook: the chain is
// not walked again, so a property or method on it runs once, as in DRF.
Access source_failed(const Config& config, const Live& field, PyObject* instance) {
  Object raised = Object::steal(PyErr_GetRaisedException());
  PyObject* f = field.get();
  if (!f) return {Access::Status::error, Object()};
  PyObject* args[] = {f, instance, raised.get()};
  return from_get_attribute(
      config, Object::steal(PyObject_Vectorcall(config.source_failed.get(), args, 3, nullptr)));
}

}  // namespace

Access get_value(const Get& get, const Config& config, const Live& field, PyObject* instance) {
  switch (get.tag) {
    case Get::Kind::attrs:
    case Get::Kind::many: {
      Object value;
      Result walked = native_chain(config.object_does_not_exist.get(), config.resolve_callable.get(),
                                   instance, get.as<Get::Chain>().steps, value);
      if (walked == Result::raised) {
        // A many-relation's get_attribute reads no exception of its walk: DRF
        // walks again and decides, as it does without a hook.
        if (get.tag == Get::Kind::attrs && config.source_failed)
          return source_failed(config, field, instance);
        PyErr_Clear();
        break;
      }
      // A many-relation is only taken natively as a prefetched result list.
      if (walked == Result::done &&
          (get.tag == Get::Kind::attrs || PyList_CheckExact(value.get())))
        return native_value(std::move(value));
      break;
    }
    case Get::Kind::star:
      return native_value(Object::borrow(instance));
    case Get::Kind::pk_attname:
      if (Object value = read_attname(instance, get.as<Get::PkAttname>())) {
        return native_value(std::move(value));
      }
      break;
    case Get::Kind::python:
      break;
  }
  return python_get(config, field, instance);
}

}  // namespace qc
