"""Rows to model instances: Django's `ModelIterable` with its loop in C++.

While `install()` is on, `ModelIterable.__iter__` is `model_iterable_iter`.
It runs Django's own preparation (the compiler, the SQL, the select_related
populators, the known related objects) exactly as the release does, then
hands the rows to the native `ModelRows` iterator, which builds each instance
as `Model.from_db` and `Model.__init__` would: `object.__new__`, a fresh
`ModelState` as `_state`, each loaded field set through the generic
`setattr` (so a descriptor with `__set__` runs as it does for Django), then
`adding` and `db`. It does so only where that is certain to be Django's
result, decided here per model class and per queryset (`model_refusal`), and
per row in C++ for the init signals, so a receiver connected at any time is
honoured: a row that has one goes through Django's own `from_db`. Whatever
is not certain (a subclass of `ModelIterable`, a compiler that iterates its
own way, composite keys, an unknown release) runs Django's code.
"""

import enum
import inspect
import operator
import types
import weakref
from typing import Any, NamedTuple

import django
from django.db.models import Model
from django.db.models import query as django_query
from django.db.models.base import DEFERRED, ModelState, ModelStateFieldsCacheDescriptor
from django.db.models.fields.mixins import FieldCacheMixin
from django.db.models.fields.related_descriptors import ForeignKeyDeferredAttribute
from django.db.models.signals import post_init, pre_init
from django.db.models.sql.compiler import SQLCompiler
from django.dispatch import Signal, dispatcher
from django.utils.functional import cached_property

from . import _quorvel_core as native
from . import row_converters, snapshot
from .row_converters import mro_lookup

ModelIterable = django_query.ModelIterable
RelatedPopulator = django_query.RelatedPopulator
DJANGO_MODEL_ITER = vars(ModelIterable)["__iter__"]

# The releases whose ModelIterable, RelatedPopulator, from_db and __init__
# this module follows line by line; 6.1 adds fetch modes and peers.
FOLLOWED_RELEASES = ((5, 2), (6, 0), (6, 1))
RELEASE = tuple(django.VERSION[:2])
FETCH_MODES = RELEASE >= (6, 1)


# ModelState's fields_cache descriptor, as found on import.
_FIELDS_CACHE = vars(ModelState).get("fields_cache")


def _plain_fields_cache():
    """ModelState.fields_cache is Django's descriptor as these releases write it:
    `res = instance.fields_cache = {}` on first read, nothing else."""
    kind = type(_FIELDS_CACHE)
    return (kind is ModelStateFieldsCacheDescriptor and set(vars(kind)) <= {
        "__get__", "__module__", "__qualname__", "__dict__", "__weakref__", "__doc__",
        "__firstlineno__", "__static_attributes__"}
        and kind.__get__.__code__.co_names == ("fields_cache",))


native.configure_rows(
    pre_init=pre_init, post_init=post_init, no_receivers=dispatcher.NO_RECEIVERS,
    deferred=DEFERRED, model_state=ModelState, weak_key_dict=weakref.WeakKeyDictionary,
    plain_fields_cache=_plain_fields_cache())

_tally = row_converters.Tally()


def installed(on):
    """Called by install() and uninstall(). While the loop is installed, the
    sqlite3 module's date converters are replaced on the first queryset that
    runs once Django's backend is loaded."""
    if on:
        row_converters.install_cursor_converters()
    else:
        row_converters.uninstall_cursor_converters()


def counts():
    """How many ModelIterable evaluations took the native loop and how many ran
    Django's own, since the process started."""
    return _tally.counts()


# --- what may be built natively ------------------------------------------

