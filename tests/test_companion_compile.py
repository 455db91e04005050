"""Compiled serializers end to end: what `describe()` reports, and the native
loops against DRF on the schemas the companion builds."""

import gc
import weakref

import pytest
from django.db.models import Prefetch
from rest_framework import serializers as s

from quorvel_core import _quorvel_core as native
from quorvel_core import compile_serializer, current_timezone, explain, schema
from tests.project.shop.models import Author, Book, Gadget, Review

from . import companion_cases as cases


@pytest.mark.parametrize("name", sorted({row[0] for row in cases.EXPECTED}))
def test_describe_reports_the_mapping_table(name):
    compiled = compile_serializer(cases.serializers()[name])
    assert compiled.describe() == cases.expected_kinds(name)


def test_a_side_not_asked_for_is_empty():
    compiled = compile_serializer(cases.BookSerializer(), write=False)
    described = compiled.describe()
    assert described["write"] == {} and described["read"] == cases.expected_kinds("Book")["read"]


class BookRead(cases.BookSerializer):
    publisher_link = None  # needs a request and a URL configuration


def represent(serializer_class, instance):
    serializer = serializer_class(instance)
    compiled = compile_serializer(serializer, write=False)
    try:
        got = "ok", cases.norm(compiled.to_representation(instance, current_timezone()))
    except Exception as exc:
        got = "raised", type(exc), str(exc)
    try:
        expected = "ok", cases.norm(serializer.to_representation(instance))
    except Exception as exc:
        expected = "raised", type(exc), str(exc)
    return got, expected


def book_states():
    yield from Book.objects.all()
    yield from Book.objects.select_related("publisher").prefetch_related(
        "authors", "tags", "reviews")
    yield from Book.objects.prefetch_related(Prefetch("reviews", Review.objects.all()))
    yield Book(title="unsaved")


@pytest.mark.usefixtures("library")
@pytest.mark.parametrize("serializer_class, states", [
    (BookRead, book_states),
    (cases.AuthorSerializer,
     lambda: list(Author.objects.all()) + list(Author.objects.select_related("profile")
                                               .prefetch_related("books", "gadget_set"))),
    (cases.GadgetSerializer, lambda: Gadget.objects.all()),
    (cases.ReviewDepthSerializer, lambda: Review.objects.select_related("book")),
])
def test_representations_equal_drfs(serializer_class, states):
    for instance in states():
        got, expected = represent(serializer_class, instance)
        assert got == expected, instance


@pytest.mark.usefixtures("library")
def test_a_list_serializer_is_represented_through_its_child():
    queryset = Book.objects.prefetch_related("authors", "tags", "reviews")
    serializer = BookRead(queryset, many=True)
    compiled = compile_serializer(serializer, write=False)
    assert cases.norm(compiled.to_representation_many(queryset, current_timezone())) == cases.norm(
        serializer.to_representation(queryset))


@pytest.mark.parametrize("case", cases.FIELD_CASES, ids=[c[0] for c in cases.FIELD_CASES])
def test_validation_equals_drfs(db, case):
    _, factory, attrs, kwargs = case
    cls = type("Probe", (s.Serializer,), {"x": factory(), "y": s.IntegerField(required=False),
                                          **attrs})
    for value in cases.INPUTS:
        data = {"y": 1} if value is cases.MISSING else {"x": value, "y": 1}
        serializer = cls(**kwargs)
        compiled = compile_serializer(serializer, read=False)
        try:
            validated, errors = compiled.to_internal_value(data, current_timezone())
            got = ("errors", cases.norm(errors)) if errors else ("ok", cases.norm(validated))
        except Exception as exc:
            got = "raised", type(exc), str(exc)
        assert got == cases.drf_loop(cls, data, kwargs), value


@pytest.mark.usefixtures("library")
@pytest.mark.parametrize("keep", ["nowhere", "attribute", "context"])
def test_compiled_serializers_do_not_keep_their_serializer_alive(keep):
    serializer = BookRead(Book.objects.first(), context={})
    compiled = compile_serializer(serializer)
    compiled.to_representation(serializer.instance, current_timezone())
    if keep == "attribute":
        serializer.compiled = compiled
    elif keep == "context":
        serializer.context["compiled"] = compiled
    alive = weakref.ref(serializer)
    del serializer, compiled
    gc.collect()
    assert alive() is None


def test_explain_reads_describe(monkeypatch):
    text = explain(cases.BookSerializer())
    monkeypatch.setattr(schema, "_construct", cases.Nested)
    assert text == explain(cases.BookSerializer())


def test_the_package_configured_its_hooks():
    # A missing field goes to run_field, whose skip outcome leaves it out.
    class Optional(s.Serializer):
        a = s.IntegerField(required=False)

    compiled = compile_serializer(Optional(), read=False)
    assert native.is_configured()
    assert compiled.to_internal_value({}) == ({}, None)
