"""One object's representation and one payload's validation with install()
active, against plain DRF, over many instances of the same serializer classes:
their own contexts and requests, fields that differ per instance, settings
changed between calls, threads, a class made again after the last one died,
and what a stream of requests leaves alive."""

import datetime
import gc
import sys
import threading
from decimal import Decimal
from functools import partial

import pytest
from django.conf import settings
from django.http import HttpRequest, QueryDict
from django.test import RequestFactory, override_settings
from django.urls import path, resolve
from rest_framework import fields as drf_fields
from rest_framework import generics
from rest_framework import serializers as s
from rest_framework.request import Request
from rest_framework.response import Response

from tests.project.shop.models import Author, Book, Publisher

from .dropin_support import installed, rolled_back
from .dropin_views import serializer_classes
from .read_support import assert_same, outcome

HOSTS = ["a.example", "b.example:8000", "c.example"]
JSON = "application/json"
factory = RequestFactory()


class PublisherLink(s.HyperlinkedModelSerializer):
    class Meta:
        model = Publisher
        fields = ["url", "name"]


class BookLink(s.HyperlinkedModelSerializer):
    publisher_detail = PublisherLink(source="publisher", read_only=True)
    writers = s.HyperlinkedRelatedField(source="authors", many=True, read_only=True,
                                        view_name="author-detail")
    seen_from = s.SerializerMethodField()

    class Meta:
        model = Book
        fields = ["url", "title", "price", "publisher", "publisher_detail", "writers", "seen_from"]

    def get_seen_from(self, book):
        return self.context["request"].get_host()


class Stamp(s.Serializer):
    name = s.CharField()
    label = s.SerializerMethodField()

    def get_label(self, publisher):
        return f"{self.context['tag']}:{publisher.name}"


class StampedBook(s.ModelSerializer):
    label = s.SerializerMethodField()
    publisher = Stamp(read_only=True)

    class Meta:
        model = Book
        fields = ["id", "title", "label", "publisher"]

    def get_label(self, book):
        return [self.context["tag"], book.pages * self.context["n"]]


class Gate(s.Serializer):
    title = s.CharField(max_length=20)
    pages = s.IntegerField(required=False)

    def validate_title(self, value):
        if value in self.context.get("banned", ()):
            raise s.ValidationError("not here", code="banned")
        return value + self.context.get("suffix", "")

    def validate_pages(self, value):
        limit = self.context.get("max_pages")
        if limit is not None and value > limit:
            raise s.ValidationError(f"over {limit}", code="max")
        return value


class GateHolder(s.Serializer):
    gate = Gate()


class Trimmed(s.ModelSerializer):
    class Meta:
        model = Book
        fields = ["id", "title", "pages", "price", "published"]

    def __init__(self, *args, fields=None, **kwargs):
        super().__init__(*args, **kwargs)
        for name in set(self.fields) - set(fields or self.fields):
            self.fields.pop(name)


class TrimmedMore(Trimmed):
    class Meta(Trimmed.Meta):
        fields = ["id", "title", "pages", "rating"]


class ByContext(s.ModelSerializer):
    class Meta:
        model = Book
        fields = ["id", "title", "pages", "price"]

    def get_fields(self):
        fields = super().get_fields()
        if self.context.get("short"):
            del fields["pages"]
        return fields


class Dated(s.ModelSerializer):
    class Meta:
        model = Book
        fields = ["id", "price", "updated", "published"]


class Line(s.Serializer):
    sku = s.SlugField(max_length=8)
    qty = s.IntegerField(min_value=1)
    when = s.DateTimeField(required=False)


class Order(s.Serializer):
    ref = s.CharField()
    total = s.DecimalField(max_digits=6, decimal_places=2)
    first = Line()
    lines = Line(many=True)
    note = s.CharField(required=False, allow_blank=True)

    def validate(self, attrs):
        if attrs.get("note") == "reject":
            raise s.ValidationError({"note": "rejected"}, code="rejected")
        return attrs


class Fresh(generics.GenericAPIView):
    """Validates with a serializer class made for the request."""

    def get_serializer_class(self):
        return type("FreshGate", (Gate,), {"extra": s.IntegerField(required=False)})

    def post(self, request):
        serializer = self.get_serializer(data=request.data)
        serializer.is_valid(raise_exception=True)
        return Response(serializer.validated_data)


