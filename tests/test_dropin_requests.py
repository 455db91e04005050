"""Whole requests through Django's test client: plain DRF against quorvel_core
switched on process-wide (install()) and through its own classes. Status,
headers and body bytes must be identical."""

import datetime
import gc
import json
import weakref
from decimal import Decimal

import pytest
from django.test import Client, RequestFactory, override_settings
from django.urls import resolve
from rest_framework import serializers as s

from quorvel_core import _quorvel_core as native
from tests.project.shop.models import Author, Book, Profile, Publisher, Review, Tag

from .dropin_support import assert_responses_are_drfs, respond


@pytest.fixture(autouse=True)
def urls():
    with override_settings(ROOT_URLCONF="tests.dropin_views", ALLOWED_HOSTS=["testserver"]):
        yield


@pytest.fixture
def shop(db):
    publishers = [Publisher.objects.create(name=f"pub {i}", website=f"https://p{i}.example")
                  for i in range(2)]
    authors = [Author.objects.create(name=f"author {i}", email=f"a{i}@example.com",
                                     birth_date=datetime.date(1970 + i, 1 + i, 2))
               for i in range(3)]
    Profile.objects.create(author=authors[0], bio="b\u00e9o")
    tags = [Tag.objects.create(label=label) for label in ("sf", "caf\u00e9", "x\u2028y")]
    for i in range(4):
        book = Book.objects.create(
            uid=f"00000000-0000-4000-8000-{i:012d}", title=f"Book \u00ab{i}\u00bb",
            pages=100 * i, price=Decimal(f"{i}9.90"), rating=None if i == 2 else i + 0.5,
            in_print=i % 2 == 0, format=["hc", "pb", "eb", "pb"][i],
            published=datetime.date(2020, 1, 1 + i) if i else None,
            updated=datetime.datetime(2021, 3, 4, 5, 6, 7, 890 * i,
                                      tzinfo=datetime.timezone(datetime.timedelta(hours=i))),
            publisher=publishers[i % 2] if i != 3 else None, extra={"n": i, "l": [i, "\u00e9"]})
        book.authors.set(authors[: i + 1])
        book.tags.set(tags[i % 3:])
        for star in range(i):
            Review.objects.create(book=book, body=f"review {star}", stars=star + 1)
    return Book.objects.order_by("id").values_list("id", flat=True)[0]


def body(**fields):
    base = {"uid": "00000000-0000-4000-8000-00000000aaaa", "title": "New", "pages": 12,
            "price": "3.50", "rating": 2.5, "in_print": True, "format": "eb",
            "published": "2022-02-03", "updated": "2022-02-03T04:05:06.000007+02:00",
            "publisher": None, "authors": [], "tags": [], "extra": {"a": [1, None]}}
    base.update(fields)
    return json.dumps(base).encode()


