"""prefetch_related over a reverse foreign key, Django's work with its
per-object steps shortened.

While the row loop is installed, `django.db.models.query.prefetch_one_level`
is `prefetch_one_level` here. For one kind of prefetcher, the manager Django
makes for the reverse side of a plain `ForeignKey` (`order.items`) whose
related model's manager is Django's own `Manager`, it runs the release's
`prefetch_one_level` and the manager's `get_prefetch_querysets` and
`_apply_rel_filters` line by line, with the same queries, the same objects in
the same caches and the same `QuerySet` per instance (its query cloned by
Django's own `filter()`). What it leaves out is only what leaves no trace:
the related manager made per instance and dropped again (its creation
counter is still counted), the router asked per instance when there are no
routers, and the calls that read a key from an instance's `__dict__`. Any
other prefetcher, a wrapper on any of the parts it stands in for, routers,
or a release it does not follow runs Django's own function.
"""

import threading

import django
from django.db import connections, router
from django.db.models import Manager, QuerySet
from django.db.models import query as django_query
from django.db.models.base import Model
from django.db.models.fields import DeferredAttribute
from django.db.models.fields import related_descriptors
from django.db.models.fields.related import ForeignKey, ForeignObject
from django.db.models.manager import BaseManager
from django.db.utils import ConnectionRouter, DEFAULT_DB_ALIAS

from . import row_converters

# The releases whose prefetch_one_level and reverse many-to-one manager this
# module follows; 6.1 clones and fetches in its own way and runs Django's.
FOLLOWED_RELEASES = ((5, 2), (6, 0))
RELEASE = tuple(django.VERSION[:2])

DJANGO_PREFETCH_ONE_LEVEL = row_converters.django_function(
    vars(django_query).get("prefetch_one_level"), "prefetch_one_level")


def _related_manager_codes():
    """The code of the reverse many-to-one manager's methods, as the release's
    `create_reverse_many_to_one_manager` builds every such class."""
    outer = related_descriptors.create_reverse_many_to_one_manager.__code__
    body = next((c for c in outer.co_consts if getattr(c, "co_name", None) == "RelatedManager"),
                None)
    if body is None:
        return None
    return {c.co_name: c for c in body.co_consts if hasattr(c, "co_name")}


_MANAGER_CODES = _related_manager_codes()
_MANAGER_METHODS = ("__init__", "_apply_rel_filters", "get_queryset", "get_prefetch_querysets")

# The parts stood in for, each as Django defines it, or None where a wrapper
# already stood there on import. Each must still be there at the call.
_ORIGINALS = {
    (owner, name): row_converters.django_function(vars(owner).get(name),
                                                  f"{owner.__name__}.{name}")
    for owner, name in (
        (BaseManager, "__init__"), (BaseManager, "get_queryset"),
        (BaseManager, "_set_creation_counter"), (QuerySet, "_add_hints"),
        (ForeignObject, "get_local_related_value"), (ForeignObject, "get_foreign_related_value"),
        (ForeignObject, "get_instance_value_for_fields"), (DeferredAttribute, "__get__"),
        (Model, "_get_pk_val"), (Model, "_is_pk_set"),
        (related_descriptors.ReverseManyToOneDescriptor, "__get__"))
}
_ROUTER_READ = vars(ConnectionRouter).get("db_for_read")
_PK_PROPERTY = vars(Model).get("pk")

_lock = threading.Lock()
_counts = {"native": 0, "django": 0}


def counts():
    """How many prefetch levels took the shortened path and how many ran
    Django's own, since the process started."""
    with _lock:
        return dict(_counts)


def _count(key):
    with _lock:
        _counts[key] += 1


def prefetch_one_level(instances, prefetcher, lookup, level):
    """django.db.models.query.prefetch_one_level while quorvel_core is installed."""
    plan = _plan(instances, prefetcher, lookup, level)
    if plan is None:
        _count("django")
        return DJANGO_PREFETCH_ONE_LEVEL(instances, prefetcher, lookup, level)
    _count("native")
    return _reverse_foreign_key_level(instances, prefetcher, lookup, level, plan)