def detail(view, queryset, serializer_class):
    return view.as_view(queryset=queryset, serializer_class=serializer_class)


BOOKS = Book.objects.select_related("publisher").prefetch_related("authors").order_by("id")
urlpatterns = [  # this module is the URLconf of its tests
    path("books/<int:pk>/", detail(generics.RetrieveUpdateAPIView, BOOKS, BookLink),
         name="book-detail"),
    path("publishers/<int:pk>/", detail(generics.RetrieveAPIView, Publisher.objects.all(),
                                        PublisherLink), name="publisher-detail"),
    path("authors/<int:pk>/", detail(generics.RetrieveAPIView, Author.objects.all(),
                                     serializer_classes(s)["authors"]), name="author-detail"),
    path("fresh/", Fresh.as_view()),
]


@pytest.fixture(autouse=True)
def urls():
    with override_settings(ROOT_URLCONF=__name__, ALLOWED_HOSTS=[".example"]):
        yield


@pytest.fixture
def books(db):
    publishers = [Publisher.objects.create(name=f"pub {i}") for i in range(2)]
    authors = [Author.objects.create(name=f"author {i}") for i in range(3)]
    for i in range(4):
        book = Book.objects.create(
            uid=f"00000000-0000-4000-8000-{i:012d}", title=f"Book {i}", pages=10 * i + 1,
            price=Decimal(f"{i}9.90"), published=datetime.date(2020, 1, 1 + i),
            updated=datetime.datetime(2021, 3, 4, 5, 6, 7, 890 * i,
                                      tzinfo=datetime.timezone(datetime.timedelta(hours=i))),
            publisher=publishers[i % 2] if i != 3 else None)
        book.authors.set(authors[:i])
    return list(BOOKS.all())  # BOOKS itself keeps the rows it first read


def each(call, cases):
    """`call(case)` for every case in a row, under plain DRF and then with
    install() active: the answers (or what was raised) must be identical in
    value and type. Returns DRF's."""
    with installed(False):
        want = [outcome(partial(call, case)) for case in cases]
    with installed(True):
        got = [outcome(partial(call, case)) for case in cases]
    assert_same(got, want)
    return want


def validated(serializer):
    valid = serializer.is_valid()
    return valid, serializer.errors, serializer.validated_data


def host_context(i):
    """Requests for alternating hosts and schemes; every fourth has none."""
    if i % 4 == 3:
        return {}
    return {"request": factory.get("/", HTTP_HOST=HOSTS[i % 3], secure=i % 5 == 0)}


def test_hyperlinks_follow_each_request(books):
    contexts = [host_context(i) for i in range(20)]
    want = each(lambda ctx: BookLink(books[1], context=ctx).data, contexts)
    for ctx, (state, data) in zip(contexts, want):
        if ctx:
            assert data["url"] == ctx["request"].build_absolute_uri(f"/books/{books[1].pk}/")
        else:
            assert state == "raised" and data[0] is AssertionError

    payloads = [{"title": f"t{i}", "publisher": link} for i, link in enumerate([
        f"http://a.example/publishers/{books[0].publisher_id}/", "/publishers/999/",
        f"http://b.example/authors/{books[1].pk}/", "nope", None, 5])]
    each(lambda i: validated(BookLink(data=payloads[i % 6], context=host_context(i))), range(20))


def test_method_fields_read_their_own_context(books):
    contexts = [{"tag": f"t{i}", "n": i} if i % 7 != 6 else {"n": 1} for i in range(20)]
    want = each(lambda ctx: StampedBook(books[(ctx["n"]) % 3], context=ctx).data, contexts)
    assert want[4][1]["publisher"]["label"] == "t4:pub 1"
    assert want[6][0] == "raised"


@pytest.mark.parametrize("cls, wrap", [(Gate, lambda d: d), (GateHolder, lambda d: {"gate": d})])
def test_validate_methods_read_their_own_context(cls, wrap):
    def run(i):
        context = {"banned": {"x"} if i % 2 else {"y"}, "suffix": f"-{i}", "max_pages": i or None}
        payload = {"title": "xy"[i % 3 == 0], "pages": i * 3 % 17}
        return validated(cls(data=wrap(payload), context=context))

    want = each(run, range(20))
    assert {v[1][0] for v in want} == {True, False}


