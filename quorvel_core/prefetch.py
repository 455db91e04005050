"""prefetch_related over reverse foreign keys and many-to-many relations:
Django's work with its per-object steps shortened.

While the row loop is installed, `django.db.models.query.prefetch_one_level`
is `prefetch_one_level` here. For two kinds of prefetcher, the managers
Django makes for the reverse side of a plain `ForeignKey` (`order.items`)
and for either side of a `ManyToManyField` (`product.tags`), over the related
model's own `Manager`, it runs the release's `prefetch_one_level` (and the
reverse and many-to-many managers' `get_prefetch_querysets`) line by line:
the same queries, the same objects in the same caches and the same `QuerySet`
per instance, its query cloned as Django's `filter()` (5.2, 6.0) or
`_chain()` (6.1) clones it (see queryset_chain). What it leaves out is only
what leaves no trace: the related manager made per instance and dropped
again (its creation counter is still counted), the router asked per
instance when there are none, and the calls that read a key: the loaded
value from the instance's `__dict__` where the call is certain to return it
as it is, and the instances' keys given to the level's `__in` filter, which
would normalize the instances to them before anything else saw them. Any
other prefetcher, a wrapper on any part it stands in for, routers, an
instance Django would load or refuse, or a release it does not follow runs
Django's own code.

The loops over a level's objects are native (src/prefetch.cpp): reading their
keys, grouping the related objects by key, the reverse caches and each
instance's QuerySet, with the same reads, calls and stores in the same order
as the functions here, which still answer for the instances whose managers
Django's own code must make (and, on 6.1, filter each QuerySet in place).
"""

import uuid
from typing import Any

from django.db import connections, router
from django.db.backends.base.operations import BaseDatabaseOperations
from django.db.models import Manager, QuerySet
from django.db.models import query as django_query
from django.db.models.base import Model
from django.db.models.fields import (AutoField, AutoFieldMixin, BigAutoField, DeferredAttribute,
                                     Field, IntegerField, SmallAutoField)
from django.db.models.fields import related_descriptors
from django.db.models.fields.mixins import FieldCacheMixin
from django.db.models.fields.related import ForeignKey, ForeignObject
from django.db.models.manager import BaseManager
from django.db.utils import DEFAULT_DB_ALIAS, ConnectionRouter

from . import _quorvel_core as native
from . import queryset_chain, row_converters
from .row_converters import mro_lookup
from .rows import FOLLOWED_RELEASES, RELEASE

# 6.1 filters an instance's QuerySet in place (its own, or one _chain() of a
# Prefetch's queryset) and a level's new queryset with cloning disabled;
# 5.2 and 6.0 clone in filter().
FILTERS_IN_PLACE = RELEASE >= (6, 1)

DJANGO_PREFETCH_ONE_LEVEL = row_converters.django_function(
    vars(django_query).get("prefetch_one_level"), "prefetch_one_level")


def _manager_codes(factory, class_name):
    """The code of the methods of the manager class `factory` builds, as the
    release writes them: every class it makes shares them."""
    body = next((c for c in factory.__code__.co_consts
                 if getattr(c, "co_name", None) == class_name), None)
    if body is None:
        return None
    return {c.co_name: c for c in body.co_consts if hasattr(c, "co_name")}


_REVERSE_CODES = _manager_codes(related_descriptors.create_reverse_many_to_one_manager,
                                "RelatedManager")
_MANY_CODES = _manager_codes(related_descriptors.create_forward_many_to_many_manager,
                             "ManyRelatedManager")
_REVERSE_METHODS = ("__init__", "_apply_rel_filters", "get_queryset", "get_prefetch_querysets")
_MANY_METHODS = _REVERSE_METHODS + ("get_prefetch_cache",)

# The parts stood in for, each as Django defines it, or None where a wrapper
# already stood there on import. Each must still be there at the call.
_ORIGINALS = row_converters.django_originals((
    (BaseManager, "__init__"), (BaseManager, "get_queryset"),
    (BaseManager, "_set_creation_counter"), (QuerySet, "_add_hints"),
    (ForeignObject, "get_local_related_value"), (ForeignObject, "get_foreign_related_value"),
    (ForeignObject, "get_instance_value_for_fields"), (DeferredAttribute, "__get__"),
    (Model, "_get_pk_val"), (Model, "_is_pk_set"), (QuerySet, "_next_is_sticky"),
    (related_descriptors.ReverseManyToOneDescriptor, "__get__"),
    (ForeignKey, "get_db_prep_value"), (AutoFieldMixin, "get_db_prep_value"),
    (IntegerField, "get_prep_value"), (Field, "get_prep_value"),
    (BaseDatabaseOperations, "validate_autopk_value"), (FieldCacheMixin, "is_cached"),
    (FieldCacheMixin, "set_cached_value")))