# The methods whose work the native loop does in Django's place (the init
# signals' `send` included, whose receivers it reads itself), each as Django's
# own module defines it, or None where a wrapper already stood there on import.
# Each must still be there when a queryset runs: a wrapper put on one before
# or since (a test's mock.patch, a profiler's or an N+1 detector's) sends the
# queryset to Django's loop, which runs it.
_ORIGINALS = row_converters.django_originals((
    (ModelIterable, "__iter__"), (SQLCompiler, "results_iter"),
    (SQLCompiler, "get_converters"), (SQLCompiler, "apply_converters"),
    (SQLCompiler, "has_composite_fields"), (RelatedPopulator, "populate"),
    (FieldCacheMixin, "is_cached"), (FieldCacheMixin, "set_cached_value"),
    (ForeignKeyDeferredAttribute, "__set__"), (ModelStateFieldsCacheDescriptor, "__get__"),
    (Model, "__init__"), (Model, "from_db"), (Signal, "send"), (Signal, "_live_receivers")))
MODEL_ITER_IS_DJANGOS = _ORIGINALS[ModelIterable, "__iter__"] is not None
NOT_DJANGOS = next((f"{owner.__name__}.{name}" for (owner, name), original in _ORIGINALS.items()
                    if original is None), None)
_MODEL_INIT = _ORIGINALS[Model, "__init__"]
_MODEL_FROM_DB = getattr(_ORIGINALS[Model, "from_db"], "__func__", None)
_FOREIGN_KEY_SET = _ORIGINALS[ForeignKeyDeferredAttribute, "__set__"]
_IS_CACHED = _ORIGINALS[FieldCacheMixin, "is_cached"]
_SET_CACHED_VALUE = _ORIGINALS[FieldCacheMixin, "set_cached_value"]
_SIGNAL_METHODS = tuple((name, _ORIGINALS[Signal, name]) for name in ("send", "_live_receivers"))


def _parts_as_found():
    # ModelIterable.__iter__ aside: install() puts the loop itself there.
    return (all(vars(owner).get(name) is original for (owner, name), original in _ORIGINALS.items()
                if (owner, name) != (ModelIterable, "__iter__"))
            and vars(ModelState).get("fields_cache") is _FIELDS_CACHE
            and _model_state_plain()
            and all(mro_lookup(type(signal), name) is original and name not in vars(signal)
                    for signal in (pre_init, post_init) for name, original in _SIGNAL_METHODS))


def _parts_homes():
    return (*{owner for owner, _ in _ORIGINALS}, ModelState, type(pre_init), type(post_init),
            vars(pre_init), vars(post_init))


_PARTS_GUARD = snapshot.Guard(_parts_homes, _parts_as_found)


def _django_parts_unchanged():
    """Whether everything the native loop stands in for is as it was found."""
    return _PARTS_GUARD.holds()


def _model_state_plain():
    return (ModelState.__init__ is object.__init__ and ModelState.__new__ is object.__new__
            and ModelState.__setattr__ is object.__setattr__
            and ModelState.__getattribute__ is object.__getattribute__
            and type(ModelState) is type)


def model_refusal(cls):
    """None when instances of `cls` come out of the native loop exactly as
    `cls.from_db` makes them; otherwise why not, in words."""
    if type(cls).__call__ is not type.__call__:
        return "its metaclass defines __call__"
    if cls.__new__ is not object.__new__:
        return "it defines __new__"
    if _MODEL_INIT is None or cls.__init__ is not _MODEL_INIT:
        return "it defines __init__" if _MODEL_INIT is not None and Model.__init__ is _MODEL_INIT \
            else "Model.__init__ is not Django's"
    if _MODEL_FROM_DB is None or getattr(cls.from_db, "__func__", None) is not _MODEL_FROM_DB:
        return "it defines from_db" if _MODEL_FROM_DB is not None and Model.from_db.__func__ is _MODEL_FROM_DB \
            else "Model.from_db is not Django's"
    if cls.__setattr__ is not object.__setattr__:
        return "it defines __setattr__"
    if cls.__getattribute__ is not object.__getattribute__:
        return "it defines __getattribute__"
    mro = cls.__mro__
    after_model = mro[mro.index(Model) + 1:-1] if Model in mro else ()
    if any("__init__" in vars(base) for base in after_model):
        return "a base after Model defines __init__"
    if any("_state" in vars(base) for base in mro):
        return "a class attribute is named _state"
    if cls.__dictoffset__ == 0:
        return "its instances have no __dict__"
    if cls._meta.abstract:
        return "it is abstract"
    if not _model_state_plain():
        return "ModelState has been changed"
    return None