JSON = "application/json"
# (name, method, path under the prefix with {pk} for the first book, body, content type,
#  extra headers, expected status)
REQUESTS = [
    ("book list", "get", "/books/", None, None, {}, 200),
    ("book list indented", "get", "/books/", None, None,
     {"HTTP_ACCEPT": "application/json; indent=2"}, 200),
    ("book detail", "get", "/books/{pk}/", None, None, {}, 200),
    ("book missing", "get", "/books/999999/", None, None, {}, 404),
    ("author list", "get", "/authors/", None, None, {}, 200),
    ("create", "post", "/books/", body(authors=[1], tags=[1, 2]), JSON, {}, 201),
    ("create unicode", "post", "/books/", body(title="\u00e9t\u00e9 \U0001f600 \u2028"), JSON,
     {}, 201),
    ("create bad fields", "post", "/books/",
     body(title="", pages="x", price="abc", rating="nan", format="zz", published="2024-13-01",
          updated="later", publisher=999, authors=["a"], uid="nope"), JSON, {}, 400),
    ("create missing title", "post", "/books/", b'{"uid": "00000000-0000-4000-8000-00000000bbbb"}',
     JSON, {}, 400),
    ("create validate method", "post", "/books/", body(title="Forbidden"), JSON, {}, 400),
    ("create lone surrogate", "post", "/books/", b'{"title": "\\udc00"}', JSON, {}, 400),
    ("create form data", "post", "/books/",
     b"uid=00000000-0000-4000-8000-00000000cccc&title=Form&price=1.00&authors=1",
     "application/x-www-form-urlencoded", {}, 201),
    ("update", "put", "/books/{pk}/", body(title="Changed", tags=[3]), JSON, {}, 200),
    ("partial update", "patch", "/books/{pk}/", b'{"pages": 7, "in_print": false}', JSON, {}, 200),
    ("update invalid", "put", "/books/{pk}/", body(price="1234567.891"), JSON, {}, 400),
    ("update with a list", "put", "/books/{pk}/", b"[]", JSON, {}, 400),
    ("update with a string", "patch", "/books/{pk}/", b'"title"', JSON, {}, 400),
    ("update with null", "patch", "/books/{pk}/", b"null", JSON, {}, 400),
    ("delete", "delete", "/books/{pk}/", None, None, {}, 204),
    ("author create", "post", "/authors/", b'{"name": "N", "email": "n@example.com"}', JSON, {},
     201),
    ("author create invalid", "post", "/authors/",
     b'{"name": "' + b"n" * 101 + b'", "email": "not an address", "birth_date": 5}', JSON, {},
     400),
    ("plain serializer", "post", "/reviews/", b'{"body": "fine", "stars": 4}', JSON, {}, 200),
    ("plain serializer invalid", "post", "/reviews/", b'{"body": 1, "stars": 9}', JSON, {}, 400),
    ("many", "post", "/reviews/",
     b'[{"body": "a", "stars": 1}, {"body": "b", "stars": 2}, {"body": "\\u00e9", "stars": 5}]',
     JSON, {}, 200),
    ("many invalid", "post", "/reviews/", b'[{"body": "a", "stars": 1}, {"stars": 0}, 3]', JSON,
     {}, 400),
    # Bodies the JSON parser must report, or accept, exactly as DRF does.
    ("malformed", "post", "/books/", b'{"title": ', JSON, {}, 400),
    ("trailing comma", "post", "/books/", b'{"title": "x",}', JSON, {}, 400),
    ("byte order mark", "post", "/books/", b'\xef\xbb\xbf{"title": "x"}', JSON, {}, 400),
    ("bad utf-8", "post", "/books/", b'{"title": "\xff"}', JSON, {}, 400),
    ("truncated last character", "post", "/reviews/", b'{"body": "a", "stars": 1}\xe2\x82', JSON,
     {}, 200),
    ("nan", "post", "/books/", b'{"title": "x", "rating": NaN}', JSON, {}, 400),
    ("deep nesting", "post", "/reviews/", b"[" * 300 + b"]" * 300, JSON, {}, 400),
    # The client encodes a text body in the content type's charset.
    ("latin-1 charset", "post", "/reviews/", '{"body": "caf\u00e9", "stars": 2}',
     JSON + "; charset=latin-1", {}, 200),
    ("utf-16 charset", "post", "/reviews/", '{"body": "\u00e9", "stars": 2}',
     JSON + "; charset=utf-16", {}, 200),
    ("utf-16 body as utf-8", "post", "/reviews/", '{"stars": 2}'.encode("utf-16-le"), JSON, {}, 400),
]


def exchange(client, prefix, request, pk):
    _, method, path, data, content_type, extra, _ = request
    kwargs = dict(extra)
    if data is not None:
        kwargs.update(data=data, content_type=content_type)
    return respond(client, method, prefix + path.format(pk=pk), **kwargs)


@pytest.mark.parametrize("request_", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_responses_are_drfs(shop, request_):
    client = Client()
    assert_responses_are_drfs(lambda prefix: exchange(client, prefix, request_, shop), request_[-1])


def test_list_holds_every_book(shop):
    content = Client().get("/fast/books/").content
    assert [book["title"] for book in json.loads(content)] == [
        f"Book \u00ab{i}\u00bb" for i in range(4)]


def count(cls):
    # By type: isinstance() would make Django's lazy objects set themselves up.
    return sum(issubclass(type(obj), cls) for obj in gc.get_objects())


def tracked():
    """The objects the collector tracks, less dead weak references: sqlite3's
    connection keeps one to each cursor it made and drops the dead ones only
    every 200 cursors, so their number depends on how many queries ran before."""
    return sum(type(obj) is not weakref.ref or obj() is not None for obj in gc.get_objects())


def run_views(pk, n):
    """`n` requests, calling the views directly (the test client connects signal
    handlers on every request). One in ten is the nested book detail."""
    factory = RequestFactory()
    requests = [
        lambda: factory.get(f"/fast/books/{pk}/"),
        *[lambda: factory.get("/fast/authors/"), lambda: factory.get("/fast/authors/1/"),
          lambda: factory.post("/fast/reviews/", data=b'{"body": "a", "stars": 1}',
                               content_type=JSON),
          lambda: factory.post("/fast/reviews/", data=b'[{"body": "a", "stars": 1}, {}, 3, {}]',
                               content_type=JSON, HTTP_ACCEPT="application/json; indent=1")] * 3,
    ]
    for i in range(n):
        request = requests[i % len(requests)]()
        match = resolve(request.path)
        response = match.func(request, *match.args, **match.kwargs)
        assert response.render().status_code in (200, 400)


def test_requests_leave_nothing_behind(shop):
    """The compiled objects die with the call (no cycle runs through them), and
    a thousand requests leave no serializer alive and the number of objects
    the collector tracks (every dict, list, serializer, field and model
    instance) where it was."""
    run_views(shop, 200)
    gc.collect()
    serializers, objects = count(s.BaseSerializer), tracked()
    compiled = count(native.CompiledSerializer)
    gc.disable()
    try:
        run_views(shop, 30)
        assert count(native.CompiledSerializer) == compiled
    finally:
        gc.enable()
    run_views(shop, 1000)
    gc.collect()
    assert count(s.BaseSerializer) == serializers
    assert tracked() - objects < 100
