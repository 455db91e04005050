#include "queryset_chain.hpp"

#include "arguments.hpp"
#include "attributes.hpp"
#include "boundary.hpp"
#include "guards.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "process_config.hpp"

#include <memory>
#include <utility>
#include <vector>

// The statements of Django's QuerySet.filter() with the filter deferred,
// _chain(), _clone(), __init__(), Query.chain(), clone() and WhereNode.clone(),
// for a plain queryset, in their order: the same reads, calls and stores, so
// that the clone's attributes come out in Django's order. A prefetch makes one
// per instance; written out in Python this was an eighth of the instructions
// of a page of 100 products with their tags.

namespace qc {
namespace {

struct ChainConfig {
  Object queryset, query, where_node, node;  // Django's classes
  bool fetch_modes;                          // 6.1's _fetch_mode and _cloning_enabled
};

ProcessConfig<ChainConfig> CHAIN_CONFIG{"configure_queryset_chain() has not been called"};

// `bool(obj.name)` into `truth`; false with an error set.
bool attr_truth(PyObject* obj, PyObject* name, bool& truth) {
  Object value = attr(obj, name);
  int t = value ? PyObject_IsTrue(value.get()) : -1;
  truth = t > 0;
  return t >= 0;
}

// `name in obj.__dict__` into `found`; false with an error set.
bool in_own_dict(PyObject* obj, PyObject* name, bool& found) {
  Object own = attr(obj, names::dunder_dict());
  int has = own && name ? PyDict_Contains(own.get(), name) : -1;
  found = has > 0;
  return has >= 0;
}

// `value.copy()`; an exact dict's method is PyDict_Copy.
Object copy_of(PyObject* value) {
  if (PyDict_CheckExact(value)) return Object::steal(PyDict_Copy(value));
  PyObject* name = names::copy();
  return Object::steal(name ? PyObject_CallMethodNoArgs(value, name) : nullptr);
}

// object.__new__(cls) for a class whose __new__ is object's (the companion's check).
Object new_instance(PyTypeObject* cls) {
  PyObject* empty = empty_tuple();
  return Object::steal(empty ? cls->tp_new(cls, empty, nullptr) : nullptr);
}

// `node` is a where node whose clone() is WhereNode's own.
bool plain_where(const ChainConfig& config, PyObject* node, bool& plain) {
  plain = false;
  if ((PyObject*)Py_TYPE(node) != config.where_node.get()) return true;
  bool own_clone;
  if (!in_own_dict(node, names::clone(), own_clone)) return false;
  plain = !own_clone;
  return true;
}

// The query of `queryset` where its clone is the one written out here:
// Django's own QuerySet and Query (its __dict__ an exact dict), no filter pending,
// hints an exact dict, not combined, no _setup_query of its own, a where tree
// of plain nodes, and (6.1) cloning not disabled.
Result clonable_query(const ChainConfig& config, PyObject* queryset, Object& query) {
  if ((PyObject*)Py_TYPE(queryset) != config.queryset.get()) return Result::declined;
  if (config.fetch_modes) {
    Object enabled = attr(queryset, names::cloning_enabled());
    if (!enabled) return Result::raised;
    if (enabled.get() != Py_True) return Result::declined;
  }
  Object own = attr(queryset, names::dunder_dict());
  if (!own) return Result::raised;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(own.get(), names::query_(), &found) < 0) return Result::raised;
  query = Object::steal(found);
  bool pending;
  if (!attr_truth(queryset, names::deferred_filter(), pending)) return Result::raised;
  if (pending || !query || (PyObject*)Py_TYPE(query.get()) != config.query.get())
    return Result::declined;
  Object hints = attr(queryset, names::hints_());
  if (!hints) return Result::raised;
  if (!PyDict_CheckExact(hints.get())) return Result::declined;
  bool combinator, combined, plain;
  if (!attr_truth(query.get(), names::combinator(), combinator)) return Result::raised;
  if (combinator) return Result::declined;
  if (!attr_truth(query.get(), names::combined_queries(), combined)) return Result::raised;
  if (combined) return Result::declined;
  // The clone reads and writes the query's own dict (QueryDicts): a dict.
  Object query_dict = attr(query.get(), names::dunder_dict());
  if (!query_dict) return Result::raised;
  if (!PyDict_CheckExact(query_dict.get())) return Result::declined;
  PyObject* setup_name = names::setup_query();
  int own_setup = setup_name ? PyDict_Contains(query_dict.get(), setup_name) : -1;
  if (own_setup < 0) return Result::raised;
  if (own_setup) return Result::declined;
  Object where = attr(query.get(), names::where());
  if (!where || !plain_where(config, where.get(), plain)) return Result::raised;
  return plain ? Result::done : Result::declined;
}

// Query.is_sliced, Django's own property (the companion's check), whose body
// every followed release writes as `low_mark != 0 or high_mark is not None`.
bool is_sliced(PyObject* query, bool& sliced) {
  Object low = attr(query, names::low_mark());
  if (!low) return false;
  Object zero = Object::steal(PyLong_FromLong(0));
  int moved = zero ? PyObject_RichCompareBool(low.get(), zero.get(), Py_NE) : -1;
  if (moved < 0) return false;
  if (moved) {
    sliced = true;
    return true;
  }
  Object high = attr(query, names::high_mark());
  if (!high) return false;
  sliced = high.get() != Py_None;
  return true;
}

// The copies made so far of the dicts met in one tree: a dict met twice is
// copied once, as copy.deepcopy's memo does.
using Memo = std::vector<std::pair<PyObject*, Object>>;

// copy.deepcopy of a select_related tree: dicts whose keys
// are str and whose values are such dicts. `declined` for any other tree;
// nothing in it runs Python code (exact str keys hash natively).
Result copied_names(PyObject* tree, Memo& memo, Object& out) {
  RecursionGuard depth(" while copying select_related");
  if (!depth.entered()) return Result::raised;
  for (auto& [seen, copy] : memo) {
    if (seen == tree) {
      out = copy;
      return Result::done;
    }
  }
  if (!PyDict_CheckExact(tree)) return Result::declined;
  Object copied = Object::steal(PyDict_New());
  if (!copied) return Result::raised;
  memo.emplace_back(tree, copied);  // may throw bad_alloc: the boundary reports it
  // Without the GIL the section keeps other threads' changes to the tree out;
  // the items are held, since a nested tree's own section suspends it.
  CriticalSection section(tree);
  Py_ssize_t at = 0;
  PyObject *raw_key, *raw_value;
  while (PyDict_Next(tree, &at, &raw_key, &raw_value)) {
    Object key = Object::borrow(raw_key), value = Object::borrow(raw_value);
    if (!PyUnicode_CheckExact(key.get())) return Result::declined;
    Object item;
    Result r = copied_names(value.get(), memo, item);
    if (r != Result::done) return r;
    if (PyDict_SetItem(copied.get(), key.get(), item.get()) < 0) return Result::raised;
  }
  out = std::move(copied);
  return Result::done;
}

// `Node(None, connector, negated)` with its class set to WhereNode. Where
// the connector is true, Node.__init__ leaves children, connector and
// negated in that order, which a WhereNode made here gets likewise: neither
// class has a __new__, a __setattr__ or a descriptor for those names (the
// companion's check). A false connector goes through Node itself, whose
// __init__ reads its default then.
Object new_where_node(const ChainConfig& config, PyObject* connector, PyObject* negated) {
  PyObject* where_node = config.where_node.get();
  int usable = PyObject_IsTrue(connector);
  if (usable < 0) return Object();
  if (!usable) {
    PyObject* args[] = {Py_None, connector, negated};
    Object made = Object::steal(PyObject_Vectorcall(config.node.get(), args, 3, nullptr));
    return made && store(made.get(), names::dunder_class(), where_node) ? made : Object();
  }
  Object made = new_instance((PyTypeObject*)where_node);
  Object children = Object::steal(made ? PyList_New(0) : nullptr);
  if (!store(made.get(), names::children(), children.get()) ||
      !store(made.get(), names::connector(), connector) ||
      !store(made.get(), names::negated(), negated))
    return Object();
  return made;
}

// WhereNode.clone() of a plain where node, with WhereNode.create() inline:
// `Node(None, node.connector or WhereNode.default, node.negated)`, its class
// set to WhereNode, then each child cloned as clone() clones it.
Object where_clone(const ChainConfig& config, PyObject* node) {
  RecursionGuard depth(" while cloning a where tree");
  if (!depth.entered()) return Object();
  PyObject* where_node = config.where_node.get();
  Object connector = attr(node, names::connector());
  int truth = connector ? PyObject_IsTrue(connector.get()) : -1;
  if (truth < 0) return Object();
  if (!truth && !(connector = attr(where_node, names::default_()))) return Object();
  Object negated = attr(node, names::negated());
  if (!negated) return Object();
  Object clone = new_where_node(config, connector.get(), negated.get());
  if (!clone) return Object();
  Object children = attr(node, names::children());
  Object iterator = Object::steal(children ? PyObject_GetIter(children.get()) : nullptr);
  if (!iterator) return Object();
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Object child = Object::steal(raw);
    bool plain;
    if (!plain_where(config, child.get(), plain)) return Object();
    if (plain) {
      child = where_clone(config, child.get());
    } else {
      int has = PyObject_HasAttrWithError(child.get(), names::clone());
      if (has < 0) return Object();
      if (has) child = Object::steal(PyObject_CallMethodNoArgs(child.get(), names::clone()));
    }
    if (!child) return Object();
    Object clone_children = attr(clone.get(), names::children());
    PyObject* append = names::append();
    Object done = Object::steal(clone_children && append ? PyObject_CallMethodOneArg(
        clone_children.get(), append, child.get()) : nullptr);
    if (!done) return Object();
  }
  if (PyErr_Occurred()) return Object();
  return clone;
}