def model_report(cls):
    """None when querysets of `cls` build their instances natively; otherwise
    why not, in words (the class itself, or the init signals' receivers now)."""
    if RELEASE not in FOLLOWED_RELEASES:
        return f"Django {django.get_version()} is not a release the native loop follows"
    if NOT_DJANGOS is not None:
        return f"{NOT_DJANGOS} was not Django's own when quorvel_core was imported"
    if not _django_parts_unchanged():
        return "a method that Django's loop runs has been replaced"
    reason = model_refusal(cls)
    if reason is not None:
        return reason
    receivers = [f"{name} receiver: {_receiver_name(r)}"
                 for name, signal in (("pre_init", pre_init), ("post_init", post_init))
                 for r in _receivers(signal, cls)]
    return ", ".join(receivers) or None


def _receivers(signal, cls):
    live = signal._live_receivers(cls)
    # 5.2 and later give (sync receivers, async receivers).
    return [r for group in live for r in group] if type(live) is tuple else list(live)


def _receiver_name(receiver):
    owner = getattr(receiver, "__self__", None)
    if owner is not None and hasattr(owner, "name") and hasattr(owner, "model"):
        # A field's own receiver, such as ImageField's dimensions.
        return f"{type(owner).__name__} {owner.name}.{receiver.__name__}"
    return getattr(receiver, "__qualname__", None) or repr(receiver)


class ModelPlan(NamedTuple):
    """One model class as the native loop builds it."""
    cls: type
    attnames: tuple      # of each concrete field, in `_meta.concrete_fields` order
    positions: Any       # None: values are in that order; else each field's index in them, -1 deferred
    assignments: tuple   # per field, how setattr treats it: an Assignment


# Decisions per (model class, loaded attnames, number of values), kept while
# the classes and the `_meta` they read are unchanged (snapshot.kept). Model
# classes made on the fly (tests make many) would pile up: the cache starts
# afresh past a bound.
_model_plans = {}
_MODEL_PLANS_MAX = 4096


def _fields_plan(recorder, cls):
    """(attnames, assignments) of the concrete fields, recording what they read."""
    native.watch((vars(cls._meta),))  # concrete_fields lives in _meta's own dict
    names = tuple(f.attname for f in cls._meta.concrete_fields)
    if not all(type(name) is str for name in names):
        return None, None
    descriptors = [mro_lookup(cls, name) for name in names]
    for descriptor in descriptors:
        if type(descriptor) is ForeignKeyDeferredAttribute:
            recorder.add_class(type(descriptor.field))
    return names, tuple(_assignment(d) for d in descriptors)


class Assignment(enum.IntEnum):
    """How the generic setattr treats a field's attribute (the same numbers in C++)."""
    DESCRIPTOR = 0   # a class attribute with __set__, which may run Python code
    FOREIGN_KEY = 1  # Django's ForeignKeyDeferredAttribute, done natively
    PLAIN = 2        # no __set__: the value goes into the instance


def _assignment(descriptor):
    if _native_foreign_key(descriptor):
        return Assignment.FOREIGN_KEY
    if descriptor is None or not hasattr(type(descriptor), "__set__"):
        return Assignment.PLAIN
    return Assignment.DESCRIPTOR


def _native_foreign_key(descriptor):
    """Whether the native loop may set the field as ForeignKeyDeferredAttribute
    does (see set_foreign_key in rows.cpp)."""
    if type(descriptor) is not ForeignKeyDeferredAttribute:
        return False
    field = descriptor.field
    if (vars(ForeignKeyDeferredAttribute).get("__set__") is not _FOREIGN_KEY_SET
            or mro_lookup(type(field), "is_cached") is not _IS_CACHED
            or not isinstance(mro_lookup(type(field), "cache_name"), cached_property)):
        return False
    field.cache_name  # noqa: B018 (computed by is_cached in Django's own path)
    return True