# What a plain ForeignKey runs of these, wherever in its bases it finds them.
_FOREIGN_KEY_METHODS = ((ForeignObject, "get_local_related_value"),
                        (ForeignObject, "get_foreign_related_value"),
                        (ForeignObject, "get_instance_value_for_fields"),
                        (FieldCacheMixin, "is_cached"), (FieldCacheMixin, "set_cached_value"),
                        (ForeignKey, "get_db_prep_value"))
_ROUTER_READ = vars(ConnectionRouter).get("db_for_read")
_PK_PROPERTY = vars(Model).get("pk")

_tally = row_converters.Tally()


def counts():
    """How many prefetch levels took the shortened path and how many ran
    Django's own, since the process started."""
    return _tally.counts()


# Deciding whether a level may be shortened costs about what shortening saves
# on two instances: fewer than this run Django's function (a detail view's).
FEW_INSTANCES = 3


def prefetch_one_level(instances, prefetcher, lookup, level):
    """django.db.models.query.prefetch_one_level while quorvel_core is installed."""
    plan = None if len(instances) < FEW_INSTANCES else _plan(instances, prefetcher, lookup, level)
    if plan is None:
        _tally.count("django")
        return DJANGO_PREFETCH_ONE_LEVEL(instances, prefetcher, lookup, level)
    _tally.count("native")
    return _level(instances, prefetcher, lookup, level, plan)


# --- when the shortened path is certain ------------------------------------

REVERSE, MANY = "reverse foreign key", "many-to-many"


class _Plan:
    """What one level reads, decided before anything runs."""
    __slots__ = ("kind", "field", "model", "rel_class", "instance_class", "rel_attname",
                 "instance_attname", "int_keys", "core_filter", "pk_attname",
                 "core_attname", "prefetch_cache_name", "by_pk")
    kind: str
    field: Any                      # the ForeignKey (the through model's, many-to-many)
    model: Any                      # the related model
    rel_class: Any                  # the class whose instances' keys are read as loaded
    instance_class: Any
    rel_attname: str | None         # where a related object's key is loaded, if readable
    instance_attname: str | None    # where an instance's key is loaded, if readable
    int_keys: bool                  # keys read only when exact ints
    core_filter: str                # many-to-many: the manager's filter name
    core_attname: str               # many-to-many: where its value is loaded
    pk_attname: str
    prefetch_cache_name: str
    by_pk: bool                     # many-to-many: the instances' side is their primary key


def _parts_as_found():
    return (RELEASE in FOLLOWED_RELEASES and DJANGO_PREFETCH_ONE_LEVEL is not None
            and _REVERSE_CODES is not None and _MANY_CODES is not None
            and all(original is not None and vars(owner).get(name) is original
                    for (owner, name), original in _ORIGINALS.items())
            and vars(ConnectionRouter).get("db_for_read") is _ROUTER_READ
            and _ROUTER_READ is not None and vars(Model).get("pk") is _PK_PROPERTY
            and related_descriptors.router is router and type(router) is ConnectionRouter
            and "db_for_read" not in vars(router) and not router.routers
            and related_descriptors.connections is connections
            and Manager._queryset_class is QuerySet
            and vars(Manager).get("get_queryset") is None
            and vars(Manager).get("__init__") is None)


def _plain_foreign_key(field):
    return type(field) is ForeignKey and all(
        mro_lookup(ForeignKey, name) is _ORIGINALS[owner, name]
        for owner, name in _FOREIGN_KEY_METHODS)


def _made_by(cls, codes, methods):
    """`cls` is a class the release's manager factory made over Django's own
    Manager, none of its methods replaced."""
    return (cls.__mro__[1] is Manager
            and all(getattr(vars(cls).get(name), "__code__", None) is codes.get(name)
                    for name in methods))


def _plain_attribute(cls, attname, descriptor_class):
    """Reading `attname` on an instance of `cls` returns its __dict__ entry
    when there is one."""
    descriptor = mro_lookup(cls, attname)
    return (type(descriptor) is descriptor_class
            and mro_lookup(descriptor_class, "__get__")
            is _ORIGINALS[DeferredAttribute, "__get__"]
            and cls.__getattribute__ is object.__getattribute__)


