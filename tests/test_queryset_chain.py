"""The per-instance QuerySet of a prefetch, written out, against Django's own
deferred filter() and _chain(): the source and the clone must be left in the
same state, attribute by attribute in order, sharing the same objects with
the source, and give the same SQL."""

import re

import pytest
from django.db.models import Count, Q, QuerySet

from quorvel_core import queryset_chain

from .project.shop.models import Book, Review

pytestmark = pytest.mark.skipif(
    queryset_chain.RELEASE not in queryset_chain.FOLLOWED_RELEASES,
    reason="this release's clone is Django's own")


def state(value, source=None):
    """Attributes in order: each by type, by whether it is the source's own
    object, and by its repr (a where tree's lookups, a dict's items in order,
    without addresses)."""
    source_vars = vars(source) if source is not None else {}
    return [(name, type(item), item is source_vars.get(name, object()),
             nodes_shared(item, source_vars.get(name)),
             state(item, source_vars.get(name)) if name == "_query"
             else re.sub(" at 0x[0-9a-f]+", "", repr(item)))
            for name, item in vars(value).items()]


def nodes_shared(node, source):
    """For each node under a where tree, whether it is the source's own."""
    pairs = zip(getattr(node, "children", ()), getattr(source, "children", ()))
    return [(child is twin, nodes_shared(child, twin)) for child, twin in pairs]


def outcome(make, sticky, chain, alone=False):
    source = make()
    try:
        clone = chain(source, {"pk__in": [1, 2]}, sticky=sticky, alone=alone)
    except Exception as exc:
        return "raised", type(exc), str(exc)
    # What the clone shares with a source the caller drops does not show.
    seen_from = None if alone else source
    # Reading .query applies the deferred filter, so the SQL comes last.
    return (state(clone, seen_from), None if alone else state(source), str(clone.query),
            state(clone, seen_from))


def with_sticky_query():
    queryset = Book.objects.order_by("pk")
    queryset.query.filter_is_sticky = True
    return queryset


def compiled(queryset):
    str(queryset.query)  # caches the query's base_table
    return queryset


SOURCES = {
    "plain": lambda: Book.objects.all(),
    "nested select_related": lambda: Review.objects.select_related(
        "book__publisher").order_by("-pk"),
    "select_related of all": lambda: Review.objects.select_related(),
    "annotation, only, where": lambda: Book.objects.annotate(n=Count("reviews")).only(
        "title").filter(Q(pages__gt=1) | ~Q(title="x"), reviews__body="y"),
    "extra and values": lambda: Book.objects.extra(select={"one": "1"}).values("title", "one"),
    "hints and a database": lambda: Book.objects.db_manager(
        "default", hints={"instance": None}).using("default").all(),
    "a sticky query": with_sticky_query,
    "compiled": lambda: compiled(Book.objects.select_related("publisher").order_by("pk")),
    "combined": lambda: Book.objects.all().union(Book.objects.all()),
    "sliced": lambda: Book.objects.all()[:2],
}
if queryset_chain.FETCH_MODES:
    SOURCES["changed in place"] = lambda: Book.objects.all()._disable_cloning()


def chain_of(chain):
    def chained(source, kwargs, sticky, alone):
        return chain(source._next_is_sticky() if sticky else source)
    return chained


CLONES = {
    "deferred filter": (queryset_chain.django_deferred_filter, queryset_chain.deferred_filter),
    "_chain()": (chain_of(queryset_chain.django_chained), chain_of(queryset_chain.chained)),
}


@pytest.mark.parametrize("django_clone, clone", CLONES.values(), ids=CLONES.keys())
@pytest.mark.parametrize("sticky", [False, True], ids=["plain", "sticky"])
@pytest.mark.parametrize("make", SOURCES.values(), ids=SOURCES.keys())
def test_clone_matches_djangos(make, sticky, django_clone, clone):
    assert queryset_chain.parts_as_found()
    assert outcome(make, sticky, clone) == outcome(make, sticky, django_clone)


def a_managers_new_queryset():
    queryset = QuerySet(model=Book, using=None, hints={})
    queryset._add_hints(instance=Book(pk=1))
    return queryset


@pytest.mark.parametrize("sticky", [False, True], ids=["filter", "sticky filter"])
def test_a_new_queryset_is_filtered_in_its_place(sticky):
    expected = outcome(a_managers_new_queryset, sticky, queryset_chain.django_deferred_filter,
                       alone=True)
    assert outcome(a_managers_new_queryset, sticky, queryset_chain.deferred_filter,
                   alone=True) == expected


def test_a_wrapped_part_is_not_written_out(monkeypatch):
    clone = QuerySet._clone
    monkeypatch.setattr(QuerySet, "_clone", lambda self: clone(self))
    assert not queryset_chain.parts_as_found()
