#include "rows.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "guards.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "once_slot.hpp"
#include "process_config.hpp"
#include "row_converters.hpp"

#include <atomic>
#include <memory>
#include <new>
#include <vector>

namespace qc {
namespace {

// ---------------------------------------------------------------------------
// Django's objects, given once by quorvel_core.rows and kept for the process.

struct RowsConfig {
  Object pre_init, post_init;  // django.db.models.signals
  Object no_receivers;         // django.dispatch.dispatcher.NO_RECEIVERS
  Object deferred;             // django.db.models.DEFERRED
  Object model_state;          // django.db.models.base.ModelState
  Object weak_key_dict;        // weakref.WeakKeyDictionary
  // ModelState.fields_cache is Django's descriptor, which makes the dict on
  // first read (`res = instance.fields_cache = {}`).
  bool plain_fields_cache;
};

ProcessConfig<RowsConfig> ROWS_CONFIG{"configure_rows() has not been called"};

constexpr Param CONFIGURE_PARAMS[] = {
    {"pre_init", true, true},      {"post_init", true, true},     {"no_receivers", true, true},
    {"deferred", true, true},      {"model_state", true, true},   {"weak_key_dict", true, true},
    {"plain_fields_cache", true, true}};
constexpr Signature CONFIGURE_SIG{"configure_rows()", CONFIGURE_PARAMS};

// ---------------------------------------------------------------------------
// The init signals.

enum class Receivers { none, some, failed };

// Whether `signal` has a live receiver for `sender` now, read as Signal.send
// reads it: no receivers at all, or NO_RECEIVERS cached for the sender. A
// sender that the cache does not hold yet counts as having some: Django's own
// from_db then runs, and its send fills the cache.
Receivers signal_receivers(const RowsConfig& config, PyObject* signal, PyObject* sender) {
  PyObject* receivers_name = names::receivers();
  if (!receivers_name) return Receivers::failed;
  Object receivers = Object::steal(PyObject_GetAttr(signal, receivers_name));
  if (!receivers) return Receivers::failed;
  if (PyList_CheckExact(receivers.get()) && PyList_GET_SIZE(receivers.get()) == 0)
    return Receivers::none;
  PyObject* cache_name = names::sender_receivers_cache();
  PyObject* data_name = names::data();
  if (!cache_name || !data_name) return Receivers::failed;
  Object cache = Object::steal(PyObject_GetAttr(signal, cache_name));
  if (!cache) return Receivers::failed;
  if (!Py_IS_TYPE(cache.get(), (PyTypeObject*)config.weak_key_dict.get())) return Receivers::some;
  Object data = Object::steal(PyObject_GetAttr(cache.get(), data_name));
  if (!data) return Receivers::failed;
  if (!PyDict_CheckExact(data.get())) return Receivers::some;
  Object key = Object::steal(PyWeakref_NewRef(sender, nullptr));
  if (!key) return Receivers::failed;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(data.get(), key.get(), &found) < 0) return Receivers::failed;
  Object held = Object::steal(found);
  return found == config.no_receivers.get() ? Receivers::none : Receivers::some;
}

Receivers init_receivers(const RowsConfig& config, PyObject* cls) {
  for (PyObject* signal : {config.pre_init.get(), config.post_init.get()}) {
    Receivers r = signal_receivers(config, signal, cls);
    if (r != Receivers::none) return r;
  }
  return Receivers::none;
}

// ---------------------------------------------------------------------------
// The plan (see quorvel_core.rows). Every pointer is borrowed from it: it is
// made of tuples only, and the loop keeps it alive.

// The same numbers as quorvel_core.rows.Assignment.
enum class Assignment : long { descriptor = 0, foreign_key = 1, plain = 2 };

struct ModelBuild {
  PyTypeObject* cls = nullptr;
  std::vector<PyObject*> attnames;
  std::vector<Py_ssize_t> positions;  // empty: values in attnames' order
  std::vector<Assignment> assignments;
};

struct Setter {
  PyObject* cache_name = nullptr;  // store into _state.fields_cache
  PyObject* call = nullptr;        // otherwise call(target, value); neither: Django's no-op
};

struct Populator {
  PyObject* populator = nullptr;  // Django's RelatedPopulator
  bool native = false;
  ModelBuild model;
  Py_ssize_t cols_start = 0, cols_end = 0;
  PyObject* reorder = nullptr;
  Py_ssize_t pk_idx = 0;
  std::vector<Populator> children;
  Setter local, remote;
  PyObject* peers = nullptr;
  PyObject* fetch_mode = nullptr;
};

struct Known {
  PyObject* field;
  PyObject* objects;
  PyObject* attnames;  // nullptr before 6.1
  PyObject* getter;
  PyObject* name;
};

struct RowLoop {
  Object plan;
  Object chunks;  // iterator over the chunks of rows
  Object rows;    // iterator over the current chunk
  Object django_row;
  PyObject* db = nullptr;
  ModelBuild model;
  Py_ssize_t start = 0, end = 0;
  PyObject* connection = nullptr;
  std::vector<ColumnConverters> converters;
  std::vector<Populator> populators;
  std::vector<std::pair<PyObject*, Py_ssize_t>> annotations;
  std::vector<Known> known;
  PyObject* fetch_mode = nullptr;
  PyObject* peers = nullptr;
  // The instance given out last, held until the next one as Django's
  // generator holds it in a local: a weak reference or __del__ sees it live
  // as long as there.
  Object last;