def _instances_plain(instances, model):
    """Every instance is of `model` itself, whose primary key (and any
    ancestor link Django looks for) is its own."""
    return not model._meta.parents and all(type(obj) is model for obj in instances)


def _manager_descriptor_is(model, to_attr, descriptor_class, manager_class):
    descriptor = mro_lookup(model, to_attr)
    return (type(descriptor) is descriptor_class
            and mro_lookup(descriptor_class, "__get__")
            is _ORIGINALS[related_descriptors.ReverseManyToOneDescriptor, "__get__"]
            and descriptor.related_manager_cls is manager_class)


def _plan(instances, prefetcher, lookup, level):
    if (not _parts_as_found() or type(lookup) is not django_query.Prefetch
            or (lookup.queryset is not None and type(lookup.queryset) is not QuerySet)
            # The native key loops read a list or a tuple.
            or type(instances) not in (list, tuple) or not instances):
        return None
    model = type(instances[0])
    to_attr, as_attr = lookup.get_current_to_attr(level)
    pk = model._meta.pk
    if not (_instances_plain(instances, model)
            and _plain_attribute(model, pk.attname, pk.descriptor_class)):
        return None
    cls = type(prefetcher)
    if _made_by(cls, _REVERSE_CODES, _REVERSE_METHODS):
        plan = _reverse_plan(prefetcher, model)
        descriptor_class = related_descriptors.ReverseManyToOneDescriptor
    elif _made_by(cls, _MANY_CODES, _MANY_METHODS):
        plan = _many_plan(prefetcher, model)
        descriptor_class = related_descriptors.ManyToManyDescriptor
    else:
        return None
    if plan is None or not (as_attr or _manager_descriptor_is(model, to_attr, descriptor_class,
                                                               cls)):
        return None
    plan.model = plan.rel_class = prefetcher.model
    plan.instance_class, plan.pk_attname = model, pk.attname
    return plan


def _reverse_plan(prefetcher, model):
    field = prefetcher.field
    if (not _plain_foreign_key(field) or len(field.local_related_fields) != 1
            or len(field.foreign_related_fields) != 1):
        return None
    local, target = field.local_related_fields[0], field.foreign_related_fields[0]
    if (local.primary_key or target.model is not model
            or not _plain_attribute(model, target.attname, target.descriptor_class)):
        return None
    plan = _Plan()
    plan.kind, plan.field, plan.int_keys = REVERSE, field, False
    plan.instance_attname = target.attname
    plan.rel_attname = (local.attname if _plain_attribute(prefetcher.model, local.attname,
                                                          local.descriptor_class) else None)
    return plan


def _int_key_field(field, connection):
    """field.get_db_prep_value(v, connection) is v for every exact int v: an
    auto field, or a foreign key to one, on a backend that takes any int as a
    key. (The methods' owners are checked by _parts_as_found.)"""
    while type(field) is ForeignKey:
        field = field.target_field
    owner = type(field)
    return (owner in (AutoField, BigAutoField, SmallAutoField)
            and mro_lookup(owner, "get_db_prep_value")
            is _ORIGINALS[AutoFieldMixin, "get_db_prep_value"]
            and mro_lookup(owner, "get_prep_value") is _ORIGINALS[IntegerField, "get_prep_value"]
            and mro_lookup(type(connection.ops), "validate_autopk_value")
            is _ORIGINALS[BaseDatabaseOperations, "validate_autopk_value"])


def _many_plan(prefetcher, model):
    source = prefetcher.source_field
    if not _plain_foreign_key(source) or len(source.related_fields) != 1:
        return None
    _, value_field = source.related_fields[0]
    if (value_field.model is not model
            or not _plain_attribute(model, value_field.attname, value_field.descriptor_class)):
        return None
    plan = _Plan()
    plan.kind, plan.field, plan.int_keys = MANY, source, True
    plan.core_filter = f"{prefetcher.query_field_name}__{value_field.name}"
    plan.core_attname = value_field.attname
    plan.by_pk = value_field.primary_key
    plan.prefetch_cache_name = prefetcher.prefetch_cache_name
    plan.rel_attname = plan.instance_attname = None  # read once the level's queryset is made
    return plan


# --- the level -------------------------------------------------------------

_MISSING = object()
_KEY_TYPES = (int, str, uuid.UUID)