// A query and its clone, read and written through their own dicts: Query
// has no __setattr__ and no data descriptor for the names its clone() copies
// (the companion's check), so `self.name` is `self.__dict__[name]` where that
// is set (a class attribute otherwise), and `obj.name = value` stores into
// `obj.__dict__`. Functions give false (or an empty Object) with an error set.
struct QueryDicts {
  PyObject* self;  // the query being cloned
  PyObject* own;   // its __dict__, an exact dict (clonable_query's check)
  PyObject* made;  // the clone's __dict__

  Object read(PyObject* name) const {
    PyObject* found = nullptr;
    if (!name || PyDict_GetItemRef(own, name, &found) < 0) return Object();
    return found ? Object::steal(found) : attr(self, name);
  }
  bool write(PyObject* name, PyObject* value) const {
    return name && value && PyDict_SetItem(made, name, value) == 0;
  }
  // `obj.name = self.name.copy()`.
  bool write_copy(PyObject* name) const {
    Object value = read(name);
    Object copied = value ? copy_of(value.get()) : Object();
    return write(name, copied.get());
  }
  // `if self.name is not None: obj.name = self.name.copy()`.
  bool write_copy_if_set(PyObject* name) const {
    Object value = read(name);
    if (!value) return false;
    return value.get() == Py_None || write_copy(name);
  }
};