@pytest.mark.parametrize("cls, kwargs", [
    (Trimmed, lambda i: {"fields": [None, ("id", "title"), ("pages", "price")][i % 3]}),
    (TrimmedMore, lambda i: {"fields": None if i % 2 else ("title", "rating")}),
    (ByContext, lambda i: {"context": {"short": i % 2}}),
])
def test_fields_that_differ_per_instance(books, cls, kwargs):
    each(lambda i: cls(books[i % 4], **kwargs(i)).data, range(20))
    payload = {"title": "T" * 300, "pages": "x", "price": "1.234", "rating": "r"}
    each(lambda i: validated(cls(data=payload, **kwargs(i))), range(20))


def test_fields_changed_on_an_instance(books):
    def changed(serializer, i):
        if i % 2:
            serializer.fields["title"] = s.CharField(source="shout")
            serializer.fields.pop("pages")
        if i % 3 == 0:
            serializer.fields["price"] = s.CharField(max_length=2)
        return serializer

    each(lambda i: changed(Trimmed(books[i % 4]), i).data, range(20))
    payload = {"title": "new", "pages": "12", "price": "12.50"}
    each(lambda i: validated(changed(Trimmed(data=payload), i)), range(20))


REST = settings.REST_FRAMEWORK
SETTINGS = [
    {},
    {"REST_FRAMEWORK": {**REST, "COERCE_DECIMAL_TO_STRING": False}},
    {"USE_TZ": False},
    {"TIME_ZONE": "Asia/Kolkata"},
    {"REST_FRAMEWORK": {**REST, "DATETIME_FORMAT": "%d.%m.%Y %H:%M", "DATE_FORMAT": "%d/%m"}},
    {"USE_TZ": False, "REST_FRAMEWORK": {**REST, "COERCE_DECIMAL_TO_STRING": False}},
    {},
]
DATED = [{"price": "12.345", "updated": "2022-02-03T04:05:06", "published": "2022-02-03"},
         {"price": "3.5", "updated": "2022-02-03T04:05:06+05:00", "published": "03/02/2022"},
         {"price": 7, "updated": "2022-03-27T02:30:00"}]


def test_settings_changed_between_calls_on_the_same_class(books):
    represented = []
    for changes in SETTINGS:
        with override_settings(**changes):
            represented.append(each(lambda book: Dated(book).data, books))
            each(lambda data: validated(Dated(data=data)), DATED)
    assert len({repr(r) for r in represented}) == len(SETTINGS) - 1


def test_threads_each_with_their_own_context(books):
    book = books[2]
    contexts = [{"request": factory.get("/", HTTP_HOST=f"t{i}.example"), "tag": f"thread {i}",
                 "n": i, "banned": {f"b{i % 2}"}, "suffix": str(i)} for i in range(8)]

    def work(ctx):
        return (BookLink(book, context=ctx).data, StampedBook(book, context=ctx).data,
                validated(Gate(data={"title": "b1", "pages": 3}, context=ctx)))

    with installed(False):
        expected = [outcome(partial(work, ctx)) for ctx in contexts]
    assert len({repr(e) for e in expected}) == 8 and all(e[0] == "ok" for e in expected)
    barrier, failures = threading.Barrier(8), []

    def worker(i):
        barrier.wait()
        for n in range(150):
            try:
                assert_same(outcome(partial(work, contexts[i])), expected[i])
            except AssertionError as exc:
                failures.append(f"thread {i}, iteration {n}: {exc}")
                return

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with installed(True):
            threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[:3]


def test_a_class_made_again_after_the_last_one_died():
    """A new class may take the memory (and id) of one collected before it."""
    source = {f"f{j}": j for j in range(5)}
    for i in range(20):
        cls = type("Again", (s.Serializer,), {
            f"f{j}": (s.IntegerField if (i + j) % 2 else s.CharField)() for j in range(i % 4 + 1)})
        each(lambda data: cls(data).data, [source])
        each(lambda data: validated(cls(data=data)), [{f"f{j}": f"{j}" for j in range(5)}])
        del cls
        gc.collect()


@pytest.mark.parametrize("name", ["books", "authors", "publishers"])
def test_one_object_and_what_is_nested_in_it(books, name):
    cls = serializer_classes(s)[name]
    objects = {"books": books, "authors": list(Author.objects.order_by("id")),
               "publishers": list(Publisher.objects.order_by("id"))}[name]
    each(lambda i: cls(objects[i % len(objects)], context=host_context(i % 3)).data, range(12))