def model_plan(cls, init_list, count):
    """The plan for `cls.from_db(db, init_list, values)` with `count` values,
    or None where Django's from_db must run."""
    if len(_model_plans) > _MODEL_PLANS_MAX:
        _model_plans.clear()
    return snapshot.kept(_model_plans, (cls, tuple(init_list), count),
                         lambda recorder: _decide_model_plan(recorder, cls, init_list, count))


def _decide_model_plan(recorder, cls, init_list, count):
    for read in (cls, type(cls), ModelState, ModelStateFieldsCacheDescriptor,
                 ForeignKeyDeferredAttribute):
        recorder.add_class(read)
    if model_refusal(cls) is not None:
        return None
    attnames, assignments = _fields_plan(recorder, cls)
    if attnames is None:
        return None
    if count == len(attnames):
        return ModelPlan(cls, attnames, None, assignments)
    # from_db takes the values in turn for the fields named in init_list.
    loaded = [name in init_list for name in attnames]
    if sum(loaded) != count:
        return None
    positions, taken = [], 0
    for is_loaded in loaded:
        positions.append(taken if is_loaded else -1)
        taken += is_loaded
    return ModelPlan(cls, attnames, tuple(positions), assignments)


# --- select_related ----------------------------------------------------------

class SetterPlan(NamedTuple):
    cache_name: Any  # str: store into `_state.fields_cache`; None: call `call`
    call: Any        # None as well: Django's setter that does nothing


def _ignores_its_arguments(obj, from_obj):
    return None


def _no_op_setter_codes():
    """The code of the setters that get_related_selections makes to do nothing
    (`lambda x, y: None` for a forward relation that is not unique, and
    `local_setter_noop`), where each is exactly a function of two arguments
    that returns None."""
    shape = _ignores_its_arguments.__code__
    return frozenset(
        code for code in vars(SQLCompiler)["get_related_selections"].__code__.co_consts
        if type(code) is type(shape) and code.co_name in ("<lambda>", "local_setter_noop")
        and code.co_code == shape.co_code and code.co_consts == shape.co_consts
        and code.co_argcount == 2 and code.co_flags & ~inspect.CO_NESTED == shape.co_flags
        and not code.co_freevars)


_NO_OP_SETTER_CODES = _no_op_setter_codes()


def _setter(setter):
    """`field.set_cached_value` as Django's FieldCacheMixin writes it stores
    into the fields cache under `field.cache_name`; Django's setters that do
    nothing are skipped; anything else is called."""
    if (type(setter) is types.FunctionType and setter.__code__ in _NO_OP_SETTER_CODES
            and setter.__defaults__ is None):
        return SetterPlan(None, None)
    func = getattr(setter, "__func__", None)
    field = getattr(setter, "__self__", None)
    if (func is not None and func is _SET_CACHED_VALUE
            and mro_lookup(type(field), "set_cached_value") is func
            # A cached_property answers the same name for the field's life.
            and isinstance(mro_lookup(type(field), "cache_name"), cached_property)):
        name = field.cache_name
        if type(name) is str:
            return SetterPlan(name, None)
    return SetterPlan(None, setter)



class PopulatorPlan(NamedTuple):
    populator: Any     # Django's RelatedPopulator, called when `model` is None
    model: Any         # ModelPlan or None
    cols_start: int
    cols_end: int
    reorder: Any       # reorder_for_init or None
    pk_idx: int
    children: tuple    # PopulatorPlan of each nested populator
    local_setter: Any  # SetterPlan
    remote_setter: Any
    peers: Any         # the populator's peers list where fetch modes track peers, else None
    fetch_mode: Any    # set on each instance's state (6.1), None before