  int visit(visitproc visit, void* arg) {
    Py_VISIT(plan.get());
    Py_VISIT(last.get());
    Py_VISIT(chunks.get());
    Py_VISIT(rows.get());
    Py_VISIT(django_row.get());
    return 0;
  }
};

// The `index`th item of a tuple plan, which must hold `size` items.
PyObject* field_at(PyObject* tuple, Py_ssize_t index) { return PyTuple_GET_ITEM(tuple, index); }

bool check_tuple(PyObject* obj, Py_ssize_t size) {
  if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == size) return true;
  type_mismatch(obj, "tuple");
  return false;
}

bool read_index(PyObject* obj, Py_ssize_t& out) {
  out = PyLong_AsSsize_t(obj);
  if (out == -1 && PyErr_Occurred()) return false;
  if (out < 0) return internal_error("negative index in a row plan"), false;
  return true;
}

PyObject* or_null(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// ModelPlan(cls, attnames, positions, assignments)
bool parse_model(PyObject* plan, ModelBuild& out) {
  if (!check_tuple(plan, 4)) return false;
  PyObject* cls = field_at(plan, 0);
  PyObject* attnames = field_at(plan, 1);
  PyObject* positions = field_at(plan, 2);
  PyObject* assignments = field_at(plan, 3);
  if (!PyTuple_Check(assignments) || PyTuple_GET_SIZE(assignments) != PyTuple_GET_SIZE(attnames))
    return type_mismatch(assignments, "tuple"), false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(assignments); ++i) {
    long kind = PyLong_AsLong(PyTuple_GET_ITEM(assignments, i));
    if (kind == -1 && PyErr_Occurred()) return false;
    if (kind < 0 || kind > (long)Assignment::plain) return internal_error("unknown assignment"), false;
    out.assignments.push_back((Assignment)kind);
  }
  if (!PyType_Check(cls)) return type_mismatch(cls, "type"), false;
  if (((PyTypeObject*)cls)->tp_new != PyBaseObject_Type.tp_new)
    return internal_error("a row plan's class has its own tp_new"), false;
  if (!PyTuple_Check(attnames)) return type_mismatch(attnames, "tuple"), false;
  out.cls = (PyTypeObject*)cls;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attnames); ++i) {
    PyObject* name = PyTuple_GET_ITEM(attnames, i);
    if (!PyUnicode_CheckExact(name)) return type_mismatch(name, "str"), false;
    out.attnames.push_back(name);
  }
  if (positions == Py_None) return true;
  if (!PyTuple_Check(positions) || PyTuple_GET_SIZE(positions) != PyTuple_GET_SIZE(attnames))
    return type_mismatch(positions, "tuple"), false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(positions); ++i) {
    Py_ssize_t at = PyLong_AsSsize_t(PyTuple_GET_ITEM(positions, i));
    if (at == -1 && PyErr_Occurred()) return false;
    out.positions.push_back(at);
  }
  return true;
}

// SetterPlan(cache_name, call)
bool parse_setter(PyObject* plan, Setter& out) {
  if (!check_tuple(plan, 2)) return false;
  out.cache_name = or_null(field_at(plan, 0));
  out.call = or_null(field_at(plan, 1));
  return true;
}

