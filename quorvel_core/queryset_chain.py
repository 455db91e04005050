"""The QuerySet a prefetched instance keeps: Django's deferred filter(),
without its general machinery.

prefetch_related gives every instance its own QuerySet, made by
`queryset._defer_next_filter = True; queryset.filter(**core_filters)`: a
clone of the QuerySet and of its Query, the filter left to apply when the
query is next read. On a page of a hundred orders that clone is about a
tenth of the whole queryset's cost, most of it calls and copy.deepcopy's
dispatch. `deferred_filter()` makes the same clone with the statements of
QuerySet.filter(), _filter_or_exclude(), _chain(), _clone(), __init__(),
Query.chain(), Query.clone() and WhereNode.clone() of the releases that
write them this way, in the same order, where the queryset, its query and
its where tree are Django's own classes with those methods as Django
defines them, and the query needs none of their general cases (a combined
or sliced query, a subclass's _setup_query, a select_related tree that is
not plain dicts of names). Anything else calls Django's filter().

Django 6.1 filters an instance's QuerySet in place instead, after one
`_chain()` of a Prefetch's queryset: `chained()` makes that clone the same
way (6.1's QuerySet adds `_fetch_mode` and `_cloning_enabled`).
"""

import copy

from django.db.models import QuerySet
from django.db.models.sql import query as sql_query
from django.db.models.sql.query import Query
from django.db.models.sql.where import WhereNode
from django.utils.tree import Node

from . import _quorvel_core as native
from . import row_converters, snapshot
from .row_converters import mro_lookup
# FETCH_MODES: 6.1's QuerySet.__init__ and _clone() add _fetch_mode and _cloning_enabled.
from .rows import FETCH_MODES, FOLLOWED_RELEASES, RELEASE

_ORIGINALS = row_converters.django_originals((
    (QuerySet, "__init__"), (QuerySet, "filter"), (QuerySet, "_filter_or_exclude"),
    (QuerySet, "_not_support_combined_queries"), (QuerySet, "_chain"), (QuerySet, "_clone"),
    (QuerySet, "_next_is_sticky"), (Query, "chain"), (Query, "clone"),
    (WhereNode, "clone"), (Node, "create"), (Node, "__init__")))
_PROPERTIES = {(owner, name): vars(owner).get(name)
               for owner, name in ((QuerySet, "query"), (Query, "is_sliced"))}
_DEEPCOPY = copy.deepcopy
_DEEPCOPY_DICT = getattr(copy, "_deepcopy_dict", None)


def _property_is_django(owner, name, prop):
    return (type(prop) is property and vars(owner).get(name) is prop
            and row_converters.django_function(prop.fget, f"{owner.__name__}.{name}") is not None)


def parts_as_found():
    """Django's methods this module writes out are all in place, unwrapped."""
    return _PARTS_GUARD.holds()


def _parts_homes():
    """What _parts_as_found() reads: these classes along their MROs, the
    modules' dicts and deepcopy's dispatch table."""
    dispatch = getattr(copy, "_deepcopy_dispatch", None)
    return (QuerySet, Query, WhereNode, Node, vars(copy), vars(sql_query),
            *((dispatch,) if type(dispatch) is dict else ()))


def _parts_as_found():
    return (RELEASE in FOLLOWED_RELEASES
            and all(original is not None and vars(owner).get(name) is original
                    for (owner, name), original in _ORIGINALS.items())
            and all(_property_is_django(owner, name, prop)
                    for (owner, name), prop in _PROPERTIES.items())
            and mro_lookup(WhereNode, "create") is _ORIGINALS[Node, "create"]
            and sql_query.copy is copy and copy.deepcopy is _DEEPCOPY
            and _DEEPCOPY_DICT is not None
            and getattr(copy, "_deepcopy_dispatch", {}).get(dict) is _DEEPCOPY_DICT
            and QuerySet.__new__ is object.__new__ and Query.__new__ is object.__new__
            and Query.__getattribute__ is object.__getattribute__
            and all(mro_lookup(Query, name) is None
                    for name in ("__bool__", "__len__", "__getattr__", "_setup_query"))
            and mro_lookup(QuerySet, "__getattr__") is None
            and QuerySet.__getattribute__ is object.__getattribute__
            and _query_dict_plain() and _nodes_plain())