def populator_plan(populator, fetch_mode):
    children = tuple(populator_plan(p, fetch_mode) for p in populator.related_populators)
    model = None
    if type(populator) is RelatedPopulator and (
            not FETCH_MODES or _plain_from_db(populator.from_db, populator.model_cls)) and (
            # itemgetter of one index gives the item, not a tuple of it.
            not populator.reorder_for_init or len(populator.init_list) > 1):
        count = (len(populator.init_list) if populator.reorder_for_init
                 else populator.cols_end - populator.cols_start)
        model = model_plan(populator.model_cls, populator.init_list, count)
    if model is None:
        return PopulatorPlan(populator, None, 0, 0, None, 0, (), None, None, None, None)
    peers = populator.peers if FETCH_MODES and fetch_mode.track_peers else None
    return PopulatorPlan(
        populator, model,
        populator.cols_start if not populator.reorder_for_init else 0,
        populator.cols_end if not populator.reorder_for_init else 0,
        populator.reorder_for_init, populator.pk_idx, children,
        _setter(populator.local_setter), _setter(populator.remote_setter),
        peers, fetch_mode if FETCH_MODES else None)


def _plain_from_db(from_db, cls):
    """`_get_from_db(cls, mode)` of 6.1 is partial(Model.from_db, fetch_mode=mode)."""
    return (type(from_db) is django_query.partial and not from_db.args
            and list(from_db.keywords) == ["fetch_mode"]
            and _MODEL_FROM_DB is not None
            and getattr(from_db.func, "__func__", None) is _MODEL_FROM_DB
            and from_db.func.__self__ is cls)


# --- the whole queryset ------------------------------------------------------

class RowsPlan(NamedTuple):
    db: str
    model: ModelPlan
    start: int                  # the model's values are row[start:end]
    end: int
    connection: Any
    converters: tuple           # row_converters.ConverterPlan of each converted column
    populators: tuple           # PopulatorPlan
    annotations: tuple          # (attribute name, column) pairs
    known_related: tuple        # (field, objects by id, attnames or None, getter, field name)
    fetch_mode: Any             # 6.1: set on each state; None before
    peers: Any                  # 6.1 with a peer-tracking mode: the shared list


def model_iterable_iter(self):
    """ModelIterable.__iter__ while quorvel_core is installed."""
    if (type(self) is not ModelIterable or RELEASE not in FOLLOWED_RELEASES
            or _MODEL_FROM_DB is None
            or getattr(self.queryset.model.from_db, "__func__", None) is not _MODEL_FROM_DB):
        # Django's own generator, with no frame of this module under it: the
        # warnings it gives (6.1 deprecates from_db without fetch_mode) point
        # at the caller, as they do without quorvel_core.
        _tally.count("django")
        return DJANGO_MODEL_ITER(self)
    return _native_iter(self)


