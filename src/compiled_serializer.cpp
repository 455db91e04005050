#include "compiled_serializer.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "config.hpp"
#include "guards.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "nested_failures.hpp"
#include "object.hpp"
#include "once_slot.hpp"
#include "schema_read.hpp"
#include "text.hpp"

#include <memory>
#include <new>

namespace qc {

namespace {

const Plans EMPTY_PLANS;

// Moves each field out in turn so that they are released front to back.
template <class Field>
void release_in_order(std::vector<Field>& fields) {
  for (Field& f : fields) Field released = std::move(f);
  fields.clear();
}

}  // namespace

Plans::~Plans() {
  release_in_order(read_fields);
  release_in_order(write_fields);
}

int Plans::visit(visitproc visit, void* arg) const {
  for (const ReadField& f : read_fields) {
    Py_VISIT(f.name.get());
    Py_VISIT(f.field.get());
    if (int r = f.get.visit(visit, arg)) return r;
    if (int r = f.repr.visit(visit, arg)) return r;
  }
  for (const WriteField& f : write_fields) {
    Py_VISIT(f.name.get());
    Py_VISIT(f.field.get());
    for (const Object& attr : f.source_attrs) Py_VISIT(attr.get());
    Py_VISIT(f.validate_method.get());
    Py_VISIT(f.validate_name.get());
    Py_VISIT(f.validators_stand_in.get());
    if (int r = f.val.visit(visit, arg)) return r;
  }
  return 0;
}

const Plans& plans_of(PyObject* self) noexcept {
  const Plans* plans = ((CompiledSerializerObject*)self)->plans;
  return plans ? *plans : EMPTY_PLANS;
}

bool check_serializer(PyObject* obj) {
  PyObject* type = compiled_serializer_type();
  if (!type) return false;
  if (PyObject_TypeCheck(obj, (PyTypeObject*)type)) return true;
  type_mismatch(obj, "CompiledSerializer");
  return false;
}

bool read_nested_schema(PyObject* dict, Object& serializer, bool& many) {
  serializer = req_item(dict, keys::serializer);
  return serializer && check_serializer(serializer.get()) &&
         opt_bool(dict, keys::many, false, many);
}

// ---------------------------------------------------------------------------
// Validation loop.

namespace {

// A plan's field: the object it holds, or the live serializer's field of
// that name.
template <class Field>
Live plan_field(const Field& f, const Live& live) {
  return f.field ? Live::given(f.field.get()) : Live::field(live, f.name.get());
}

// One write field's result, as the hooks report it.
struct Outcome {
  // The hooks report the first three; `abandon` is the native loops' own.
  enum Kind : uint8_t {
    ok = uint8_t(HookStatus::ok),
    skip = uint8_t(HookStatus::skip),
    error = uint8_t(HookStatus::error),
    abandon = 3,
  } kind = skip;
  Object value;  // ok and error only
};

constexpr const char* OUTCOME_LENGTH = "expected tuple of length 2, but got tuple of length %zd";
constexpr const char* STATUS_RANGE = "out of range integral type conversion attempted";

// A status as an unsigned 8-bit integer, through __index__.
bool read_status(PyObject* obj, uint8_t& out) {
  Object index = Object::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow || v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, STATUS_RANGE);
    return false;
  }
  out = (uint8_t)v;
  return true;
}

// Reads a hook's (status, value) tuple. `result` is the hook's result, empty
// when it raised.
bool read_outcome(Object result, Outcome& out) {
  PyObject* r = result.get();
  if (!r) return false;
  if (!PyTuple_Check(r)) return type_mismatch(r, "tuple"), false;
  if (PyTuple_GET_SIZE(r) != 2) {
    PyErr_Format(PyExc_ValueError, OUTCOME_LENGTH, PyTuple_GET_SIZE(r));
    return false;
  }
  uint8_t status;
  if (!read_status(PyTuple_GET_ITEM(r, 0), status)) return false;
  out.kind = status == Outcome::ok || status == Outcome::error ? (Outcome::Kind)status
                                                               : Outcome::skip;
  if (out.kind != Outcome::skip) out.value = Object::borrow(PyTuple_GET_ITEM(r, 1));
  return true;
}