def _level(instances, prefetcher, lookup, level, plan):
    """The release's prefetch_one_level(), line by line, for these prefetchers."""
    querysets = lookup.get_current_querysets(level)
    if plan.kind is REVERSE:
        prefetched = _reverse_prefetch_querysets(prefetcher, instances, querysets, plan)
    else:
        prefetched = _many_prefetch_querysets(prefetcher, instances, querysets, plan)
    (
        rel_qs,
        rel_obj_attr,
        instance_attr,
        single,
        cache_name,
        is_descriptor,
    ) = prefetched
    additional_lookups = [
        django_query.copy.copy(additional_lookup)
        for additional_lookup in getattr(rel_qs, "_prefetch_related_lookups", ())
    ]
    if additional_lookups:
        rel_qs._prefetch_related_lookups = ()

    all_related_objects = list(rel_qs)

    # rel_obj_cache.setdefault(rel_attr_val, []).append(rel_obj) for each in turn.
    rel_obj_cache = native.related_by_key(all_related_objects, _keys(
        all_related_objects, plan.rel_attname, plan.rel_class, plan.int_keys, rel_obj_attr))

    to_attr, as_attr = lookup.get_current_to_attr(level)
    if as_attr and instances:
        model = instances[0].__class__
        try:
            model._meta.get_field(to_attr)
        except django_query.exceptions.FieldDoesNotExist:
            pass
        else:
            msg = "to_attr={} conflicts with a field on the {} model."
            raise ValueError(msg.format(to_attr, model.__name__))

    leaf = len(lookup.prefetch_through.split(django_query.LOOKUP_SEP)) - 1 == level
    filtered = leaf and lookup.queryset is not None
    instance_queryset = (_reverse_instance_queryset if plan.kind is REVERSE
                         else _many_instance_queryset)
    features = {}
    clone = _clone_step(queryset_chain.parts_as_found())
    keys = _keys(instances, plan.instance_attname, plan.instance_class, plan.int_keys,
                 instance_attr)
    queryset = lookup.queryset if filtered else None
    if not as_attr and clone in (queryset_chain.deferred_filter, queryset_chain.chained):
        # The loop below natively, with the instance functions' branches that
        # Django's managers take left to the functions themselves.
        _native_level(instances, keys, rel_obj_cache, cache_name, queryset, plan, features,
                      lambda obj: instance_queryset(obj, plan, to_attr, queryset, features, clone))
        return all_related_objects, additional_lookups
    for obj, instance_attr_val in zip(instances, keys):
        vals = rel_obj_cache.get(instance_attr_val, [])
        if as_attr:
            setattr(obj, to_attr, vals)
            continue
        qs = instance_queryset(obj, plan, to_attr, queryset, features, clone)
        qs._result_cache = vals
        qs._prefetch_done = True
        obj._prefetched_objects_cache[cache_name] = qs
    return all_related_objects, additional_lookups


def _native_level(instances, keys, rel_obj_cache, cache_name, queryset, plan, features, slow):
    """_level()'s loop over its instances, natively (6.1's managers filter in
    place with _filtered_in_place)."""
    in_place = _filtered_in_place if FILTERS_IN_PLACE else None
    if plan.kind is REVERSE:
        field = plan.field
        native.reverse_level(instances, keys, rel_obj_cache, cache_name, queryset, field,
                             plan.instance_attname, plan.pk_attname,
                             field.remote_field.cache_name, plan.model, features, slow,
                             in_place)
    else:
        native.many_level(instances, keys, rel_obj_cache, cache_name, queryset,
                          plan.core_attname, plan.pk_attname, plan.core_filter,
                          plan.prefetch_cache_name, plan.model, slow, in_place)


def _clone_step(written_out):
    """The one step that clones an instance's QuerySet: 6.1's _chain() of a
    Prefetch's queryset, or 5.2's and 6.0's deferred filter(); written out
    where queryset_chain says it may be."""
    if FILTERS_IN_PLACE:
        return queryset_chain.chained if written_out else queryset_chain.django_chained
    return (queryset_chain.deferred_filter if written_out
            else queryset_chain.django_deferred_filter)


def _keys(objs, attname, cls, int_keys, django_key):
    """[django_key(obj) for obj in objs], the loaded keys read where certain:
    the one-item tuple of an int (with int_keys) or of any value (without)
    loaded under `attname` in the __dict__ of an obj of exactly `cls`, which
    is what Django's key function returns for it; attname None reads none."""
    return native.level_keys(objs, attname, cls, int_keys, django_key)