// Query.chain() with Query.clone() inline; `select_related`
// is the copy of the query's tree (unused when that is False).
Object chained_query(const ChainConfig& config, PyObject* self, PyObject* select_related) {
  Object obj = new_instance(Py_TYPE(self));
  Object own = obj ? attr(self, names::dunder_dict()) : Object();
  if (own && !PyDict_CheckExact(own.get())) return Object::steal(type_mismatch(own.get(), "dict"));
  Object own_copy = own ? Object::steal(PyDict_Copy(own.get())) : Object();
  if (!own_copy || !store(obj.get(), names::dunder_dict(), own_copy.get())) return Object();
  const QueryDicts q{self, own.get(), own_copy.get()};
  for (PyObject* name : {names::alias_refcount(), names::alias_map(), names::external_aliases(),
                         names::table_map()})
    if (!q.write_copy(name)) return Object();
  Object where = q.read(names::where());
  Object where_copy = where ? where_clone(config, where.get()) : Object();
  if (!q.write(names::where(), where_copy.get()) || !q.write_copy(names::annotations()) ||
      !q.write_copy_if_set(names::annotation_select_mask()) ||
      !q.write(names::annotation_select_cache(), Py_None) || !q.write_copy(names::extra()) ||
      !q.write_copy_if_set(names::extra_select_mask()) ||
      !q.write_copy_if_set(names::extra_select_cache()))
    return Object();
  Object current = q.read(names::select_related());
  if (!current || (current.get() != Py_False && !q.write(names::select_related(), select_related)))
    return Object();
  PyObject* subq_name = names::subq_aliases();
  int has_subq = subq_name ? PyDict_Contains(own.get(), subq_name) : -1;
  if (has_subq < 0 || (has_subq && !q.write_copy(names::subq_aliases())) ||
      !q.write_copy(names::used_aliases()) || !q.write_copy(names::filtered_relations()))
    return Object();
  if (PyDict_Pop(own_copy.get(), names::base_table(), nullptr) < 0) return Object();
  // `self.filter_is_sticky`, read on the clone: what the clone now holds.
  const QueryDicts clone{obj.get(), own_copy.get(), own_copy.get()};
  Object sticky = clone.read(names::filter_is_sticky());
  int truth = sticky ? PyObject_IsTrue(sticky.get()) : -1;
  if (truth < 0) return Object();
  if (!truth) {
    Object fresh = Object::steal(PySet_New(nullptr));
    if (!q.write(names::used_aliases(), fresh.get())) return Object();
  }
  if (!q.write(names::filter_is_sticky(), Py_False)) return Object();
  return obj;
}