# What Query.clone() copies, which the native clone reads from the query's
# __dict__ and writes into its clone's.
_CLONED_NAMES = ("alias_refcount", "alias_map", "external_aliases", "table_map", "where",
                 "annotations", "annotation_select_mask", "_annotation_select_cache", "extra",
                 "extra_select_mask", "_extra_select_cache", "select_related", "subq_aliases",
                 "used_aliases", "_filtered_relations", "filter_is_sticky", "base_table")


def _no_data_descriptors(cls, names):
    return not any(hasattr(type(mro_lookup(cls, name)), attribute)
                   for name in names for attribute in ("__set__", "__delete__"))


def _query_dict_plain():
    """`query.name` is `query.__dict__[name]` where set, and setting it
    stores there, for each name the clone copies."""
    return Query.__setattr__ is object.__setattr__ and _no_data_descriptors(Query, _CLONED_NAMES)


def _nodes_plain():
    """A WhereNode made with object.__new__ and given Node.__init__'s
    attributes ends as one made by Node() then given its class."""
    return (all(cls.__new__ is object.__new__ and cls.__setattr__ is object.__setattr__
                and type(cls) is type for cls in (WhereNode, Node))
            and _no_data_descriptors(WhereNode, ("children", "connector", "negated")))


_PARTS_GUARD = snapshot.Guard(_parts_homes, _parts_as_found)


def django_deferred_filter(queryset, kwargs, sticky=False, alone=False):
    """What prefetch_related runs for an instance's QuerySet, as Django runs it."""
    queryset._defer_next_filter = True
    if sticky:
        queryset = queryset._next_is_sticky()
    return queryset.filter(**kwargs)


def deferred_filter(queryset, kwargs, sticky=False, alone=False):
    """django_deferred_filter(queryset, kwargs, sticky), written out, for a
    caller that has seen parts_as_found() hold. `alone`: the caller has just
    made `queryset` with QuerySet(model=...) and drops it after this call, so
    the clone is made in its place: what a copy of the new query's own
    containers would hold is what they hold, and no one else sees them.
    Where the queryset is not plain (see below), Django's own filter() runs."""
    clone = native.deferred_filter(queryset, kwargs, sticky, alone)
    return django_deferred_filter(queryset, kwargs, sticky) if clone is None else clone


def django_chained(queryset):
    return queryset._chain()


def chained(queryset):
    """queryset._chain(), written out, for a caller that has seen
    parts_as_found() hold. (6.1 also lets a queryset be changed in place.)"""
    clone = native.chained(queryset)
    return queryset._chain() if clone is None else clone


# Both are native (src/queryset_chain.cpp), statement for statement as these
# steps, where the queryset is plain: Django's own QuerySet and Query, no
# filter pending, hints an exact dict, not combined or sliced, no
# _setup_query of the query's own, a where tree of WhereNodes whose clone()
# is WhereNode's, a select_related tree of plain dicts of names, and (6.1)
# cloning not disabled. The clone is QuerySet._clone() with Query.chain() and
# clone() inline: the query's __dict__ copied, then its containers copied one
# by one in clone()'s order, the where tree cloned as WhereNode.create() and
# clone() do, the select_related tree copied as copy.deepcopy copies it, the
# base_table cache dropped and used_aliases reset unless the filter is sticky;
# then the QuerySet made with __init__'s attributes in __init__'s order. A
# query the caller has just made and drops (`alone`, nothing set on it that
# clone() copies only when set) is chained in its place instead. A sticky
# filter then carries to the clone's query once, and the filter is left
# pending as filter() leaves it: `_deferred_filter = False, (), kwargs`.
native.configure_queryset_chain(queryset=QuerySet, query=Query, where_node=WhereNode, node=Node,
                                fetch_modes=FETCH_MODES)