def _native_iter(self):
    queryset = self.queryset
    db = queryset.db
    compiler = queryset.query.get_compiler(using=db)
    if FETCH_MODES:
        fetch_mode = queryset._fetch_mode
    # Execute the query. This also fills compiler.select, klass_info and
    # annotation_col_map, as in Django's loop.
    results = compiler.execute_sql(chunked_fetch=self.chunked_fetch, chunk_size=self.chunk_size)
    select, klass_info, annotation_col_map = (
        compiler.select, compiler.klass_info, compiler.annotation_col_map)
    model_cls = klass_info["model"]
    select_fields = klass_info["select_fields"]
    model_fields_start, model_fields_end = select_fields[0], select_fields[-1] + 1
    init_list = [f[0].target.attname for f in select[model_fields_start:model_fields_end]]
    if FETCH_MODES:
        from_db = django_query._get_from_db(model_cls, fetch_mode)
        related_populators = django_query.get_related_populators(klass_info, select, db, fetch_mode)
    else:
        fetch_mode = None
        from_db = model_cls.from_db
        related_populators = django_query.get_related_populators(klass_info, select, db)
    known_related_objects = []
    for field, related_objs in queryset._known_related_objects.items():
        attnames = [field.attname if from_field == "self"
                    else queryset.model._meta.get_field(from_field).attname
                    for from_field in field.from_fields]
        known_related_objects.append((field, related_objs, attnames, operator.attrgetter(*attnames)))
    peers = []

    def django_row(row):
        # The body of Django's loop for one converted row.
        obj = from_db(db, init_list, row[model_fields_start:model_fields_end])
        if FETCH_MODES and fetch_mode.track_peers:
            peers.append(django_query.weak_ref(obj))
            obj._state.peers = peers
        for rel_populator in related_populators:
            rel_populator.populate(row, obj)
        if annotation_col_map:
            for attr_name, col_pos in annotation_col_map.items():
                setattr(obj, attr_name, row[col_pos])
        # Add the known related objects to the model.
        for field, rel_objs, rel_attnames, rel_getter in known_related_objects:
            # Avoid overwriting objects loaded by, e.g., select_related().
            if field.is_cached(obj):
                continue
            if FETCH_MODES and any(attname not in obj.__dict__ for attname in rel_attnames):
                continue
            rel_obj_id = rel_getter(obj)
            try:
                rel_obj = rel_objs[rel_obj_id]
            except KeyError:
                pass  # May happen in qs1 | qs2 scenarios.
            else:
                setattr(obj, field.name, rel_obj)
        return obj

    plan = None if _few_rows(results) else _rows_plan(
        compiler, db, model_cls, init_list, model_fields_start, model_fields_end, from_db,
        related_populators, annotation_col_map, known_related_objects, fetch_mode, peers)
    if plan is None:
        _tally.count("django")
        for row in compiler.results_iter(results):
            obj = django_row(row)
            yield obj  # held until the next row, as in Django's loop
        return
    _tally.count("native")
    yield from native.ModelRows(plan, results, django_row)


# Preparing the native loop costs about what building three instances saves:
# fewer rows than this, already fetched, run Django's loop.
FEW_ROWS = 3


def _few_rows(results):
    if type(results) is not list:  # iterator(): the rows are fetched as it goes
        return False
    count = 0
    for chunk in results:
        count += len(chunk)
        if count >= FEW_ROWS:
            break
    return count < FEW_ROWS


def _rows_plan(compiler, db, model_cls, init_list, start, end, from_db, related_populators,
               annotation_col_map, known_related_objects, fetch_mode, peers):
    """The native loop's plan, or None where Django's loop must run."""
    if not _django_parts_unchanged():
        return None
    compiler_type = type(compiler)
    if (compiler_type.results_iter is not SQLCompiler.results_iter
            or compiler_type.get_converters is not SQLCompiler.get_converters
            or compiler_type.apply_converters is not SQLCompiler.apply_converters
            or compiler_type.has_composite_fields is not SQLCompiler.has_composite_fields):
        return None
    fields = [s[0] for s in compiler.select[0:compiler.col_count]]
    if compiler.has_composite_fields(fields):
        return None
    if FETCH_MODES and not (_plain_from_db(from_db, model_cls)
                            and django_query.weak_ref is weakref.ref):
        return None
    if not FETCH_MODES and type(db) is not str:
        return None
    model = model_plan(model_cls, init_list, end - start)
    if model is None:
        return None
    row_converters.scan_cursor_converters()
    converters = row_converters.plan(compiler, compiler.get_converters(fields))
    populators = tuple(populator_plan(p, fetch_mode) for p in related_populators)
    annotations = tuple(annotation_col_map.items()) if annotation_col_map else ()
    known = tuple((field, objs, attnames if FETCH_MODES else None, getter, field.name)
                  for field, objs, attnames, getter in known_related_objects)
    tracked = peers if FETCH_MODES and fetch_mode.track_peers else None
    return RowsPlan(db, model, start, end, compiler.connection, converters, populators,
                    annotations, known, fetch_mode, tracked)