// PopulatorPlan(populator, model, cols_start, cols_end, reorder, pk_idx,
//               children, local_setter, remote_setter, peers, fetch_mode)
bool parse_populator(PyObject* plan, Populator& out) {
  RecursionGuard guard(" in a select_related plan");
  if (!guard.entered() || !check_tuple(plan, 11)) return false;
  out.populator = field_at(plan, 0);
  PyObject* model = field_at(plan, 1);
  if (model == Py_None) return true;
  out.native = true;
  PyObject* children = field_at(plan, 6);
  if (!parse_model(model, out.model) || !read_index(field_at(plan, 2), out.cols_start) ||
      !read_index(field_at(plan, 3), out.cols_end) || !read_index(field_at(plan, 5), out.pk_idx) ||
      !parse_setter(field_at(plan, 7), out.local) || !parse_setter(field_at(plan, 8), out.remote))
    return false;
  out.reorder = or_null(field_at(plan, 4));
  out.peers = or_null(field_at(plan, 9));
  out.fetch_mode = or_null(field_at(plan, 10));
  if (out.peers && !PyList_Check(out.peers)) return type_mismatch(out.peers, "list"), false;
  if (!PyTuple_Check(children)) return type_mismatch(children, "tuple"), false;
  out.children.resize((size_t)PyTuple_GET_SIZE(children));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(children); ++i)
    if (!parse_populator(PyTuple_GET_ITEM(children, i), out.children[(size_t)i])) return false;
  return true;
}

bool parse_populators(PyObject* plans, std::vector<Populator>& out) {
  if (!PyTuple_Check(plans)) return type_mismatch(plans, "tuple"), false;
  out.resize((size_t)PyTuple_GET_SIZE(plans));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plans); ++i)
    if (!parse_populator(PyTuple_GET_ITEM(plans, i), out[(size_t)i])) return false;
  return true;
}

bool parse_annotations(PyObject* plans, RowLoop& loop) {
  if (!PyTuple_Check(plans)) return type_mismatch(plans, "tuple"), false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plans); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(plans, i);
    Py_ssize_t column;
    if (!check_tuple(pair, 2) || !read_index(field_at(pair, 1), column)) return false;
    loop.annotations.emplace_back(field_at(pair, 0), column);
  }
  return true;
}

// (field, objects, attnames or None, getter, name) each
bool parse_known(PyObject* plans, RowLoop& loop) {
  if (!PyTuple_Check(plans)) return type_mismatch(plans, "tuple"), false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plans); ++i) {
    PyObject* k = PyTuple_GET_ITEM(plans, i);
    if (!check_tuple(k, 5)) return false;
    loop.known.push_back(
        Known{field_at(k, 0), field_at(k, 1), or_null(field_at(k, 2)), field_at(k, 3), field_at(k, 4)});
  }
  return true;
}

// RowsPlan(db, model, start, end, connection, converters, populators,
//          annotations, known_related, fetch_mode, peers)
bool parse_plan(RowLoop& loop) {
  PyObject* plan = loop.plan.get();
  if (!check_tuple(plan, 11)) return false;
  loop.db = field_at(plan, 0);
  loop.connection = field_at(plan, 4);
  loop.fetch_mode = or_null(field_at(plan, 9));
  loop.peers = or_null(field_at(plan, 10));
  if (loop.peers && !PyList_Check(loop.peers)) return type_mismatch(loop.peers, "list"), false;
  return parse_model(field_at(plan, 1), loop.model) && read_index(field_at(plan, 2), loop.start) &&
         read_index(field_at(plan, 3), loop.end) &&
         parse_converters(field_at(plan, 5), loop.converters) &&
         parse_populators(field_at(plan, 6), loop.populators) &&
         parse_annotations(field_at(plan, 7), loop) && parse_known(field_at(plan, 8), loop);
}

// ---------------------------------------------------------------------------
// Building one instance as Model.from_db and Model.__init__ do.