# --- when the shortened path is certain ------------------------------------

class _Plan:
    __slots__ = ("field", "model", "cache_name", "local_attname", "target_attname",
                 "instance_class", "rel_class", "rel_key_is_plain")


def _class_attribute(cls, name):
    for base in cls.__mro__:
        if name in vars(base):
            return vars(base)[name]
    return None


def _parts_as_found():
    return (RELEASE in FOLLOWED_RELEASES and DJANGO_PREFETCH_ONE_LEVEL is not None
            and _MANAGER_CODES is not None
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


def _is_related_manager(cls):
    """`cls` is a class the release's create_reverse_many_to_one_manager made
    over Django's own Manager, none of its methods replaced."""
    return (cls.__mro__[1] is Manager
            and all(getattr(vars(cls).get(name), "__code__", None) is _MANAGER_CODES.get(name)
                    for name in _MANAGER_METHODS))


def _plain_attribute(cls, attname, descriptor_class):
    descriptor = _class_attribute(cls, attname)
    return (type(descriptor) is descriptor_class
            and _class_attribute(descriptor_class, "__get__") is _ORIGINALS[DeferredAttribute, "__get__"]
            and cls.__getattribute__ is object.__getattribute__)


def _plan(instances, prefetcher, lookup, level):
    cls = type(prefetcher)
    if not _parts_as_found() or not _is_related_manager(cls):
        return None
    field = prefetcher.field
    if (type(field) is not ForeignKey or len(field.local_related_fields) != 1
            or len(field.foreign_related_fields) != 1):
        return None
    local, target = field.local_related_fields[0], field.foreign_related_fields[0]
    instance_class = target.model
    if (local.primary_key or instance_class._meta.parents or type(lookup) is not django_query.Prefetch
            or (lookup.queryset is not None and type(lookup.queryset) is not QuerySet)
            or not all(type(obj) is instance_class for obj in instances)):
        return None
    to_attr, as_attr = lookup.get_current_to_attr(level)
    descriptor = None
    if not as_attr:
        descriptor = _class_attribute(instance_class, to_attr)
        if (type(descriptor) is not related_descriptors.ReverseManyToOneDescriptor
                or descriptor.related_manager_cls is not cls):
            return None
    pk = instance_class._meta.pk
    if not (_plain_attribute(instance_class, target.attname, target.descriptor_class)
            and _plain_attribute(instance_class, pk.attname, pk.descriptor_class)):
        return None
    plan = _Plan()
    plan.field, plan.model = field, prefetcher.model
    plan.cache_name = field.cache_name
    plan.local_attname, plan.target_attname = local.attname, target.attname
    plan.instance_class, plan.rel_class = instance_class, prefetcher.model
    plan.rel_key_is_plain = _plain_attribute(prefetcher.model, local.attname,
                                             local.descriptor_class)
    return plan


# --- the level -------------------------------------------------------------

_MISSING = object()


def _instance_key(obj, plan, instance_attr):
    """field.get_foreign_related_value(obj): the target's value as its
    descriptor returns it when loaded, Django's call when it is deferred."""
    value = obj.__dict__.get(plan.target_attname, _MISSING)
    return instance_attr(obj) if value is _MISSING else (value,)


def _prefetch_querysets(prefetcher, instances, querysets, plan):
    """The manager's get_prefetch_querysets(), line by line."""
    if querysets and len(querysets) != 1:
        raise ValueError(
            "querysets argument of get_prefetch_querysets() should have a "
            "length of 1."
        )
    queryset = querysets[0] if querysets else super(type(prefetcher), prefetcher).get_queryset()
    queryset._add_hints(instance=instances[0])
    queryset = queryset.using(queryset._db or prefetcher._db)

    field = plan.field
    rel_obj_attr = field.get_local_related_value
    instance_attr = field.get_foreign_related_value
    instances_dict = {_instance_key(inst, plan, instance_attr): inst for inst in instances}
    queryset = related_descriptors._filter_prefetch_queryset(queryset, field.name, instances)

    cache_name, local_attname, rel_class = plan.cache_name, plan.local_attname, plan.rel_class
    plain = plan.rel_key_is_plain
    for rel_obj in queryset:
        fields_cache = rel_obj._state.fields_cache
        if cache_name not in fields_cache:
            value = (rel_obj.__dict__.get(local_attname, _MISSING)
                     if plain and type(rel_obj) is rel_class else _MISSING)
            key = rel_obj_attr(rel_obj) if value is _MISSING else (value,)
            fields_cache[cache_name] = instances_dict[key]
    cache_name = field.remote_field.cache_name
    return queryset, rel_obj_attr, instance_attr, False, cache_name, False


def _reverse_foreign_key_level(instances, prefetcher, lookup, level, plan):
    """The release's prefetch_one_level(), line by line, for this prefetcher."""
    (
        rel_qs,
        rel_obj_attr,
        instance_attr,
        single,
        cache_name,
        is_descriptor,
    ) = _prefetch_querysets(prefetcher, instances, lookup.get_current_querysets(level), plan)
    additional_lookups = [
        django_query.copy.copy(additional_lookup)
        for additional_lookup in getattr(rel_qs, "_prefetch_related_lookups", ())
    ]
    if additional_lookups:
        rel_qs._prefetch_related_lookups = ()

    all_related_objects = list(rel_qs)

    rel_obj_cache = {}
    local_attname, rel_class = plan.local_attname, plan.rel_class
    plain = plan.rel_key_is_plain
    for rel_obj in all_related_objects:
        value = (rel_obj.__dict__.get(local_attname, _MISSING)
                 if plain and type(rel_obj) is rel_class else _MISSING)
        rel_attr_val = rel_obj_attr(rel_obj) if value is _MISSING else (value,)
        rel_obj_cache.setdefault(rel_attr_val, []).append(rel_obj)

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
    features = {}
    for obj in instances:
        vals = rel_obj_cache.get(_instance_key(obj, plan, instance_attr), [])
        if as_attr:
            setattr(obj, to_attr, vals)
            continue
        qs = _instance_queryset(obj, plan, to_attr, lookup.queryset if filtered else None,
                                features)
        qs._result_cache = vals
        qs._prefetch_done = True
        obj._prefetched_objects_cache[cache_name] = qs
    return all_related_objects, additional_lookups


def _instance_queryset(obj, plan, to_attr, queryset, features):
    """What `getattr(obj, to_attr)` then `_apply_rel_filters(queryset)` (a
    Prefetch's queryset at the leaf) or `get_queryset()` return: the manager
    made for `obj` has no database of its own and the hints of a new one."""
    if queryset is None:
        pk = obj.__dict__.get(obj._meta.pk.attname)
        if pk is None:
            # Unsaved, or its key deferred: Django's own manager says so or loads it.
            return getattr(obj, to_attr).get_queryset()
        BaseManager.creation_counter += 1
        cached = obj._prefetched_objects_cache.get(plan.field.remote_field.cache_name, _MISSING)
        if cached is not _MISSING:
            return cached
        queryset = QuerySet(model=plan.model, using=None, hints={})
    else:
        BaseManager.creation_counter += 1
    return _apply_rel_filters(obj, plan, queryset, features)


def _apply_rel_filters(obj, plan, queryset, features):
    db = obj._state.db or DEFAULT_DB_ALIAS
    empty_strings_as_null = features.get(db)
    if empty_strings_as_null is None:
        empty_strings_as_null = features[db] = connections[
            db
        ].features.interprets_empty_strings_as_nulls
    queryset._add_hints(instance=obj)
    queryset._defer_next_filter = True
    field = plan.field
    queryset = queryset.filter(**{field.name: obj})
    val = obj.__dict__.get(plan.target_attname, _MISSING)
    if val is _MISSING:
        val = getattr(obj, plan.target_attname)
    if val is None or (val == "" and empty_strings_as_null):
        return queryset.none()
    queryset._known_related_objects = {field: {val: obj}}
    return queryset