def _many_keys(plan, fk, connection):
    """The keys the level may read itself: those of a single key field whose
    database value is the loaded int."""
    plan.rel_attname = plan.instance_attname = None
    if len(fk.local_related_fields) != 1 or len(fk.foreign_related_fields) != 1:
        return
    local, target = fk.local_related_fields[0], fk.foreign_related_fields[0]
    if _int_key_field(local, connection) and mro_lookup(
            plan.rel_class, f"_prefetch_related_val_{local.attname}") is None:
        plan.rel_attname = f"_prefetch_related_val_{local.attname}"
    if _int_key_field(target, connection) and _plain_attribute(
            plan.instance_class, target.attname, target.descriptor_class):
        plan.instance_attname = target.attname


def _level_queryset(prefetcher, instances, querysets):
    """How both managers' get_prefetch_querysets() begin: the level's queryset
    with its hints and database, before it is filtered to the instances, and
    whether its cloning is disabled until then (6.1, a new queryset)."""
    if querysets and len(querysets) != 1:
        raise ValueError(
            "querysets argument of get_prefetch_querysets() should have a "
            "length of 1."
        )
    new = not querysets
    queryset = querysets[0] if querysets else super(type(prefetcher), prefetcher).get_queryset()
    if new and FILTERS_IN_PLACE:
        queryset = queryset._disable_cloning()
    queryset._add_hints(instance=instances[0])
    queryset = queryset.using(queryset._db or prefetcher._db)
    return queryset, new and FILTERS_IN_PLACE


def _restore_cloning(queryset, disabled):
    if disabled:
        queryset._enable_cloning()


def _many_prefetch_querysets(prefetcher, instances, querysets, plan):
    """The many-to-many manager's get_prefetch_querysets(), line by line."""
    queryset, disabled = _level_queryset(prefetcher, instances, querysets)
    keys = _loaded_keys(instances, plan.pk_attname, plan.core_attname) if plan.by_pk else None
    queryset = related_descriptors._filter_prefetch_queryset(
        queryset, prefetcher.query_field_name, keys or instances)

    # M2M: need to annotate the query in order to get the primary model
    # that the secondary model was actually related to. We know that
    # there will already be a join on the join table, so we can just add
    # the select.

    # For non-autocreated 'through' models, can't assume we are
    # dealing with PK values.
    fk = prefetcher.through._meta.get_field(prefetcher.source_field_name)
    join_table = fk.model._meta.db_table
    connection = connections[queryset.db]
    qn = connection.ops.quote_name
    queryset = queryset.extra(
        select={
            "_prefetch_related_val_%s"
            % f.attname: "%s.%s"
            % (qn(join_table), qn(f.column))
            for f in fk.local_related_fields
        }
    )
    _restore_cloning(queryset, disabled)
    _many_keys(plan, fk, connection)
    return (
        queryset,
        lambda result: tuple(
            f.get_db_prep_value(
                getattr(result, f"_prefetch_related_val_{f.attname}"),
                connection,
            )
            for f in fk.local_related_fields
        ),
        lambda inst: tuple(
            f.get_db_prep_value(getattr(inst, f.attname), connection)
            for f in fk.foreign_related_fields
        ),
        False,
        prefetcher.prefetch_cache_name,
        False,
    )


def _reverse_prefetch_querysets(prefetcher, instances, querysets, plan):
    """The reverse manager's get_prefetch_querysets(), line by line."""
    queryset, disabled = _level_queryset(prefetcher, instances, querysets)

    field = plan.field
    rel_obj_attr = field.get_local_related_value
    instance_attr = field.get_foreign_related_value
    instances_dict = dict(zip(_keys(instances, plan.instance_attname, plan.instance_class,
                                    False, instance_attr), instances))
    queryset = related_descriptors._filter_prefetch_queryset(
        queryset, field.name,
        _loaded_keys(instances, plan.pk_attname, plan.instance_attname) or instances)
    _restore_cloning(queryset, disabled)

    # Since we just bypassed this class' get_queryset(), we must manage
    # the reverse relation manually.
    # Each related object's fields cache without cache_name gets the instance
    # of its key, the key read as _keys() reads it.
    cache_name = field.cache_name
    native.cache_reverse(list(queryset), plan.rel_attname, plan.rel_class, cache_name,
                         instances_dict, rel_obj_attr)
    cache_name = field.remote_field.cache_name
    return queryset, rel_obj_attr, instance_attr, False, cache_name, False


