"""Threads sharing what the native code reads: a container changed by one
thread while another encodes it, a serializer class or model plan first used
by many threads at once, one row iterator stepped from two threads. Events or
a barrier fix each interleaving; every answer must be DRF's or Django's own."""

import datetime
import threading
from decimal import Decimal

import pytest
from rest_framework import renderers
from rest_framework import serializers as s

from quorvel_core import _quorvel_core as native
from quorvel_core import plans, rows
from quorvel_core.renderers import JSONRenderer

from .dropin_support import installed
from .project.shop.models import Author, Book, Tag
from .read_support import assert_same, outcome
from .test_rows import snap

THREADS = 8


def paused_render(renderer, make, mutate):
    """renderer.render(data), `mutate(data)` run by another thread while the
    encoder waits in the first value that DRF's default hook iterates."""
    paused, resumed = threading.Event(), threading.Event()

    class Pause:
        def __iter__(self):
            paused.set()
            resumed.wait()
            yield "p"

    def change():
        paused.wait()
        try:
            mutate(data)
        finally:
            resumed.set()

    data, mutator = make(Pause()), threading.Thread(target=change)
    mutator.start()
    try:
        return outcome(lambda: renderer.render(data))
    finally:
        paused.set()
        mutator.join()


@pytest.mark.parametrize("make, mutate", [
    (lambda p: [p, 1, 2, 3], lambda d: d.__delitem__(slice(1, None))),
    (lambda p: [p, 1], lambda d: d.extend([7, {"k": 8}])),
    (lambda p: [[p, 1, 2]], lambda d: d.__setitem__(0, None)),
    (lambda p: {"a": [p, 1], "b": 2}, lambda d: d.__setitem__("a", None)),
    (lambda p: {"a": p, "b": 1, "c": 2}, lambda d: d.__setitem__("c", [3])),
    (lambda p: {"a": p, "b": 1}, lambda d: d.__setitem__("z", 9)),  # the native encoder declines
], ids=["list shrinks", "list grows", "walked list dropped", "walked dict member dropped",
        "dict value replaced", "dict grows"])
def test_a_container_changed_by_another_thread_while_it_is_encoded(make, mutate):
    expected = paused_render(renderers.JSONRenderer(), make, mutate)
    assert expected[0] == "ok"
    assert paused_render(JSONRenderer(), make, mutate) == expected


def at_once(job):
    """outcome(job(i)) for each i < THREADS, on as many threads released together."""
    barrier, got = threading.Barrier(THREADS), [None] * THREADS

    def worker(i):
        barrier.wait()
        got[i] = outcome(lambda: job(i))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return got


class Child(s.Serializer):
    x = s.IntegerField(min_value=0)
    tags = s.ListField(child=s.CharField())


@pytest.mark.parametrize("base, fields, instance", [
    (s.Serializer, {"title": s.CharField(), "child": Child(), "children": Child(many=True)},
     {"title": "T", "child": {"x": 1, "tags": ["a"]}, "children": [{"x": 2, "tags": []}] * 3}),
    (s.ModelSerializer, {"Meta": type("Meta", (), {"model": Book, "fields": ["title", "price"]})},
     Book(title="T", price=Decimal("1.50"), published=datetime.date(2024, 2, 3))),
], ids=["plain", "model"])
def test_many_threads_use_a_fresh_serializer_class_first_at_once(base, fields, instance):
    cls = type("Fresh", (base,), dict(fields))  # made now: the threads are its first users

    def work(i):
        good = {"title": f"t{i}", "price": f"{i}.25", "child": {"x": i, "tags": [str(i)]},
                "children": [{"x": i, "tags": []}]}
        bad = {**good, "price": "x", "child": {"x": -1, "tags": "n"}}
        checked = [cls(data=good), cls(data=bad)]
        return cls(instance).data, [(c.is_valid(), c.validated_data, c.errors) for c in checked]

    with installed(False):
        expected = [outcome(lambda: work(i)) for i in range(THREADS)]
    with installed(True):
        got = at_once(work)
        assert cls in plans.cached_classes() and plans.reuse_reason(cls) is None
    for i in range(THREADS):
        assert_same(got[i], expected[i])


def model_rows(model, chunks):
    """The native loop over `chunks` of value tuples, each a whole instance."""
    names = tuple(f.attname for f in model._meta.concrete_fields)
    plan = rows.model_plan(model, names, len(names))
    assert plan is not None
    plan = rows.RowsPlan("default", plan, 0, len(names), None, (), (), (), (), None, None)
    return native.ModelRows(plan, chunks, lambda row: model.from_db("default", names, row))


def built_by_django(model, count):
    width = len(model._meta.concrete_fields)
    chunk = [tuple(n * 100 + j for j in range(width)) for n in range(count)]
    return chunk, snap([model.from_db("default", None, row) for row in chunk])


needs_no_fetch_mode = pytest.mark.skipif(rows.FETCH_MODES, reason="plans without a fetch mode")


@needs_no_fetch_mode
@pytest.mark.parametrize("model", [Tag, Author, Book])
def test_many_threads_build_a_model_s_first_rows_at_once(model):
    chunk, expected = built_by_django(model, 20)
    rows._model_plans.clear()
    got = at_once(lambda i: snap(list(model_rows(model, [chunk[:10], chunk[10:]]))))
    assert got == [("ok", expected)] * THREADS


@needs_no_fetch_mode
def test_a_row_iterator_is_not_stepped_by_two_threads_at_once():
    chunk, expected = built_by_django(Tag, 3)
    entered, release, rest = threading.Event(), threading.Event(), iter(chunk)

    def slow_cursor():  # through iter(), not a generator: that would refuse a second step itself
        if not entered.is_set():
            entered.set()
            release.wait()
        return next(rest, None)

    iterator, first = model_rows(Tag, [iter(slow_cursor, None)]), []
    stepper = threading.Thread(target=lambda: first.append(next(iterator)))
    stepper.start()
    entered.wait()
    try:
        with pytest.raises(ValueError, match="generator already executing"):
            next(iterator)
    finally:
        release.set()
        stepper.join()
    assert snap(first + list(iterator)) == expected