// The item `index` of a row (a tuple, or the list of a converted row).
Object row_item(PyObject* row, Py_ssize_t index) {
  if (PyTuple_CheckExact(row)) {
    if (index >= PyTuple_GET_SIZE(row)) return PyErr_SetString(PyExc_IndexError, "row index out of range"), Object();
    return Object::borrow(PyTuple_GET_ITEM(row, index));
  }
  if (PyList_CheckExact(row)) return Object::steal(PyList_GetItemRef(row, index));
  return Object::steal(PySequence_GetItem(row, index));
}

// An instance being built: its state, and whether only native code has
// touched the instance since it was made (no descriptor's __set__, setter or
// Django populator ran), in which case the loop knows that `state` is still
// its `_state` and whether that holds a fields cache yet.
struct Building {
  Object state;
  bool untouched = true;
  bool has_fields_cache = false;
};

// `state.fields_cache`, made as Django's descriptor makes it on first read
// (`res = instance.fields_cache = {}`). The loop makes it itself only where it
// knows the state has none: looking it up natively would give the state a
// materialized __dict__ that Django's own path never makes. Empty with an
// error set.
Object fields_cache(const RowsConfig& config, Building& building) {
  PyObject* name = names::fields_cache();
  if (!name) return Object();
  if (!config.plain_fields_cache || !building.untouched || building.has_fields_cache)
    return Object::steal(PyObject_GetAttr(building.state.get(), name));
  Object made = Object::steal(PyDict_New());
  if (!made || PyObject_SetAttr(building.state.get(), name, made.get()) < 0) return Object();
  building.has_fields_cache = true;
  return made;
}

// ForeignKeyDeferredAttribute.__set__ on an instance still being built: its
// __dict__ has no value for the field yet, so `None != value` holds for any
// value but None and the int, str or UUID keys it compares (their __ne__
// with None is the identity test); then `field.is_cached(instance)` makes the
// state's fields_cache (empty, so it answers False) and the value goes into
// __dict__. Any other value goes through the descriptor itself.
bool set_foreign_key(const RowsConfig& config, PyObject* obj, Building& building, PyObject* name,
                     PyObject* value) {
  bool plain = value == Py_None || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
  if (!plain) {
    PyObject* uuid = uuid_type();
    if (!uuid) return false;
    if (!Py_IS_TYPE(value, (PyTypeObject*)uuid)) {
      building.untouched = false;
      return PyObject_GenericSetAttr(obj, name, value) == 0;
    }
  }
  if (value != Py_None && !fields_cache(config, building)) return false;
  Object dict = Object::steal(PyObject_GenericGetDict(obj, nullptr));
  return dict && PyDict_SetItem(dict.get(), name, value) == 0;
}

bool assign(const RowsConfig& config, const ModelBuild& model, size_t i, PyObject* obj,
            Building& building, PyObject* value) {
  switch (model.assignments[i]) {
    case Assignment::foreign_key:
      return set_foreign_key(config, obj, building, model.attnames[i], value);
    case Assignment::descriptor:
      building.untouched = false;
      return PyObject_GenericSetAttr(obj, model.attnames[i], value) == 0;
    case Assignment::plain:
      return PyObject_GenericSetAttr(obj, model.attnames[i], value) == 0;
  }
  return internal_error("unknown assignment"), false;
}

// from_db(db, init_list, values) with the values at `values[offset + i]`:
// object.__new__, `_state = ModelState()`, each loaded field through the
// generic setattr (a data descriptor's __set__ runs as in __init__), then
// the state's `adding`, `db` and (6.1) `fetch_mode`. `building` receives the
// instance's ModelState.
Object build_instance(const RowsConfig& config, const ModelBuild& model, PyObject* values,
                      Py_ssize_t offset, Py_ssize_t count, PyObject* db, PyObject* fetch_mode,
                      Building& building) {
  PyObject* empty = empty_tuple();
  PyObject* state_name = names::state();
  PyObject* adding_name = names::adding();
  PyObject* db_name = names::db();
  if (!empty || !state_name || !adding_name || !db_name) return Object();
  bool positional = model.positions.empty();
  if (positional && count != (Py_ssize_t)model.attnames.size())
    return internal_error("a row's values do not match its model plan"), Object();
  Object obj = Object::steal(model.cls->tp_new(model.cls, empty, nullptr));
  if (!obj) return Object();
  // ModelState(): its __new__ and __init__ are object's (the companion's
  // check), so the call is the allocation alone.
  auto* state_type = (PyTypeObject*)config.model_state.get();
  building.state = Object::steal(state_type->tp_new(state_type, empty, nullptr));
  PyObject* state = building.state.get();
  if (!state || PyObject_GenericSetAttr(obj.get(), state_name, state) < 0) return Object();
  for (size_t i = 0; i < model.attnames.size(); ++i) {
    Py_ssize_t at = positional ? (Py_ssize_t)i : model.positions[i];
    if (at < 0) continue;
    if (at >= count) return internal_error("a row plan reads past its values"), Object();
    Object value = row_item(values, offset + at);
    if (!value) return Object();
    if (value.get() == config.deferred.get()) continue;
    if (!assign(config, model, i, obj.get(), building, value.get())) return Object();
  }
  if (PyObject_SetAttr(state, adding_name, Py_False) < 0 || PyObject_SetAttr(state, db_name, db) < 0)
    return Object();
  if (fetch_mode) {
    PyObject* name = names::fetch_mode();
    if (!name || PyObject_SetAttr(state, name, fetch_mode) < 0) return Object();
  }
  return obj;
}