def _loaded_keys(instances, pk_attname, attname):
    """What the `field__in` filter reads from each instance (its key, once its
    primary key says it is saved), as loaded, or None where one of them would
    make Django load a field or refuse. The filter normalizes instances to
    these values before anything else sees them, so its SQL is the same."""
    return native.filter_keys(instances, pk_attname, attname)


def _reverse_instance_queryset(obj, plan, to_attr, queryset, features, clone):
    """What `getattr(obj, to_attr)` then `_apply_rel_filters(queryset)` (a
    Prefetch's queryset at the leaf) or `get_queryset()` return: the manager
    made for `obj` has no database of its own and the hints of a new one.
    `clone` is _clone_step()'s."""
    alone = queryset is None
    if alone:
        pk = obj.__dict__.get(plan.pk_attname)
        if pk is None:
            # Unsaved, or its key deferred: Django's own manager says so or loads it.
            return getattr(obj, to_attr).get_queryset()
        BaseManager.creation_counter += 1
        cached = getattr(obj, "_prefetched_objects_cache", {}).get(
            plan.field.remote_field.cache_name, _MISSING)
        if cached is not _MISSING:
            return cached
        queryset = QuerySet(model=plan.model, using=None, hints={})
    else:
        BaseManager.creation_counter += 1
        if FILTERS_IN_PLACE:
            queryset = clone(queryset)
    db = obj._state.db or DEFAULT_DB_ALIAS
    empty_strings_as_null = features.get(db)
    if empty_strings_as_null is None:
        empty_strings_as_null = features[db] = _empty_strings_as_null(db)
    field = plan.field
    if FILTERS_IN_PLACE:
        queryset = _filtered_in_place(queryset, obj, {field.name: obj})
    else:
        queryset._add_hints(instance=obj)
        queryset = clone(queryset, {field.name: obj}, alone=alone)
    val = obj.__dict__.get(plan.instance_attname, _MISSING)
    if val is _MISSING:
        val = getattr(obj, plan.instance_attname)
    if val is None or (val == "" and empty_strings_as_null):
        return queryset.none()
    queryset._known_related_objects = {field: {val: obj}}
    return queryset


def _many_instance_queryset(obj, plan, to_attr, queryset, features, clone):
    """What `getattr(obj, to_attr)` then `_apply_rel_filters(queryset)` or
    `get_queryset()` return, for a many-to-many manager over Django's Manager.
    `clone` is _clone_step()'s."""
    state = obj.__dict__
    value, pk = state.get(plan.core_attname), state.get(plan.pk_attname)
    cache = state.get("_prefetched_objects_cache")
    if type(value) not in _KEY_TYPES or type(pk) not in _KEY_TYPES or type(cache) is not dict:
        # Django's manager: its errors for an unsaved instance, its loads.
        manager = getattr(obj, to_attr)
        if queryset is not None and FILTERS_IN_PLACE:
            queryset = queryset._chain()
        return (manager.get_queryset() if queryset is None
                else manager._apply_rel_filters(queryset))
    BaseManager.creation_counter += 1
    alone = queryset is None
    if alone:
        cached = cache.get(plan.prefetch_cache_name)
        if cached is not None:
            return cached
        queryset = QuerySet(model=plan.model, using=None, hints={})
    elif FILTERS_IN_PLACE:
        queryset = clone(queryset)
    kwargs = {plan.core_filter: value}
    if FILTERS_IN_PLACE:
        return _filtered_in_place(queryset, obj, kwargs, sticky=True)
    queryset._add_hints(instance=obj)
    return clone(queryset, kwargs, sticky=True, alone=alone)


def _filtered_in_place(queryset, obj, kwargs, sticky=False):
    """How 6.1's managers' _apply_rel_filters() filter `queryset` for `obj`
    (their manager has no database of its own)."""
    with queryset._avoid_cloning():
        queryset._add_hints(instance=obj)
        queryset._fetch_mode = obj._state.fetch_mode
        queryset._defer_next_filter = True
        if sticky:
            queryset = queryset._next_is_sticky()
        return queryset.filter(**kwargs)


def _empty_strings_as_null(db):
    return connections[db].features.interprets_empty_strings_as_nulls


native.configure_prefetch(manager_class=BaseManager, queryset_class=QuerySet,
                          default_db=DEFAULT_DB_ALIAS,
                          features_of=_empty_strings_as_null,
                          django_filter=queryset_chain.django_deferred_filter,
                          django_chain=queryset_chain.django_chained, missing=_MISSING)
