"""The accelerated serializer classes around the native loops: DRF's errors,
form data and nested serializers left to DRF, `many=True`, and which lists
are compiled (without evaluating anything DRF would not)."""

import pytest
from django.db import connection
from django.db.models import Prefetch
from django.http import QueryDict
from django.test.utils import CaptureQueriesContext
from rest_framework import serializers as s

from quorvel_core import compile_serializer
from quorvel_core import serializers as fast
from tests.project.shop.models import Book, Review, Tag

from .dropin_support import installed
from .read_support import outcome as result_of


class Pair(s.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class FastPair(fast.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class Counted:
    """A compiled serializer that counts the items it validates."""

    def __init__(self, serializer, compiled):
        self.serializer, self.compiled, self.validated = serializer, compiled, 0

    def to_internal_value(self, data, current_tz, serializer=None):
        self.validated += 1
        return self.compiled.to_internal_value(data, current_tz, serializer)

    def to_representation_many(self, iterable, current_tz, serializer=None):
        return self.compiled.to_representation_many(iterable, current_tz, serializer)


@pytest.fixture
def compiles(monkeypatch):
    """What the accelerated classes compile per instance, in order, for
    classes whose plans cannot be shared."""
    calls = []
    monkeypatch.setattr(fast, "plans_for", lambda serializer: None)

    def spy(serializer, **kwargs):
        compiled = compile_serializer(serializer, **kwargs)
        calls.append(Counted(serializer, compiled))
        return None if compiled is None else calls[-1]

    monkeypatch.setattr(fast, "compile_serializer", spy)
    return calls


ITEMS = [{"a": "1"}, {"a": "x"}, {"b": "y"}, [], "text", None, {"a": 2, "b": "z", "c": 1}]
BODIES = [[], "text", 1, None, {"a": "x"}, {"b": "y"}, {"a": "1"}, ITEMS[:2], ITEMS[:3], ITEMS,
          ITEMS[:1] * 5, [{"a": i} for i in range(8)]]


@pytest.mark.parametrize("data", BODIES)
@pytest.mark.parametrize("state", [False, True])
def test_validation_keeps_drfs_answers(state, data):
    def outcome(cls):
        serializer = cls(data=data, many=isinstance(data, list))
        return serializer.is_valid(), serializer.errors, getattr(serializer, "_validated_data", None)

    with installed(False):
        expected = outcome(Pair)
    with installed(state):
        assert outcome(FastPair) == expected
        assert outcome(Pair) == expected


class Outer(fast.Serializer):
    inner = FastPair()
    items = FastPair(many=True)


@pytest.mark.parametrize("data, validated", [
    ([{"a": i} for i in range(fast.LIST_MIN - 1)], []),
    ([{"a": i} for i in range(fast.LIST_MIN)], [fast.LIST_MIN]),
    ([{"a": 1}, 2, {"a": 3}], [2]),
    ({"a": 1}, []),
    (QueryDict("a=3&b=x"), []),
    ({"inner": {"a": 4}, "items": [{"a": 5}] * 4}, [4]),
])
def test_list_items_are_validated_by_one_compiled_child(compiles, data, validated):
    """One object, form data and a nested serializer in an object are DRF's;
    a list of LIST_MIN items or more compiles its child once, even nested, and
    it validates every plain dict item."""
    cls = Outer if "inner" in data else FastPair
    cls(data=data, many=type(data) is list).is_valid()
    assert all(type(c.serializer) is FastPair for c in compiles)
    assert [c.validated for c in compiles] == validated


def test_many_builds_the_accelerated_list():
    class CustomList(s.ListSerializer):
        pass

    class WithOwnList(fast.Serializer):
        class Meta:
            list_serializer_class = CustomList

    assert type(FastPair(many=True)) is fast.ListSerializer
    assert type(FastPair(many=True).child) is FastPair
    assert type(WithOwnList(many=True)) is CustomList
    assert type(Pair(many=True)) is s.ListSerializer


def serializers_on(ns):
    class TagSerializer(ns.ModelSerializer):
        class Meta:
            model = Tag
            fields = ["id", "label"]

    class ReviewSerializer(ns.ModelSerializer):
        class Meta:
            model = Review
            fields = ["id", "body", "stars"]

    class BookSerializer(ns.ModelSerializer):
        reviews = ReviewSerializer(many=True, read_only=True)

        class Meta:
            model = Book
            fields = ["id", "title", "reviews"]

    return TagSerializer, BookSerializer


DRF_TAGS, DRF_BOOKS = serializers_on(s)
FAST_TAGS, FAST_BOOKS = serializers_on(fast)


@pytest.fixture
def books(db):
    for i in range(5):
        Tag.objects.create(label=f"t{i}")
        book = Book.objects.create(title=f"b{i}")
        for j in range(i):
            Review.objects.create(book=book, body=f"r{j}", stars=j + 1)


def represent(serializer_class, data, **kwargs):
    with CaptureQueriesContext(connection) as queries:
        represented = serializer_class(data, **kwargs).data
    return represented, [q["sql"] for q in queries.captured_queries]


@pytest.mark.usefixtures("books")
@pytest.mark.parametrize("size", range(6))
def test_a_list_is_compiled_once_it_is_long_enough(compiles, size):
    for make in (lambda: list(Tag.objects.order_by("id")[:size]),
                 lambda: Tag.objects.order_by("id")[:size]):
        with installed(False):
            expected = represent(DRF_TAGS, make(), many=True)
        del compiles[:]
        assert represent(FAST_TAGS, make(), many=True) == expected
        assert len(compiles) == (size >= fast.LIST_MIN)


@pytest.mark.usefixtures("books")
@pytest.mark.parametrize("prefetch", [False, True])
def test_a_nested_list_in_an_object_drf_represents(compiles, prefetch):
    """One object is DRF's loop; a related manager's list in it is compiled when
    prefetched and long enough, and left to DRF, unevaluated, when not."""
    books = Book.objects.order_by("id")
    if prefetch:
        books = books.prefetch_related(Prefetch("reviews", Review.objects.order_by("id")))
    for book in books:
        with installed(False):
            expected = represent(DRF_BOOKS, book)
        del compiles[:]
        assert represent(FAST_BOOKS, book) == expected
        long_enough = prefetch and len(book.reviews.all()) >= fast.LIST_MIN
        assert [type(c.serializer) for c in compiles] == (
            [fast.ListSerializer] if long_enough else [])


class Flaky:
    """A source that raises on its first read only, and counts its reads."""

    def __init__(self, exc):
        self.exc, self.reads = exc, 0

    def method(self):
        self.reads += 1
        if self.reads == 1:
            raise self.exc
        return "second read"

    @property
    def prop(self):
        return self.method()


@pytest.mark.parametrize("exc", [AttributeError("gone"), KeyError("gone"), TypeError("bad")])
@pytest.mark.parametrize("source", ["prop", "method"])
@pytest.mark.parametrize("options", [{}, {"required": False}, {"default": "d"}, {"allow_null": True}])
def test_a_source_that_raises_is_read_once(exc, source, options):
    # DRF reads a field's source once and ends what it raises in
    # Field.get_attribute; reading it again would run its code twice.
    serializer = type("FlakySerializer", (s.Serializer,),
                      {"value": s.CharField(source=source, **options)})

    def run(state):
        with installed(state):
            one, many = Flaky(exc), [Flaky(exc) for _ in range(3)]
            results = [result_of(lambda: serializer(one).data),
                       result_of(lambda: serializer(many, many=True).data)]
            return results, [one.reads] + [item.reads for item in many]

    assert run(True) == run(False)