// What one turn of the field loop works with: the DRF field and the
// serializer's validate_<name> method (empty when there is none).
struct Turn {
  const WriteField& plan;
  Live field;
  Object validate_method;
  bool outermost;  // the payload's own loop (see validate_dict)

  PyObject* method_or_none() const {
    return validate_method ? validate_method.get() : Py_None;
  }
};

// DRF looks the method up on the serializer for every field. A serializer that
// is not built yet (a nested one whose parent has not built its fields) can
// only have its class's attributes, so then the class decides without
// building it. False with an error set.
bool find_validate_method(const WriteField& f, const Live& live, Object& out) {
  if (!f.validate_name) {
    out = f.validate_method;
    return true;
  }
  if (!live.found() && !f.validate_on_class) return true;
  PyObject* serializer = live.get();
  if (!serializer) return false;
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(serializer, f.validate_name.get(), &method) < 0) return false;
  out = Object::steal(method);
  return true;
}

// DRF's complete handling of the field, in Python.
bool run_field(const Config& config, const Turn& t, PyObject* data, Outcome& out) {
  PyObject* field = t.field.get();
  if (!field) return false;
  PyObject* args[] = {field, data, t.method_or_none()};
  return read_outcome(Object::steal(PyObject_Vectorcall(config.run_field.get(), args, 3, nullptr)),
                      out);
}

// What finish_field hands the hook as the field. The hook only runs the
// field's validators with it, so a field that is not built yet is not built
// for a validate_<name> method alone, nor for validators that the plan's
// stand-in runs as the field would (it is made for the serializer of the
// call). Empty with an error set.
Object field_for_validators(const Turn& t, bool run_validators) {
  if (t.field.found()) return Object::borrow(t.field.get());
  if (!run_validators) return Object::borrow(Py_None);
  if (t.plan.validators_stand_in && t.field.parent()) {
    PyObject* serializer = t.field.parent()->get();
    if (!serializer) return Object();
    return Object::steal(PyObject_CallOneArg(t.plan.validators_stand_in.get(), serializer));
  }
  return Object::borrow(t.field.get());
}

// Completes a natively validated value: the field's validators when they
// apply, then the serializer's validate_<name>. Neither: no Python call.
bool finish_field(const Config& config, const Turn& t, Object value, bool run_validators,
                  Outcome& out) {
  if (!run_validators && !t.validate_method) {
    out = Outcome{Outcome::ok, std::move(value)};
    return true;
  }
  Object field = field_for_validators(t, run_validators);
  if (!field) return false;
  PyObject* args[] = {field.get(), value.get(), t.method_or_none(),
                      run_validators ? Py_True : Py_False};
  return read_outcome(
      Object::steal(PyObject_Vectorcall(config.finish_field.get(), args, 4, nullptr)), out);
}

// DRF's CharField returns blank input before its validators run; every other
// accepted value goes through them. `value` was accepted by the field's
// validator, so a char value's UTF-8 form is already cached.
bool validators_apply(const Val& val, PyObject* value) {
  if (val.tag != Val::Kind::char_ || !PyUnicode_CheckExact(value)) return true;
  if (PyUnicode_GET_LENGTH(value) == 0) return false;
  if (!val.as<Val::Char>().trim_whitespace) return true;
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) {
    PyErr_Clear();
    return true;
  }
  return !text::py_strip(std::string_view(text, (size_t)size)).empty();
}

// `getattr(field.root, 'partial', False)` as DRF tests it: every field of a
// call shares the root of the serializer the call runs for. False when the
// caller passed no serializer (the field then decides). False with an error
// set on failure.
bool is_partial(const Live& field, bool& partial) {
  partial = false;
  const Live& origin = field.origin();
  if (!origin.found()) return true;
  PyObject* serializer = origin.get();
  PyObject* root_name = serializer ? names::root() : nullptr;
  Object root = Object::steal(root_name ? PyObject_GetAttr(serializer, root_name) : nullptr);
  PyObject* partial_name = root ? names::partial() : nullptr;
  if (!partial_name) return false;
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttr(root.get(), partial_name, &raw) < 0) return false;
  Object held = Object::steal(raw);
  int truth = held ? PyObject_IsTrue(held.get()) : 0;
  partial = truth > 0;
  return truth >= 0;
}

