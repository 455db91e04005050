"""The representation loop end to end on Django models: compiled plans of
the kinds a compiler chooses give DRF's output for every relation state
(loaded, prefetched, missing, unsaved), and the loop keeps DRF's rules for
skipped fields, None, placeholders and errors."""

import datetime
import decimal
import sys
import uuid
import zoneinfo

import pytest
from django.db import connection
from django.db.models import Prefetch
from django.test import override_settings
from django.test.utils import CaptureQueriesContext
from django.utils import timezone
from rest_framework import serializers
from rest_framework.fields import SkipField
from rest_framework.relations import PKOnlyObject

from quorvel_core import compile_serializer, current_timezone
from tests.project.shop.models import Author, Book, Profile, Publisher, Review, Tag

from .helpers import LOAD_NATIVE, run_isolated
from .read_support import CS, assert_same, attrs, compile_read, ensure_configured, many, rel


@pytest.fixture(autouse=True, scope="module")
def configured():
    ensure_configured()


class PublisherS(serializers.ModelSerializer):
    class Meta:
        model = Publisher
        fields = ["id", "name"]


class ReviewS(serializers.ModelSerializer):
    class Meta:
        model = Review
        fields = ["id", "body", "stars"]


class SummaryS(serializers.Serializer):
    title = serializers.CharField()
    pages = serializers.IntegerField()


class BookS(serializers.ModelSerializer):
    summary = SummaryS(source="*", read_only=True)
    publisher_name = serializers.CharField(source="publisher.name", read_only=True, default=None)
    pub = PublisherS(source="publisher", read_only=True)
    reviews = ReviewS(many=True, read_only=True)
    tags = serializers.SlugRelatedField(many=True, read_only=True, slug_field="label")
    shout = serializers.CharField(read_only=True)
    page_label = serializers.CharField(read_only=True)
    loud = serializers.SerializerMethodField()
    pages_raw = serializers.ModelField(Book._meta.get_field("pages"), read_only=True)
    title_raw = serializers.ModelField(Book._meta.get_field("title"), read_only=True)

    class Meta:
        model = Book
        fields = ["id", "uid", "title", "pages", "price", "rating", "in_print", "format",
                  "published", "updated", "publisher", "authors", "extra", "publisher_name",
                  "pub", "reviews", "tags", "shout", "page_label", "loud", "pages_raw",
                  "title_raw", "summary"]

    def get_loud(self, obj):
        return obj.title + "!"


def forward(name, model=Book):
    return rel("forward", name, model, null=True)


def related(name, model=Book):
    return rel("many", name, model, required=["pk"])


FORMATS = serializers.ChoiceField(choices=Book.Format.choices).choice_strings_to_values


def compile_books(drf):
    """The plans a compiler would choose for BookS, nested serializers included."""
    f = drf.fields
    pub = compile_read(f["pub"], {"id": (attrs("id"), {"type": "int"}),
                                  "name": (attrs("name"), {"type": "str"})})
    review = compile_read(ReviewS(), {"id": (attrs("id"), {"type": "int"}),
                                      "body": (attrs("body"), {"type": "str"}),
                                      "stars": (attrs("stars"), {"type": "int"})})
    plain = {name: (attrs(name), {"type": kind}) for name, kind in [
        ("id", "int"), ("uid", "uuid"), ("title", "str"), ("pages", "int"), ("rating", "float"),
        ("in_print", "bool"), ("published", "date"), ("extra", "passthrough"),
        ("shout", "str"), ("page_label", "str")]}
    return compile_read(drf, plain | {
        "price": (attrs("price"), {"type": "decimal", "max_digits": 8, "decimal_places": 2}),
        "format": (attrs("format"), {"type": "choice", "map": FORMATS}),
        "updated": (attrs("updated"), {"type": "datetime", "use_tz": True}),
        "publisher": ({"type": "pk_attname", "attname": "publisher_id", "from_dict": True},
                      {"type": "pk"}),
        "authors": (many(related("authors")), {"type": "pk_many"}),
        "publisher_name": (attrs(forward("publisher"), "name"), {"type": "str"}),
        "pub": (attrs(forward("publisher")), {"type": "nested", "serializer": pub}),
        "reviews": (many(related("reviews")),
                    {"type": "nested", "serializer": review, "many": True}),
        "tags": (many(related("tags")), {"type": "python"}),
        "loud": ({"type": "star"}, {"type": "method", "method": drf.get_loud}),
        "pages_raw": ({"type": "star"}, {"type": "model_attr", "attname": "pages"}),
        "title_raw": ({"type": "star"}, {"type": "model_attr", "attname": "title"}),
        "summary": ({"type": "star"}, {"type": "nested", "serializer": compile_read(
            SummaryS(), {"title": (attrs("title"), {"type": "str"})})}),
    })