// 6.1's peer tracking: a weak reference in the shared list, the list on the state.
bool track_peer(PyObject* peers, PyObject* obj, PyObject* state) {
  if (!peers) return true;
  PyObject* name = names::peers();
  Object ref = Object::steal(name ? PyWeakref_NewRef(obj, nullptr) : nullptr);
  return ref && PyList_Append(peers, ref.get()) == 0 && PyObject_SetAttr(state, name, peers) == 0;
}

// `target._state.fields_cache[cache_name] = value`, or the setter called.
// `building` is the target's.
bool apply_setter(const RowsConfig& config, const Setter& setter, PyObject* target,
                  Building& building, PyObject* value) {
  if (!setter.cache_name && !setter.call) return true;
  if (!setter.cache_name) {
    building.untouched = false;
    PyObject* args[] = {target, value};
    Object done = Object::steal(PyObject_Vectorcall(setter.call, args, 2, nullptr));
    return (bool)done;
  }
  Object cache;
  if (building.untouched) {
    cache = fields_cache(config, building);
  } else {
    PyObject* state_name = names::state();
    PyObject* cache_name = names::fields_cache();
    if (!state_name || !cache_name) return false;
    Object state = Object::steal(PyObject_GetAttr(target, state_name));
    cache = Object::steal(state ? PyObject_GetAttr(state.get(), cache_name) : nullptr);
  }
  return cache && PyObject_SetItem(cache.get(), setter.cache_name, value) == 0;
}

bool populate(const RowsConfig& config, const Populator& p, PyObject* row, PyObject* from_obj,
              Building& from_building, PyObject* db);

