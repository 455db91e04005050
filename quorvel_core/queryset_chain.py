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

from . import row_converters
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
            and QuerySet.__getattribute__ is object.__getattribute__)


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
    containers would hold is what they hold, and no one else sees them."""
    query = _clonable_query(queryset)
    if query is None or query.is_sliced:  # filter() refuses a sliced query
        return django_deferred_filter(queryset, kwargs, sticky)
    if alone and query.select_related is False and _as_new(query):
        clone = queryset
        _chain_in_place(query)
    else:
        clone = _clone_of(queryset, query)
        if clone is None:
            return django_deferred_filter(queryset, kwargs, sticky)
    if sticky:
        queryset._sticky_filter = True
        clone._sticky_filter = True
    _stick(clone)
    queryset._defer_next_filter = False
    clone._deferred_filter = False, (), kwargs
    return clone


def django_chained(queryset):
    return queryset._chain()


def chained(queryset):
    """queryset._chain(), written out, for a caller that has seen
    parts_as_found() hold. (6.1 also lets a queryset be changed in place.)"""
    query = _clonable_query(queryset)
    clone = None if query is None else _clone_of(queryset, query)
    if clone is None:
        return queryset._chain()
    _stick(clone)
    return clone


def _stick(clone):
    """How _chain() ends: a sticky filter carries to the clone's query once."""
    if clone._sticky_filter:
        clone._query.filter_is_sticky = True
        clone._sticky_filter = False


def _clonable_query(queryset):
    """The query of `queryset` where its clone is the one written out here:
    Django's own QuerySet and Query, no filter pending, hints an exact dict,
    not combined, no _setup_query of its own, a where tree of plain nodes,
    and (6.1) cloning not disabled. None otherwise."""
    if type(queryset) is not QuerySet or (FETCH_MODES and queryset._cloning_enabled is not True):
        return None
    query = queryset.__dict__.get("_query")
    if (not queryset._deferred_filter and type(query) is Query
            and type(queryset._hints) is dict and not query.combinator
            and not query.combined_queries
            and "_setup_query" not in query.__dict__ and _plain_where(query.where)):
        return query
    return None


def _clone_of(queryset, query):
    """QuerySet._clone() of a _clonable_query's queryset, or None where its
    select_related tree is not one this module copies."""
    select_related = query.select_related
    if select_related is not False:
        select_related = _copied_names(select_related, {})
        if select_related is None:
            return None
    return _cloned(queryset, _chained_query(query, select_related))


# What Query.clone() copies only when it is set on the query itself.
_CLONED_WHEN_SET = ("annotation_select_mask", "extra_select_mask", "_extra_select_cache",
                    "subq_aliases")


def _as_new(query):
    return not any(name in query.__dict__ for name in _CLONED_WHEN_SET)


def _chain_in_place(query):
    """What Query.chain() leaves in the clone of a new query (see _as_new),
    left in the query itself."""
    query._annotation_select_cache = None
    query.__dict__.pop("base_table", None)
    if not query.filter_is_sticky:
        query.used_aliases = set()
    query.filter_is_sticky = False


def _cloned(source, query):
    """QuerySet._clone() over `query`, already chained: __init__'s attributes
    in __init__'s order, holding what _clone() leaves in them."""
    clone = object.__new__(QuerySet)
    clone.model = source.model
    clone._db = source._db
    clone._hints = source._hints or {}
    clone._query = query
    clone._result_cache = None
    clone._sticky_filter = source._sticky_filter
    clone._for_write = source._for_write
    clone._prefetch_related_lookups = source._prefetch_related_lookups[:]
    clone._prefetch_done = False
    clone._known_related_objects = source._known_related_objects
    clone._iterable_class = source._iterable_class
    if FETCH_MODES:
        clone._fetch_mode = source._fetch_mode
    clone._fields = source._fields
    clone._defer_next_filter = False
    clone._deferred_filter = None
    if FETCH_MODES:
        clone._cloning_enabled = True
    return clone


def _chained_query(self, select_related):
    """Query.chain() with Query.clone() inline; `select_related` is the deep
    copy of the query's, made by the caller."""
    obj = object.__new__(Query)
    obj.__dict__ = self.__dict__.copy()
    obj.alias_refcount = self.alias_refcount.copy()
    obj.alias_map = self.alias_map.copy()
    obj.external_aliases = self.external_aliases.copy()
    obj.table_map = self.table_map.copy()
    obj.where = _where_clone(self.where)
    obj.annotations = self.annotations.copy()
    if self.annotation_select_mask is not None:
        obj.annotation_select_mask = self.annotation_select_mask.copy()
    obj._annotation_select_cache = None
    obj.extra = self.extra.copy()
    if self.extra_select_mask is not None:
        obj.extra_select_mask = self.extra_select_mask.copy()
    if self._extra_select_cache is not None:
        obj._extra_select_cache = self._extra_select_cache.copy()
    if self.select_related is not False:
        obj.select_related = select_related
    if "subq_aliases" in self.__dict__:
        obj.subq_aliases = self.subq_aliases.copy()
    obj.used_aliases = self.used_aliases.copy()
    obj._filtered_relations = self._filtered_relations.copy()
    obj.__dict__.pop("base_table", None)
    if not obj.filter_is_sticky:
        obj.used_aliases = set()
    obj.filter_is_sticky = False
    return obj


def _plain_where(node):
    """node.clone() is WhereNode's own."""
    return type(node) is WhereNode and "clone" not in node.__dict__


def _where_clone(node):
    """WhereNode.clone() of a _plain_where node, with WhereNode.create() inline."""
    clone = Node(None, node.connector or WhereNode.default, node.negated)
    clone.__class__ = WhereNode
    for child in node.children:
        if _plain_where(child):
            child = _where_clone(child)
        elif hasattr(child, "clone"):
            child = child.clone()
        clone.children.append(child)
    return clone


def _copied_names(tree, memo):
    """copy.deepcopy(tree, memo) for select_related's tree: dicts whose keys
    are str and whose values are such dicts, a dict met twice copied once.
    None for anything else, which the caller leaves to Django."""
    copied = memo.get(id(tree))
    if copied is not None:
        return copied
    if type(tree) is not dict:
        return None
    copied = memo[id(tree)] = {}
    for key, value in tree.items():
        if type(key) is not str:
            return None
        value = _copied_names(value, memo)
        if value is None:
            return None
        copied[key] = value
    return copied