@pytest.fixture
def shop(db):
    penguin = Publisher.objects.create(name="Penguin")
    ann, bob = Author.objects.create(name="Ann"), Author.objects.create(name="Bob")
    Profile.objects.create(author=ann, bio="writes")
    red, blue = Tag.objects.create(label="red"), Tag.objects.create(label="blue")
    full = Book.objects.create(
        title="Full", pages=321, price=decimal.Decimal("12.50"), rating=4.5, format="hc",
        published=datetime.date(2001, 2, 3), publisher=penguin, extra={"k": [1, None]},
        updated=datetime.datetime(2024, 3, 7, 12, 30, 1, 5, tzinfo=datetime.timezone.utc))
    full.authors.set([ann, bob])
    full.tags.set([red, blue])
    Review.objects.create(book=full, body="good", stars=4)
    Review.objects.create(book=full, body="fine", stars=3)
    Book.objects.create(title="Bare", uid=uuid.UUID(int=0))
    return penguin


QUERIES = {
    "plain": lambda: Book.objects.order_by("id"),
    "loaded": lambda: Book.objects.order_by("id").select_related("publisher")
    .prefetch_related("authors", "tags", "reviews"),
    "pending": lambda: Book.objects.order_by("id").prefetch_related(
        Prefetch("reviews", queryset=Review.objects.order_by("-stars")), "reviews__book",
        "authors__profile"),
}


COMPILERS = {"hand": compile_books, "companion": lambda drf: compile_serializer(drf, write=False)}


@pytest.mark.parametrize("compiler", COMPILERS)
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("zone", ["UTC", "Asia/Kolkata", "naive"])
def test_books_match_drf(shop, compiler, query, zone):
    with override_settings(USE_TZ=zone != "naive"), \
            timezone.override(zoneinfo.ZoneInfo("UTC" if zone == "naive" else zone)):
        drf = BookS()
        compiled = COMPILERS[compiler](drf)
        books = list(QUERIES[query]())
        want = [drf.to_representation(book) for book in books]
        with CaptureQueriesContext(connection) as queries:
            got = compiled.to_representation_many(books, current_timezone())
    assert_same(got, want)
    if query == "loaded":
        assert len(queries) == 0, [q["sql"] for q in queries]


class UnsavedBookS(BookS):
    class Meta(BookS.Meta):
        fields = ["title", "publisher", "authors", "publisher_name", "pub", "tags", "shout"]


@pytest.mark.parametrize("compiler", COMPILERS)
def test_unsaved_and_validated_instances_match_drf(shop, compiler):
    # An unsaved book has no relations yet; validated data (a dict) holds the
    # related instance itself where the model would hold its key.
    drf = UnsavedBookS()
    compiled = COMPILERS[compiler](drf)
    for instance in [Book(title="New", publisher=shop), Book(title="Alone"),
                     {"title": "Data", "publisher": shop, "shout": "hey"}]:
        assert_same(compiled.to_representation(instance), drf.to_representation(instance))


class AuthorS(serializers.ModelSerializer):
    bio = serializers.CharField(source="profile.bio", read_only=True)

    class Meta:
        model = Author
        fields = ["name", "bio", "birth_date"]


def compile_authors(drf):
    return compile_read(drf, {
        "name": (attrs("name"), {"type": "str"}),
        "bio": (attrs(rel("reverse_one", "profile", Author), "bio"), {"type": "str"}),
        "birth_date": (attrs("birth_date"), {"type": "date"})})


@pytest.mark.parametrize("compiler", [compile_authors, COMPILERS["companion"]])
@pytest.mark.parametrize("related_loaded", [False, True])
def test_missing_reverse_one_to_one_is_none(shop, compiler, related_loaded):
    drf = AuthorS()
    compiled = compiler(drf)
    authors = Author.objects.order_by("id")
    authors = list(authors.select_related("profile") if related_loaded else authors)
    assert_same(compiled.to_representation_many(authors),
                [drf.to_representation(a) for a in authors])
    assert compiled.to_representation(authors[1])["bio"] is None


class Field:
    """A DRF-like field with a scripted get_attribute."""

    def __init__(self, get):
        self.get = get
        self.seen = []

    def get_attribute(self, instance):
        return self.get(instance)

    def to_representation(self, value):
        self.seen.append(value)
        return ("field", value)


class Skip(SkipField):
    pass


def skipping(instance):
    raise Skip


def loop(*getters, rep=None):
    fields = [Field(get) for get in getters]
    return fields, CS([{"name": f"f{i}", "field": f, "repr": rep or {"type": "python"}}
                       for i, f in enumerate(fields)], [])


def test_skip_none_and_placeholders():
    fields, compiled = loop(lambda i: 1, skipping, lambda i: None, lambda i: PKOnlyObject(None),
                            lambda i: PKOnlyObject(5), lambda i: 2, rep={"type": "int"})
    out = compiled.to_representation(object())
    assert list(out) == ["f0", "f2", "f3", "f4", "f5"]
    assert out["f2"] is None and out["f3"] is None and out["f0"] == 1 and out["f5"] == 2
    assert out["f4"][0] == "field" and out["f4"][1].pk == 5