// QuerySet._clone() over `query`, already chained: __init__'s attributes in
// __init__'s order, holding what _clone() leaves in them.
Object cloned(const ChainConfig& config, PyObject* source, PyObject* query) {
  Object clone = new_instance(Py_TYPE(source));
  if (!clone) return Object();
  PyObject* c = clone.get();
  auto same = [&](PyObject* name) {
    Object value = attr(source, name);
    return value && store(c, name, value.get());
  };
  if (!same(names::model()) || !same(names::db_())) return Object();
  Object hints = attr(source, names::hints_());
  int truth = hints ? PyObject_IsTrue(hints.get()) : -1;
  if (truth < 0) return Object();
  if (!truth) hints = Object::steal(PyDict_New());
  if (!store(c, names::hints_(), hints.get()) || !store(c, names::query_(), query) ||
      !store(c, names::result_cache(), Py_None) || !same(names::sticky_filter()) ||
      !same(names::for_write()))
    return Object();
  Object lookups = attr(source, names::prefetch_related_lookups());
  Object lookups_copy =
      Object::steal(lookups ? PySequence_GetSlice(lookups.get(), 0, PY_SSIZE_T_MAX) : nullptr);
  bool fetch_modes = config.fetch_modes;
  if (!store(c, names::prefetch_related_lookups(), lookups_copy.get()) ||
      !store(c, names::prefetch_done(), Py_False) || !same(names::known_related_objects()) ||
      !same(names::iterable_class()) || (fetch_modes && !same(names::fetch_mode_())) ||
      !same(names::fields_()) || !store(c, names::defer_next_filter(), Py_False) ||
      !store(c, names::deferred_filter(), Py_None) ||
      (fetch_modes && !store(c, names::cloning_enabled(), Py_True)))
    return Object();
  return clone;
}

// QuerySet._clone() of a clonable queryset; `declined` where its
// select_related tree is not plain dicts of names.
Result clone_of(const ChainConfig& config, PyObject* queryset, PyObject* query, Object& out) {
  Object select_related = attr(query, names::select_related());
  if (!select_related) return Result::raised;
  if (select_related.get() != Py_False) {
    Memo memo;
    Object copied;
    Result r = copied_names(select_related.get(), memo, copied);
    if (r != Result::done) return r;
    select_related = std::move(copied);
  }
  Object chained = chained_query(config, query, select_related.get());
  out = chained ? cloned(config, queryset, chained.get()) : Object();
  return out ? Result::done : Result::raised;
}

// Whether a query made by QuerySet(model=...) still holds only what its
// constructor put there: none of what Query.clone() copies only
// when set on the query itself.
bool as_new(PyObject* query, bool& fresh) {
  Object own = attr(query, names::dunder_dict());
  if (!own) return false;
  for (PyObject* name : {names::annotation_select_mask(), names::extra_select_mask(),
                         names::extra_select_cache(), names::subq_aliases()}) {
    int has = name ? PyDict_Contains(own.get(), name) : -1;
    if (has < 0) return false;
    if (has) return fresh = false, true;
  }
  fresh = true;
  return true;
}

// What Query.chain() leaves in the clone of a new query, left in the query
// itself.
bool chain_in_place(PyObject* query) {
  if (!store(query, names::annotation_select_cache(), Py_None)) return false;
  Object own = attr(query, names::dunder_dict());
  if (!own || PyDict_Pop(own.get(), names::base_table(), nullptr) < 0) return false;
  bool sticky;
  if (!attr_truth(query, names::filter_is_sticky(), sticky)) return false;
  if (!sticky) {
    Object fresh = Object::steal(PySet_New(nullptr));
    if (!store(query, names::used_aliases(), fresh.get())) return false;
  }
  return store(query, names::filter_is_sticky(), Py_False);
}