// Whether DRF skips the field when its key is absent, known without asking
// the field (false: the field decides). False with an error set on failure.
bool skipped_when_absent(const Turn& t, bool& skipped) {
  skipped = t.plan.skip_when_missing;
  if (skipped || !t.plan.skip_when_partial) return true;
  return is_partial(t.field, skipped);
}

bool validate_field(const Config& config, const Turn& t, PyObject* data, PyObject* current_tz,
                    Outcome& out) {
  const WriteField& f = t.plan;
  PyObject* raw;
  int found = PyDict_GetItemRef(data, f.name.get(), &raw);
  if (found < 0) return false;
  Object value = Object::steal(raw);
  if (!found) {
    bool skipped;
    if (!skipped_when_absent(t, skipped)) return false;
    if (skipped) {
      out = Outcome{};
      return true;
    }
  }
  if (!found || f.val.tag == Val::Kind::python) return run_field(config, t, data, out);
  if (value.get() == Py_None) {
    // A whole-object source (empty source_attrs) is not null for DRF.
    if (f.allow_null && !f.source_attrs.empty())
      return finish_field(config, t, std::move(value), false, out);
    return run_field(config, t, data, out);
  }
  Object internal;
  switch (Val::validate(f.val, value.get(), current_tz, t.field, internal)) {
    case Val::Verdict::raised:
      return false;
    case Val::Verdict::abandoned:
      if (!t.outermost) {
        out = Outcome{Outcome::abandon, Object()};
        return true;
      }
      return run_field(config, t, data, out);
    case Val::Verdict::declined:
      return run_field(config, t, data, out);
    case Val::Verdict::accepted:
      break;
  }
  bool run_validators = f.python_validators && validators_apply(f.val, value.get());
  return finish_field(config, t, std::move(internal), run_validators, out);
}

// DRF's Serializer.set_value: intermediate levels are plain dicts, made where
// a name is not yet in its container.
bool set_value(PyObject* validated, const std::vector<Object>& source_attrs, PyObject* value) {
  if (source_attrs.empty()) {
    PyObject* update = names::update();
    return update && Object::steal(PyObject_CallMethodOneArg(validated, update, value));
  }
  Object container = Object::borrow(validated);
  for (size_t i = 0; i + 1 < source_attrs.size(); ++i) {
    PyObject* key = source_attrs[i].get();
    int present = PySequence_Contains(container.get(), key);
    if (present < 0) return false;
    Object next;
    if (present) {
      next = Object::steal(PyObject_GetItem(container.get(), key));
    } else {
      next = Object::steal(PyDict_New());
      if (next && PyObject_SetItem(container.get(), key, next.get()) < 0) return false;
    }
    if (!next) return false;
    container = std::move(next);
  }
  return PyObject_SetItem(container.get(), source_attrs.back().get(), value) == 0;
}

bool apply_outcome(const Config& config, const WriteField& f, const Outcome& o,
                   PyObject* validated, Object& errors) {
  switch (o.kind) {
    case Outcome::ok:
      return set_value(validated, f.source_attrs, o.value.get());
    case Outcome::error:
      if (!errors) errors = Object::steal(config.new_mapping());
      return errors && PyObject_SetItem(errors.get(), f.name.get(), o.value.get()) == 0;
    case Outcome::skip:
    case Outcome::abandon:  // handled by the loop before
      break;
  }
  return true;
}

Validation run_write_fields(const Config& config, const Plans& plans, PyObject* data,
                            PyObject* current_tz, const Live& live, bool outermost,
                            Object& validated, Object& errors) {
  Object out = Object::steal(config.new_mapping());
  if (!out) return Validation::raised;
  Object errs;
  for (const WriteField& f : plans.write_fields) {
    Turn turn{f, plan_field(f, live), Object(), outermost};
    Outcome o;
    if (!find_validate_method(f, live, turn.validate_method) ||
        !validate_field(config, turn, data, current_tz, o))
      return Validation::raised;
    if (o.kind == Outcome::abandon) return Validation::abandoned;
    if (!apply_outcome(config, f, o, out.get(), errs)) return Validation::raised;
  }
  validated = std::move(out);
  errors = std::move(errs);
  return Validation::done;
}

}  // namespace