def test_errors_propagate_unchanged():
    error = AttributeError("no such thing")

    def failing(instance):
        raise error

    _, compiled = loop(lambda i: 1, failing)
    with pytest.raises(AttributeError) as raised:
        compiled.to_representation(object())
    assert raised.value is error


def test_many_consumes_any_iterable_once():
    _, compiled = loop(lambda i: i, rep={"type": "int"})
    items = iter([1, 2])
    assert compiled.to_representation_many(x for x in items) == [{"f0": 1}, {"f0": 2}]
    assert compiled.to_representation_many(items) == []
    with pytest.raises(TypeError, match="not iterable"):
        compiled.to_representation_many(5)


def test_nested_many_calls_all_only_on_managers(shop):
    class Listing(list):
        def all(self):
            raise AssertionError("all() is for managers only")

    book = Book.objects.get(title="Full")
    child = CS([{"name": "body", "field": None, "get": attrs("body"), "repr": {"type": "str"}}], [])
    nested = CS([{"name": "r", "field": None, "get": attrs("r"),
                  "repr": {"type": "nested", "serializer": child, "many": True}}], [])
    got = nested.to_representation({"r": book.reviews})["r"]
    assert sorted(r["body"] for r in got) == ["fine", "good"]
    assert nested.to_representation({"r": Listing([{"body": "x"}])}) == {"r": [{"body": "x"}]}
    assert nested.to_representation({"r": ()}) == {"r": []}


def test_refcounts_are_stable(shop):
    drf = BookS()
    compiled = compile_books(drf)
    books = list(QUERIES["loaded"]())
    watched = books + list(drf.fields.values()) + [decimal.Decimal, uuid.UUID, datetime.timezone]
    tz = timezone.get_current_timezone()
    compiled.to_representation_many(books, tz)  # warm the caches
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(10_000 // len(books)):
        compiled.to_representation_many(books, tz)
    assert [sys.getrefcount(o) for o in watched] == before


def test_failing_representation_leaks_nothing():
    value = object()

    class Failing:
        def get_attribute(self, instance):
            return value

        def to_representation(self, v):
            raise error

    error = ValueError("boom")
    compiled = CS([{"name": "f", "field": Failing(), "repr": {"type": "str"}}], [])
    before = sys.getrefcount(value), sys.getrefcount(error)
    for _ in range(100):
        with pytest.raises(ValueError) as raised:
            compiled.to_representation(None)
        assert raised.value is error
        del raised
        error.__traceback__ = None
    assert (sys.getrefcount(value), sys.getrefcount(error)) == before


def test_deep_nesting_raises_recursion_error():
    chain = [CS([], [])]
    for _ in range(200_000):
        chain.append(CS([{"name": "n", "field": None, "get": attrs("n"),
                          "repr": {"type": "nested", "serializer": chain[-1]}}], []))
    instance = {}
    for _ in range(200_000):
        instance = {"n": instance}
    with pytest.raises(RecursionError):
        chain[-1].to_representation(instance)


def test_dict_factory_and_configuration_checks():
    out = run_isolated(LOAD_NATIVE + """
import collections
CS = native.CompiledSerializer
class Field:
    def get_attribute(self, instance): return instance
inner = CS([{"name": "x", "field": Field(), "get": {"type": "attrs", "attrs": ["x"]},
             "repr": {"type": "int"}}], [])
outer = CS([{"name": "one", "field": Field(), "repr": {"type": "nested", "serializer": inner}},
            {"name": "many", "field": Field(), "get": {"type": "attrs", "attrs": ["xs"]},
             "repr": {"type": "nested", "serializer": inner, "many": True}}], [])
for call in (lambda: outer.to_representation({}), lambda: outer.to_representation_many([])):
    try:
        call()
    except RuntimeError as e:
        print(e)
calls = []
class Mapping(collections.OrderedDict):
    def __init__(self):
        calls.append(1)
native.configure(empty=None, skip_field=KeyError, object_does_not_exist=LookupError,
                 pk_only_object=type(None), manager_class=type(None), dict_factory=Mapping,
                 resolve_callable=None, run_field=None, finish_field=None)
out = outer.to_representation({"x": 1, "xs": [{"x": 2}, {"x": 3}]})
print(type(out).__name__, type(out["one"]).__name__, [type(m).__name__ for m in out["many"]],
      len(calls), out)
print(type(CS([], []).to_representation(None)).__name__, len(calls))
""")
    assert out.splitlines() == [
        "quorvel_core.configure() has not been called",
        "quorvel_core.configure() has not been called",
        "Mapping Mapping ['Mapping', 'Mapping'] 4 "
        "Mapping({'one': Mapping({'x': 1}), 'many': [Mapping({'x': 2}), Mapping({'x': 3})]})",
        "Mapping 5",
    ]
