"""prefetch_related over reverse foreign keys and many-to-many relations,
Django's prefetch_one_level
against install()'s: the instances, their caches and every per-instance
QuerySet (its state, then its SQL) must match, and so must the manager
creation counter."""

import re

import pytest
from django.db import connection
from django.db.models import Model, Prefetch
from django.db.models.manager import BaseManager
from django.db.models.query import QuerySet
from django.test.utils import CaptureQueriesContext

from quorvel_core import prefetch

from .project.shop.models import Author, Book, Category, Publisher, Review
from .test_rows import native_rows, shop, snap  # noqa: F401 (shop is a fixture)

def prefetched_querysets(instances):
    """Every QuerySet in the instances' prefetch caches, and in those of the
    instances these hold, in the order met."""
    found = []
    for obj in filter(lambda value: isinstance(value, Model), instances):
        for qs in getattr(obj, "_prefetched_objects_cache", {}).values():
            found.append(qs)
            found.extend(prefetched_querysets(qs._result_cache or ()))
        for value in vars(obj).values():
            if isinstance(value, list):  # a Prefetch's to_attr
                found.extend(prefetched_querysets(value))
    return found


def query_flags(query):
    return {name: value for name, value in vars(query).items()
            if isinstance(value, (bool, int, str, type(None), set, frozenset))}


def picture(instances):
    """snap(), with each prefetched QuerySet's attributes in order, its
    query's flags and its SQL in full."""
    seen = {}
    querysets = prefetched_querysets(instances)
    state = [(type(qs), [(name, snap(value, seen)) for name, value in vars(qs).items()
                         if name != "_query"], query_flags(qs._query)) for qs in querysets]
    # Reading .query applies a deferred filter, so the SQL comes last.
    return snap(instances, seen), state, [(str(qs.query), query_flags(qs._query))
                                          for qs in querysets]


def outcome(make):
    counter = BaseManager.creation_counter
    try:
        with CaptureQueriesContext(connection) as executed:
            result = list(make())
    except Exception as exc:
        return ("raised", type(exc), str(exc))
    # A server-side cursor's name (PostgreSQL's iterator()) counts the cursors made.
    return ("gave", picture(result), BaseManager.creation_counter - counter,
            [re.sub(r"_django_curs_\w+", "_django_curs", query["sql"])
             for query in executed.captured_queries])


def compare(make, monkeypatch):
    with native_rows(False):
        expected = outcome(make)
    monkeypatch.setattr(prefetch, "FEW_INSTANCES", 0)  # shortened for one instance too
    with native_rows(True):
        before = prefetch.counts()
        got = outcome(make)
        after = prefetch.counts()
    assert got == expected
    return {key: after[key] - before[key] for key in after}


SHORTENED = {
    "plain": lambda: Publisher.objects.prefetch_related("books").order_by("pk"),
    "a Prefetch queryset": lambda: Publisher.objects.prefetch_related(Prefetch(
        "books", Book.objects.select_related("publisher").order_by("-pages"))).order_by("pk"),
    "to_attr": lambda: Publisher.objects.prefetch_related(
        Prefetch("books", Book.objects.order_by("pk"), to_attr="listed")).order_by("-pk"),
    "two levels": lambda: Publisher.objects.prefetch_related("books__reviews").order_by("pk"),
    "deferred keys": lambda: Book.objects.prefetch_related(Prefetch(
        "reviews", Review.objects.only("body"))).only("title").order_by("pk"),
    "to itself": lambda: Category.objects.prefetch_related("children").order_by("pk"),
    "in chunks": lambda: Book.objects.prefetch_related("reviews").order_by("pk").iterator(
        chunk_size=2),
    "many-to-many both ways": lambda: Author.objects.prefetch_related(
        "books__reviews", "books__tags").order_by("pk"),
    "many-to-many with a Prefetch queryset": lambda: Book.objects.prefetch_related(Prefetch(
        "authors", Author.objects.order_by("-name")), Prefetch(
        "tags", to_attr="tag_list")).only("title").order_by("pk"),
    "instances in a tuple": lambda: prefetched(tuple(Book.objects.order_by("pk")), "reviews",
                                               "authors"),
}


def prefetched(instances, *lookups):
    from django.db.models import prefetch_related_objects

    prefetch_related_objects(instances, *lookups)
    return instances


# Releases whose prefetch code is not followed run Django's function throughout.
FOLLOWED = prefetch.RELEASE in prefetch.FOLLOWED_RELEASES

if prefetch.FILTERS_IN_PLACE:  # a fetch mode of its own, which the QuerySets take from the instance
    from django.db.models import FETCH_PEERS

    SHORTENED["fetch mode"] = lambda: Publisher.objects.fetch_mode(FETCH_PEERS).prefetch_related(
        "books__reviews").order_by("pk")
    SHORTENED["fetch mode, Prefetch querysets"] = lambda: Author.objects.fetch_mode(
        FETCH_PEERS).prefetch_related(Prefetch("books", Book.objects.order_by("-pk")), Prefetch(
            "books__reviews", Review.objects.order_by("pk"))).order_by("pk")


@pytest.mark.parametrize("make", SHORTENED.values(), ids=SHORTENED.keys())
def test_prefetches_match_django(shop, monkeypatch, make):
    assert (compare(make, monkeypatch)["native"] >= 1) == FOLLOWED


@pytest.mark.parametrize("change", ["routers", "a part wrapped", "Prefetch subclass"])
def test_what_it_cannot_follow_runs_djangos_function(shop, monkeypatch, change):
    make = SHORTENED["a Prefetch queryset"]
    if change == "routers":
        monkeypatch.setattr("django.db.router.routers", [object()])
    elif change == "a part wrapped":
        add_hints = QuerySet._add_hints
        monkeypatch.setattr(QuerySet, "_add_hints", lambda self, **hints: add_hints(self, **hints))
    else:
        make = lambda: Publisher.objects.prefetch_related(  # noqa: E731
            type("Step", (Prefetch,), {})("books")).order_by("pk")
    delta = compare(make, monkeypatch)
    assert delta["native"] == 0 and delta["django"] >= 1


def test_unsaved_instances_get_djangos_error(shop, monkeypatch):
    from django.db.models import prefetch_related_objects

    def prefetch_unsaved():
        instances = [Publisher.objects.order_by("pk").first(), Publisher(name="new")]
        prefetch_related_objects(instances, "books")
        return instances
    assert compare(prefetch_unsaved, monkeypatch)["native"] == FOLLOWED