bool populate_in_django(const Populator& p, PyObject* row, PyObject* from_obj,
                        Building& from_building) {
  from_building.untouched = false;
  PyObject* name = names::populate();
  if (!name) return false;
  PyObject* args[] = {p.populator, row, from_obj};
  Object done = Object::steal(
      PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return (bool)done;
}

// RelatedPopulator.populate(row, from_obj); `from_building` is from_obj's.
bool populate(const RowsConfig& config, const Populator& p, PyObject* row, PyObject* from_obj,
              Building& from_building, PyObject* db) {
  if (!p.native) return populate_in_django(p, row, from_obj, from_building);
  Receivers receivers = init_receivers(config, (PyObject*)p.model.cls);
  if (receivers == Receivers::failed) return false;
  if (receivers == Receivers::some) return populate_in_django(p, row, from_obj, from_building);
  Object values = Object::borrow(row);
  Py_ssize_t offset = p.cols_start, count = p.cols_end - p.cols_start;
  if (p.reorder) {
    values = Object::steal(PyObject_CallOneArg(p.reorder, row));
    if (!values) return false;
    offset = 0;
    count = PyObject_Length(values.get());
    if (count < 0) return false;
  }
  if (p.pk_idx >= count) return internal_error("a select_related plan's key is out of range"), false;
  Object pk = row_item(values.get(), offset + p.pk_idx);
  if (!pk) return false;
  Object obj = Object::borrow(Py_None);
  Building building;
  if (pk.get() != Py_None) {
    obj = build_instance(config, p.model, values.get(), offset, count, db, p.fetch_mode, building);
    if (!obj || !track_peer(p.peers, obj.get(), building.state.get())) return false;
    for (const Populator& child : p.children)
      if (!populate(config, child, row, obj.get(), building, db)) return false;
  }
  if (!apply_setter(config, p.local, from_obj, from_building, obj.get())) return false;
  return obj.get() == Py_None || apply_setter(config, p.remote, obj.get(), building, from_obj);
}

// The known related objects of a reverse manager's queryset.
bool set_known(const Known& k, PyObject* obj) {
  PyObject* is_cached_name = names::is_cached();
  if (!is_cached_name) return false;
  PyObject* args[] = {k.field, obj};
  Object cached = Object::steal(
      PyObject_VectorcallMethod(is_cached_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  int truth = cached ? PyObject_IsTrue(cached.get()) : -1;
  if (truth != 0) return truth > 0;
  if (k.attnames) {
    // 6.1 leaves deferred attributes unread rather than fetch them.
    PyObject* dict_name = names::dunder_dict();
    Object dict = Object::steal(dict_name ? PyObject_GetAttr(obj, dict_name) : nullptr);
    Object names = Object::steal(dict ? PyObject_GetIter(k.attnames) : nullptr);
    if (!names) return false;
    while (PyObject* raw = PyIter_Next(names.get())) {
      Object name = Object::steal(raw);
      int present = PySequence_Contains(dict.get(), name.get());
      if (present <= 0) return present == 0;
    }
    if (PyErr_Occurred()) return false;
  }
  Object id = Object::steal(PyObject_CallOneArg(k.getter, obj));
  if (!id) return false;
  Object related = Object::steal(PyObject_GetItem(k.objects, id.get()));
  if (!related) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();  // May happen in qs1 | qs2 scenarios.
    return true;
  }
  return PyObject_SetAttr(obj, k.name, related.get()) == 0;
}

// One row of ModelIterable's loop; `raw` is the row as the cursor gave it.
Object build_row(const RowsConfig& config, RowLoop& loop, PyObject* raw) {
  Object row = Object::borrow(raw);
  if (!loop.converters.empty()) {
    row = Object::steal(PySequence_List(raw));
    if (!row || !convert_row(loop.converters, row.get(), loop.connection)) return Object();
  }
  Receivers receivers = init_receivers(config, (PyObject*)loop.model.cls);
  if (receivers == Receivers::failed) return Object();
  if (receivers == Receivers::some)
    return Object::steal(PyObject_CallOneArg(loop.django_row.get(), row.get()));
  Building building;
  Object obj = build_instance(config, loop.model, row.get(), loop.start, loop.end - loop.start,
                              loop.db, loop.fetch_mode, building);
  if (!obj || !track_peer(loop.peers, obj.get(), building.state.get())) return Object();
  for (const Populator& p : loop.populators)
    if (!populate(config, p, row.get(), obj.get(), building, loop.db)) return Object();
  for (auto& [name, column] : loop.annotations) {
    Object value = row_item(row.get(), column);
    if (!value || PyObject_SetAttr(obj.get(), name, value.get()) < 0) return Object();
  }
  for (const Known& k : loop.known)
    if (!set_known(k, obj.get())) return Object();
  return obj;
}

// ---------------------------------------------------------------------------
// The iterator type.

struct ModelRowsObject {
  PyObject_HEAD
  RowLoop* loop;
  // Set while a next() runs. The loop's iterators are replaced as it goes
  // and Python code runs in between, so a second next() at the same time (from
  // another thread, or from a receiver or converter on this one) would
  // release an iterator under the first; it is refused with the error of
  // Django's ModelIterable, a generator resumed while it runs.
  std::atomic<bool> running;
};

constexpr Param NEW_PARAMS[] = {
    {"plan", true, false}, {"results", true, false}, {"django_row", true, false}};
constexpr Signature NEW_SIG{"ModelRows()", NEW_PARAMS};

PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  if (!bind_tuple_args(NEW_SIG, args, kwargs, a)) return nullptr;
  auto loop = std::make_unique<RowLoop>();
  loop->plan = Object::borrow(a[0]);
  loop->django_row = Object::borrow(a[2]);
  if (!parse_plan(*loop)) return nullptr;
  if (loop->end < loop->start) return internal_error("a row plan ends before it starts");
  loop->chunks = Object::steal(PyObject_GetIter(a[1]));
  if (!loop->chunks) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* rows = (ModelRowsObject*)self;
  new (&rows->running) std::atomic<bool>(false);
  rows->loop = loop.release();
  return self;
}

// Holds an iterator's `running` flag for a scope; `entered()` is false, with
// ValueError set, when another next() holds it.
class Running {
 public:
  explicit Running(std::atomic<bool>& flag) noexcept
      : flag_(flag), entered_(!flag.exchange(true, std::memory_order_acquire)) {
    if (!entered_) PyErr_SetString(PyExc_ValueError, "generator already executing");
  }
  ~Running() {
    if (entered_) flag_.store(false, std::memory_order_release);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  std::atomic<bool>& flag_;
  bool entered_;
};

// The next instance, or nullptr at the end (no error set) or with an error set.
Object next_instance(const RowsConfig& config, RowLoop& loop) {
  for (;;) {
    if (!loop.rows) {
      Object chunk = Object::steal(PyIter_Next(loop.chunks.get()));
      if (!chunk) {
        if (!PyErr_Occurred()) loop.chunks.reset();  // exhausted for good
        return Object();
      }
      loop.rows = Object::steal(PyObject_GetIter(chunk.get()));
      if (!loop.rows) return Object();
    }
    Object raw = Object::steal(PyIter_Next(loop.rows.get()));
    if (raw) return build_row(config, loop, raw.get());
    if (PyErr_Occurred()) return Object();
    loop.rows.reset();
  }
}

PyObject* next_row(RowLoop* loop) {
  if (!loop || !loop->chunks) return nullptr;
  const RowsConfig* config = ROWS_CONFIG.get();
  if (!config) return nullptr;
  Object instance = next_instance(*config, *loop);
  // At the end, or on an error, Django's generator is finished and lets go.
  loop->last = instance;
  return instance.release();
}

PyObject* rows_next(PyObject* self) {
  auto* rows = (ModelRowsObject*)self;
  Running running(rows->running);
  return running.entered() ? next_row(rows->loop) : nullptr;
}

int rows_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  RowLoop* loop = ((ModelRowsObject*)self)->loop;
  return loop ? loop->visit(visit, arg) : 0;
}

int rows_clear(PyObject* self) {
  delete std::exchange(((ModelRowsObject*)self)->loop, nullptr);
  return 0;
}

void rows_dealloc(PyObject* self) {
  Object type = Object::steal((PyObject*)Py_TYPE(self));
  PyObject_GC_UnTrack(self);
  rows_clear(self);
  ((PyTypeObject*)type.get())->tp_free(self);
}

PyType_Slot SLOTS[] = {
    {Py_tp_doc, (void*)"ModelRows(plan, results, django_row)\n--\n\n"
                       "The instances of a queryset's rows, as Django's ModelIterable yields them.\n"
                       "`plan` is quorvel_core.rows.RowsPlan, `results` the chunks of rows that\n"
                       "`compiler.execute_sql()` returned, and `django_row(row)` Django's own loop\n"
                       "body, called for a row whose model has an init signal receiver."},
    {Py_tp_new, (void*)guarded<rows_new>},
    {Py_tp_dealloc, (void*)guarded<rows_dealloc>},
    {Py_tp_traverse, (void*)guarded<rows_traverse>},
    {Py_tp_clear, (void*)guarded<rows_clear>},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)guarded<rows_next>},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "quorvel_core._quorvel_core.ModelRows",
    sizeof(ModelRowsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    SLOTS,
};

OnceSlot TYPE;

}  // namespace

PyObject* configure_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[7];
  if (!bind_args(CONFIGURE_SIG, args, nargs, kwnames, a) ||
      !arguments_are_types(a, CONFIGURE_PARAMS, {4, 5}))
    return nullptr;
  ROWS_CONFIG.set(std::make_unique<const RowsConfig>(RowsConfig{
      Object::borrow(a[0]), Object::borrow(a[1]), Object::borrow(a[2]), Object::borrow(a[3]),
      Object::borrow(a[4]), Object::borrow(a[5]), a[6] == Py_True}));
  Py_RETURN_NONE;
}

PyObject* model_rows_type() {
  return TYPE.get([] { return PyType_FromSpec(&SPEC); });
}

}  // namespace qc