BOOK = {"uid": "00000000-0000-4000-8000-00000000aaaa", "title": "New", "pages": 12,
        "price": "3.50", "published": "2022-02-03", "updated": "2022-02-03T04:05:06+02:00",
        "publisher": None, "authors": [], "tags": [], "extra": {"a": [1, None]}}


@pytest.mark.parametrize("update, partial_, changes", [
    (False, False, {}),
    (False, False, {"title": "Other", "tags": []}),
    (True, False, {"title": "Changed", "price": "1.00"}),
    (True, True, {"pages": 7}),
    (True, True, {"title": "forbidden"}),
    (True, True, {"pages": "many", "updated": "later"}),
])
def test_data_after_save(books, update, partial_, changes):
    cls = serializer_classes(s)["books"]
    data = {**({} if partial_ else BOOK), **changes}
    if not update:
        data["authors"] = [books[1].authors.get().pk]

    def save(i):
        with rolled_back():
            instance = Book.objects.get(pk=books[i].pk) if update else None
            serializer = cls(instance, data=data, partial=partial_, context=host_context(i))
            if serializer.is_valid():
                serializer.save()
                result = serializer.data
            else:
                result = serializer.errors
        return result

    each(save, range(3))


ORDERS = [
    {"ref": "r1", "total": "12.50", "first": {"sku": "ab", "qty": 2}, "lines": []},
    {"total": "1", "first": {"sku": "ab", "qty": 2}, "lines": []},
    {"ref": 5, "total": "x", "first": {"sku": "a b", "qty": 0, "when": "soon"},
     "lines": [{"qty": "q"}, {"sku": "ok", "qty": 1}]},
    {"ref": "r", "total": "1.00", "first": "not an object", "lines": {}},
    {"ref": None, "total": "9999.999", "first": None, "lines": [None]},
    {"ref": "r", "total": 3, "first": {"sku": "c", "qty": "2", "when": "2022-01-02T03:04:05Z"},
     "lines": [{"sku": "d", "qty": 1}] * 3, "note": "reject"},
    {"ref": "", "note": 7},
    QueryDict("ref=r&total=1.00&note="),
    [], "text", None,
]


@pytest.mark.parametrize("partial_", [False, True])
def test_one_payload(partial_):
    want = each(lambda data: validated(Order(data=data, partial=partial_)), ORDERS)
    assert want[0][1][0] is True and want[2][1][0] is False


def census():
    # By type: isinstance() would make Django's lazy objects set themselves up.
    kinds = {"serializers": s.BaseSerializer, "fields": drf_fields.Field,
             "django requests": HttpRequest, "drf requests": Request,
             "serializer classes": s.SerializerMetaclass}
    objects = gc.get_objects()
    return {name: sum(issubclass(type(obj), kind) for obj in objects)
            for name, kind in kinds.items()}


def run_requests(books, n):
    """`n` requests through the views, called directly (the test client connects
    signal handlers on every request), for alternating hosts."""
    book, publisher = books[1].pk, books[0].publisher_id
    calls = [("get", f"/books/{book}/", None, 200),
             ("patch", f"/books/{book}/", b'{"title": "Same"}', 200),
             ("patch", f"/books/{book}/", b'{"publisher": "nope", "title": ""}', 400),
             ("get", f"/publishers/{publisher}/", None, 200),
             ("post", "/fresh/", b'{"title": "t", "extra": 1}', 200),
             ("post", "/fresh/", b'{"title": "", "pages": "x"}', 400)]
    for i in range(n):
        method, url, body, status = calls[i % len(calls)]
        kwargs = {"data": body, "content_type": JSON} if body else {}
        request = getattr(factory, method)(url, HTTP_HOST=HOSTS[i % len(HOSTS)], **kwargs)
        match = resolve(request.path)
        response = match.func(request, *match.args, **match.kwargs)
        assert response.render().status_code == status, response.content


def test_requests_leave_no_serializer_request_or_field_alive(books):
    """Nothing 10,000 requests built (their serializers, their fields, the
    requests, the serializer class one view makes per request) outlives them,
    and the classes holding plans are the same after 100 requests as after
    10,100."""
    from quorvel_core import plans

    with installed(True):
        run_requests(books, 100)
        gc.collect()
        before, cached = census(), len(plans.cached_classes())
        run_requests(books, 10_000)
        gc.collect()
        assert census() == before
        assert len(plans.cached_classes()) == cached