// How _chain() ends: a sticky filter carries to the clone's query once.
bool stick(PyObject* clone) {
  bool sticky;
  if (!attr_truth(clone, names::sticky_filter(), sticky)) return false;
  if (!sticky) return true;
  Object query = attr(clone, names::query_());
  return query && store(query.get(), names::filter_is_sticky(), Py_True) &&
         store(clone, names::sticky_filter(), Py_False);
}

}  // namespace

constexpr Param CONFIGURE_CHAIN_PARAMS[] = {
    {"queryset", true, true}, {"query", true, true}, {"where_node", true, true},
    {"node", true, true},     {"fetch_modes", true, true}};
constexpr Signature CONFIGURE_CHAIN_SIG{"configure_queryset_chain()", CONFIGURE_CHAIN_PARAMS};

PyObject* configure_queryset_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[5];
  if (!bind_args(CONFIGURE_CHAIN_SIG, args, nargs, kwnames, a) ||
      !arguments_are_types(a, CONFIGURE_CHAIN_PARAMS, {0, 1, 2, 3}))
    return nullptr;
  CHAIN_CONFIG.set(std::make_unique<const ChainConfig>(ChainConfig{
      Object::borrow(a[0]), Object::borrow(a[1]), Object::borrow(a[2]), Object::borrow(a[3]),
      a[4] == Py_True}));
  Py_RETURN_NONE;
}

constexpr Param DEFERRED_FILTER_PARAMS[] = {{"queryset", true, false}, {"kwargs", true, false},
                                            {"sticky", true, false}, {"alone", true, false}};
constexpr Signature DEFERRED_FILTER_SIG{"deferred_filter()", DEFERRED_FILTER_PARAMS};

PyObject* deferred_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[4];
  if (!bind_args(DEFERRED_FILTER_SIG, args, nargs, nullptr, a)) return nullptr;
  const ChainConfig* config = CHAIN_CONFIG.get();
  if (!config) return nullptr;
  PyObject *queryset = a[0], *kwargs = a[1];
  int sticky = PyObject_IsTrue(a[2]), alone = sticky < 0 ? -1 : PyObject_IsTrue(a[3]);
  if (alone < 0) return nullptr;
  Object query;
  Result r = clonable_query(*config, queryset, query);
  if (r == Result::raised) return nullptr;
  bool sliced = false;
  if (r == Result::declined) Py_RETURN_NONE;
  if (!is_sliced(query.get(), sliced)) return nullptr;
  if (sliced) Py_RETURN_NONE;  // filter() refuses a sliced query: Django's says so
  bool fresh = false;
  if (alone) {
    Object select_related = attr(query.get(), names::select_related());
    if (!select_related) return nullptr;
    if (select_related.get() == Py_False && !as_new(query.get(), fresh)) return nullptr;
  }
  Object clone;
  if (fresh) {
    if (!chain_in_place(query.get())) return nullptr;
    clone = Object::borrow(queryset);
  } else {
    r = clone_of(*config, queryset, query.get(), clone);
    if (r == Result::raised) return nullptr;
    if (r == Result::declined) Py_RETURN_NONE;
  }
  if (sticky && (!store(queryset, names::sticky_filter(), Py_True) ||
                 !store(clone.get(), names::sticky_filter(), Py_True)))
    return nullptr;
  if (!stick(clone.get()) || !store(queryset, names::defer_next_filter(), Py_False)) return nullptr;
  PyObject* empty = empty_tuple();
  Object pending = Object::steal(empty ? PyTuple_Pack(3, Py_False, empty, kwargs) : nullptr);
  if (!store(clone.get(), names::deferred_filter(), pending.get())) return nullptr;
  return clone.release();
}

PyObject* chained(PyObject*, PyObject* queryset) {
  const ChainConfig* config = CHAIN_CONFIG.get();
  if (!config) return nullptr;
  Object query, clone;
  Result r = clonable_query(*config, queryset, query);
  if (r == Result::done) r = clone_of(*config, queryset, query.get(), clone);
  if (r == Result::raised) return nullptr;
  if (r == Result::declined) Py_RETURN_NONE;
  return stick(clone.get()) ? clone.release() : nullptr;
}

}  // namespace qc