// The representation loop.

namespace {

// DRF writes None for a primary-key-only placeholder whose pk is None (a
// related object that is not saved yet): `none` says whether to. False with
// an error set on failure.
bool is_none_attribute(const Config& config, PyObject* value, bool& none) {
  none = false;
  int placeholder = PyObject_IsInstance(value, config.pk_only_object.get());
  if (placeholder <= 0) return placeholder == 0;
  PyObject* name = names::pk();
  Object pk = Object::steal(name ? PyObject_GetAttr(value, name) : nullptr);
  if (!pk) return false;
  none = pk.get() == Py_None;
  return true;
}

// One field's entry: None, the field's own representation of a value its
// get_attribute produced, or the value through the field's plan.
Object represent(const ReadField& f, const ReprContext& context, const Live& field,
                 const Access& access) {
  PyObject* value = access.value.get();
  if (value == Py_None) return access.value;
  if (!access.native) {
    // Values from get_attribute get DRF's own checks: placeholders, and
    // related objects that a primary-key column plan cannot pass through.
    bool none;
    if (!is_none_attribute(context.config, value, none)) return Object();
    if (none) return Object::borrow(Py_None);
    if (f.repr.tag == Repr::Kind::pk) {
      PyObject* own = field.get();
      return own ? field_to_representation(own, value) : Object();
    }
  }
  return Repr::to_repr(f.repr, context, field, value);
}

}  // namespace

Validation validate_dict(PyObject* serializer, PyObject* data, PyObject* current_tz,
                         const Live& live, bool outermost, Object& validated, Object& errors) {
  const Config* config = get_config();
  if (!config) return Validation::raised;
  RecursionGuard guard(" while validating nested data");
  if (!guard.entered()) return Validation::raised;
  return run_write_fields(*config, plans_of(serializer), data, current_tz, live, outermost,
                          validated, errors);
}

Object repr_one(PyObject* serializer, const ReprContext& context, PyObject* instance,
                const Live& live) {
  Object keep = Object::borrow(serializer);  // its plans stay alive while Python code runs
  const Config& config = context.config;
  Object out = Object::steal(config.new_mapping());
  if (!out) return Object();
  for (const ReadField& f : plans_of(serializer).read_fields) {
    Live field = plan_field(f, live);
    Access access = get_value(f.get, config, field, instance);
    if (access.status == Access::Status::skip) continue;
    if (access.status == Access::Status::error) return Object();
    Object rep = represent(f, context, field, access);
    if (!rep) return Object();
    int stored = config.plain_dict ? PyDict_SetItem(out.get(), f.name.get(), rep.get())
                                   : PyObject_SetItem(out.get(), f.name.get(), rep.get());
    if (stored < 0) return Object();
  }
  return out;
}

Object repr_many(PyObject* serializer, const ReprContext& context, PyObject* iterable,
                 const Live& live) {
  return map_to_list(iterable,
                     [&](PyObject* item) { return repr_one(serializer, context, item, live); });
}

namespace {

// ---------------------------------------------------------------------------
// Construction.

// A field's "name": a new interned exact str with the entry's text.
Object field_name(PyObject* entry) { return req_interned(entry, keys::name); }

// The keys every entry starts with: it must be a dict with a "name", and
// may have a "field" (any object, None included). Without one, the field is
// the one of that name of the serializer each call runs for. False with an
// error set.
bool parse_entry_head(PyObject* entry, Object& name, Object& field) {
  if (!PyDict_Check(entry)) return type_mismatch(entry, "dict"), false;
  name = field_name(entry);
  if (!name) return false;
  return any_item(entry, keys::field, field);
}

bool parse_read_field(PyObject* entry, ReadField& out) {
  if (!parse_entry_head(entry, out.name, out.field)) return false;
  Object get;
  if (!opt_item(entry, keys::get, get)) return false;
  if (get) {  // absent or None keeps the python form
    if (!PyDict_Check(get.get())) return type_mismatch(get.get(), "dict"), false;
    if (!Get::parse(get.get(), out.get)) return false;
  }
  Object repr = req_dict(entry, keys::repr);
  return repr && Repr::parse(repr.get(), out.repr);
}

bool parse_write_field(PyObject* entry, WriteField& out) {
  if (!parse_entry_head(entry, out.name, out.field)) return false;
  Object source_attrs = req_item(entry, keys::source_attrs);
  if (!source_attrs || !str_list(source_attrs.get(), out.source_attrs)) return false;
  if (!opt_item(entry, keys::validate_method, out.validate_method)) return false;
  Object validate_name;
  if (!opt_item(entry, keys::validate_name, validate_name)) return false;
  if (validate_name) {
    out.validate_name = req_interned(entry, keys::validate_name);
    if (!out.validate_name) return false;
  }
  if (!opt_bool(entry, keys::validate_on_class, true, out.validate_on_class)) return false;
  if (!opt_bool(entry, keys::allow_null, false, out.allow_null)) return false;
  if (!opt_bool(entry, keys::python_validators, false, out.python_validators)) return false;
  if (!opt_bool(entry, keys::skip_when_missing, false, out.skip_when_missing)) return false;
  if (!opt_item(entry, keys::validators_stand_in, out.validators_stand_in)) return false;
  if (!opt_bool(entry, keys::skip_when_partial, false, out.skip_when_partial)) return false;
  Object val = req_dict(entry, keys::val);
  return val && Val::parse(val.get(), out.val);
}

bool compile(PyObject* read_fields, PyObject* write_fields, Plans& plans) {
  return for_each_list_item(read_fields,
                            [&](PyObject* entry) {
                              ReadField f;
                              if (!parse_read_field(entry, f)) return false;
                              plans.read_fields.push_back(std::move(f));
                              return true;
                            }) &&
         for_each_list_item(write_fields, [&](PyObject* entry) {
           WriteField f;
           if (!parse_write_field(entry, f)) return false;
           plans.write_fields.push_back(std::move(f));
           return true;
         });
}

constexpr Param NEW_PARAMS[] = {{"read_fields", true, false}, {"write_fields", true, false}};
constexpr Signature NEW_SIG{"CompiledSerializer.__new__()", NEW_PARAMS};

PyObject* serializer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_tuple_args(NEW_SIG, args, kwargs, a)) return nullptr;
  for (int i = 0; i < 2; ++i) {
    if (!PyList_Check(a[i])) {
      type_mismatch(a[i], "list");
      prefix_argument_error(NEW_PARAMS[i].name);
      return nullptr;
    }
  }
  auto plans = std::make_unique<Plans>();
  if (!compile(a[0], a[1], *plans)) return nullptr;  // everything built so far is dropped
  PyObject* self = type->tp_alloc(type, 0);
  if (self) ((CompiledSerializerObject*)self)->plans = plans.release();
  return self;
}

int serializer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* s = (CompiledSerializerObject*)self;
  return s->plans ? s->plans->visit(visit, arg) : 0;
}

int serializer_clear(PyObject* self) {
  auto* s = (CompiledSerializerObject*)self;
  delete std::exchange(s->plans, nullptr);
  return 0;
}

void serializer_release(PyObject* self) {
  // Instances of a heap type hold a reference to it, dropped after the memory.
  Object type = Object::steal((PyObject*)Py_TYPE(self));
  serializer_clear(self);
  ((PyTypeObject*)type.get())->tp_free(self);
}

// A serializer nested in a serializer nested ... is released one level per
// call; the trashcan defers the levels past a depth so that a long chain
// cannot overflow the C stack. 3.14 and later do that for every collectable
// object and define the macros empty.
void serializer_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, guarded<serializer_dealloc>)
  serializer_release(self);
  Py_TRASHCAN_END
}

// The three loop entry points share their signature shape.
constexpr Param REPR_PARAMS[] = {
    {"instance", true, false}, {"current_tz", false, false}, {"serializer", false, false}};
constexpr Param REPR_MANY_PARAMS[] = {
    {"iterable", true, false}, {"current_tz", false, false}, {"serializer", false, false}};
constexpr Param VALIDATE_PARAMS[] = {
    {"data", true, false}, {"current_tz", false, false}, {"serializer", false, false}};
constexpr Signature REPR_SIG{"CompiledSerializer.to_representation()", REPR_PARAMS};
constexpr Signature REPR_MANY_SIG{"CompiledSerializer.to_representation_many()",
                                  REPR_MANY_PARAMS};
constexpr Signature VALIDATE_SIG{"CompiledSerializer.to_internal_value()", VALIDATE_PARAMS};

// ---------------------------------------------------------------------------
// Representation entry points.

using ReprLoop = Object (*)(PyObject*, const ReprContext&, PyObject*, const Live&);

// None or absent: the caller passed no such argument.
PyObject* given_or_null(PyObject* arg) { return arg == Py_None ? nullptr : arg; }

// Binds (target, current_tz, serializer), checks self and the configuration,
// then runs `loop` with a context that carries `current_tz`, on behalf of
// `serializer`.
PyObject* run_repr(ReprLoop loop, const Signature& sig, PyObject* self, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args(sig, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  if (!check_serializer(self)) return nullptr;
  const Config* config = get_config();
  if (!config) return nullptr;
  return loop(self, ReprContext{*config, given_or_null(a[1])}, a[0],
              Live::given(given_or_null(a[2])))
      .release();
}

PyObject* to_representation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return run_repr(repr_one, REPR_SIG, self, args, nargs, kwnames);
}

PyObject* to_representation_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return run_repr(repr_many, REPR_MANY_SIG, self, args, nargs, kwnames);
}

PyObject* to_internal_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args(VALIDATE_SIG, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  PyObject* data = a[0];
  if (!PyDict_Check(data)) {
    type_mismatch(data, "dict");
    prefix_argument_error(VALIDATE_PARAMS[0].name);
    return nullptr;
  }
  // A dict that already failed natively in the payload this call is part of
  // is DRF's to validate (see nested_failures.hpp).
  if (nested_failures::contains(data)) Py_RETURN_NONE;
  nested_failures::Scope scope;
  Object validated, errors;
  switch (validate_dict(self, data, given_or_null(a[1]), Live::given(given_or_null(a[2])), true,
                        validated, errors)) {
    case Validation::raised:
      return nullptr;
    case Validation::abandoned:
      return internal_error("the outermost field loop abandoned its payload");
    case Validation::done:
      break;
  }
  return PyTuple_Pack(2, validated.get(), errors ? errors.get() : Py_None);
}

// ---------------------------------------------------------------------------
// Introspection.

// describe()'s result objects. Failing to create one is the interpreter's
// MemoryError, which goes to the caller as it is.
Object kind_text(std::string_view text) {
  return Object::steal(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
}

Object new_pair(Object first, Object second) {
  Object pair = Object::steal(PyTuple_New(2));
  if (!pair) return pair;
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

Object new_dict() { return Object::steal(PyDict_New()); }

// {name: (get form, repr kind)} in read-field order.
Object describe_read(const Plans& plans) {
  Object out = new_dict();
  if (!out) return out;
  for (const ReadField& f : plans.read_fields) {
    Object form = kind_text(Get::name(f.get.tag));
    if (!form) return Object();
    Object kind = kind_text(Repr::kind(f.repr));
    if (!kind) return Object();
    Object pair = new_pair(std::move(form), std::move(kind));
    if (!pair || PyDict_SetItem(out.get(), f.name.get(), pair.get()) < 0) return Object();
  }
  return out;
}

// {name: (val kind, python_validators)} in write-field order.
Object describe_write(const Plans& plans) {
  Object out = new_dict();
  if (!out) return out;
  for (const WriteField& f : plans.write_fields) {
    Object kind = kind_text(Val::kind(f.val));
    if (!kind) return Object();
    Object pair = new_pair(std::move(kind), Object::borrow(f.python_validators ? Py_True : Py_False));
    if (!pair || PyDict_SetItem(out.get(), f.name.get(), pair.get()) < 0) return Object();
  }
  return out;
}

PyObject* describe(PyObject* self, PyObject*) {
  const Plans& plans = plans_of(self);
  Object read = describe_read(plans);
  if (!read) return nullptr;
  Object write = describe_write(plans);
  if (!write) return nullptr;
  Object out = new_dict();
  if (!out || PyDict_SetItemString(out.get(), "read", read.get()) < 0 ||
      PyDict_SetItemString(out.get(), "write", write.get()) < 0)
    return nullptr;
  return out.release();
}

// A serializer that nests itself is compiled as a cycle: the plans of the
// serializers nested in it are compiled first and refer to an empty instance
// made for it beforehand, which then takes its plans. Allowed only while that
// instance has no plans of its own, so plans never change once they hold any;
// the companion does it while compiling, before the instance can reach
// another thread, so no loop reads the plans this replaces.
PyObject* take_plans(PyObject* self, PyObject* other) {
  if (!check_serializer(self) || !check_serializer(other)) return nullptr;
  auto* target = (CompiledSerializerObject*)self;
  auto* source = (CompiledSerializerObject*)other;
  if (self == other || !target->plans || !source->plans ||
      !target->plans->read_fields.empty() || !target->plans->write_fields.empty()) {
    PyErr_SetString(PyExc_ValueError, "_take_plans() needs an instance made with no fields");
    return nullptr;
  }
  delete std::exchange(target->plans, std::exchange(source->plans, nullptr));
  Py_RETURN_NONE;
}

PyObject* serializer_repr(PyObject* self) {
  const Plans& plans = plans_of(self);
  return PyUnicode_FromFormat("CompiledSerializer(read_fields=%zu, write_fields=%zu)",
                              plans.read_fields.size(), plans.write_fields.size());
}

PyMethodDef METHODS[] = {
    {"to_representation", guarded_method<to_representation>(),
     METH_FASTCALL | METH_KEYWORDS,
     "to_representation($self, instance, current_tz=None, serializer=None)\n--\n\n"
     "`Serializer.to_representation(instance)`."},
    {"to_representation_many", guarded_method<to_representation_many>(),
     METH_FASTCALL | METH_KEYWORDS,
     "to_representation_many($self, iterable, current_tz=None, serializer=None)\n--\n\n"
     "`[Serializer.to_representation(item) for item in iterable]`."},
    {"to_internal_value", guarded_method<to_internal_value>(),
     METH_FASTCALL | METH_KEYWORDS,
     "to_internal_value($self, data, current_tz=None, serializer=None)\n--\n\n"
     "The field loop of `Serializer.to_internal_value(data)` for a plain `dict`.\n"
     "Returns `(validated, errors)`; `errors` is `None` when everything validated.\n"
     "Returns `None` for a dict whose native validation already failed within the\n"
     "validation this call is part of: DRF's own code then validates it."},
    {"describe", guarded_method<describe>(), METH_NOARGS,
     "describe($self)\n--\n\n"
     "Which strategy each field got: `{'read': {name: (get, repr)}, "
     "'write': {name: (val, python_validators)}}`."},
    {"_take_plans", guarded_method<take_plans>(), METH_O,
     "_take_plans($self, other, /)\n--\n\n"
     "For a serializer that nests itself: moves the plans of `other` into this instance,\n"
     "made with no fields, which the plans of `other` already refer to. `other` is left\n"
     "with none."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, (void*)"CompiledSerializer(read_fields, write_fields)\n--\n\n"
                       "A DRF serializer instance compiled to native code.\n\n"
                       "It holds the live field objects of one serializer instance (fields "
                       "know their `parent`,\n`context` and `root`), so it must be built per "
                       "serializer instance, not per class.\nA schema without field objects "
                       "is the exception: the plans then serve every instance of\nthe class, "
                       "and each call passes the instance it runs for as `serializer`."},
    {Py_tp_new, (void*)guarded<serializer_new>},
    {Py_tp_dealloc, (void*)guarded<serializer_dealloc>},
    {Py_tp_repr, (void*)guarded<serializer_repr>},
    {Py_tp_traverse, (void*)guarded<serializer_traverse>},
    {Py_tp_clear, (void*)guarded<serializer_clear>},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "quorvel_core._quorvel_core.CompiledSerializer",
    sizeof(CompiledSerializerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    SLOTS,
};

OnceSlot TYPE;

}  // namespace

PyObject* compiled_serializer_type() {
  return TYPE.get([] { return PyType_FromSpec(&SPEC); });
}

}  // namespace qc
