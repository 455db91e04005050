"""The values PostgreSQL's driver gives the model (arrays and nested arrays
with nulls, hstore dicts, ranges, JSON read through the model's decoder,
timestamps aware in UTC),
through plain DRF and through quorvel_core, in UTC and in other current time
zones: identical responses, identical values and errors. Runs under
`make test-postgres` only."""

import datetime
import json
import uuid
from decimal import Decimal

import pytest
from django.conf import settings

if settings.DATABASES["default"]["ENGINE"] != "django.db.backends.postgresql":
    pytest.skip("needs PostgreSQL (make test-postgres)", allow_module_level=True)

from django.core.management import call_command  # noqa: E402
from django.db.backends.postgresql.psycopg_any import NumericRange  # noqa: E402
from django.test import Client, override_settings  # noqa: E402
from django.urls import path  # noqa: E402
from django.utils import timezone  # noqa: E402
from rest_framework import generics, parsers  # noqa: E402
from rest_framework import serializers as s  # noqa: E402
from rest_framework.renderers import JSONRenderer as DRFJSONRenderer  # noqa: E402

from quorvel_core import serializers as fast  # noqa: E402
from quorvel_core.parsers import JSONParser  # noqa: E402
from quorvel_core.renderers import JSONRenderer  # noqa: E402
from tests.project.pgshop.models import Point, Record, Shelf  # noqa: E402

from .dropin_support import assert_responses_are_drfs, installed, respond  # noqa: E402
from .read_support import assert_same, outcome  # noqa: E402

UTC = datetime.timezone.utc
ZONES = ["UTC", "Asia/Kolkata", "America/New_York"]


def shelf_serializer(ns):
    class ShelfSerializer(ns.ModelSerializer):
        seen_in_kolkata = s.DateTimeField(source="seen", read_only=True,
                                          default_timezone=datetime.timezone(
                                              datetime.timedelta(hours=5, minutes=30)))

        class Meta:
            model = Shelf
            fields = "__all__"

    return ShelfSerializer


DRF_SHELF, FAST_SHELF = shelf_serializer(s), shelf_serializer(fast)


def views(prefix, serializer, renderer, parser):
    options = {"serializer_class": serializer, "queryset": Shelf.objects.order_by("id"),
               "renderer_classes": [renderer],
               "parser_classes": [parser, parsers.FormParser]}
    listing = type("Shelves", (generics.ListCreateAPIView,), options).as_view()
    detail = type("Shelf", (generics.RetrieveUpdateAPIView,), options).as_view()
    return [path(f"{prefix}/shelves/", listing), path(f"{prefix}/shelves/<int:pk>/", detail)]


urlpatterns = [  # this module is the URLconf of its tests
    *views("drf", DRF_SHELF, DRFJSONRenderer, parsers.JSONParser),
    *views("fast", FAST_SHELF, JSONRenderer, JSONParser),
]


@pytest.fixture
def shelves(db):
    """A row with every field set, one with the nulls, empty arrays, hstore
    and range, one whose JSON is a decoded scalar; their ids."""
    east = datetime.timezone(datetime.timedelta(hours=9))
    rows = [
        Shelf.objects.create(
            name="full", sizes=[3, None, -7], labels=["a", "\u00e9t\u00e9"],
            grid=[[1, 2], [None, 4]], prices=[Decimal("1.50"), Decimal("-0.05")],
            uids=[uuid.UUID(int=7), uuid.UUID("12345678-1234-5678-1234-567812345678")],
            moments=[datetime.datetime(2024, 3, 10, 6, 30, 0, 123456, tzinfo=UTC),
                     datetime.datetime(2023, 12, 31, 23, 59, 59, tzinfo=east)],
            days=[datetime.date(2020, 2, 29)],
            layout={"w": 1.25, "p": {"x": 1, "y": 2.5}, "l": [1, {"k": None}], "n": 3,
                    "s": "\u2028"},
            facts={"colour": "r\u00f6d", "none": None, "": ""}, span=NumericRange(2, 9),
            seen=datetime.datetime(2024, 11, 3, 5, 30, 0, 1, tzinfo=UTC),
            stocked=datetime.datetime(2024, 6, 1, 12, 0, tzinfo=east)),
        Shelf.objects.create(
            name="empty", sizes=[], labels=None, grid=[], prices=[], uids=[], moments=[],
            days=None, layout=None, facts={}, span=NumericRange(empty=True), seen=None,
            stocked=datetime.datetime(2000, 1, 1, tzinfo=UTC)),
        Shelf.objects.create(
            name="scalar", sizes=[0], labels=[], grid=[[None]], layout=2.5,
            span=NumericRange(None, 4, "[)"),
            seen=datetime.datetime(2024, 3, 10, 7, 0, tzinfo=UTC),
            stocked=datetime.datetime(2024, 3, 10, 7, 0, tzinfo=east)),
    ]
    return [row.pk for row in rows]


def test_the_driver_gives_the_values_these_tests_are_about(shelves):
    full, _, scalar = (Shelf.objects.get(pk=pk) for pk in shelves)
    assert type(full.layout) is Record and type(full.layout["p"]) is Point
    assert type(full.layout["w"]) is Decimal and type(scalar.layout) is Decimal
    assert full.seen.tzinfo is UTC and all(m.tzinfo is UTC for m in full.moments)
    assert full.grid == [[1, 2], [None, 4]] and type(full.uids[0]) is uuid.UUID
    assert type(full.facts) is dict and type(full.span) is NumericRange


def test_the_migration_matches_the_model():
    call_command("makemigrations", "pgshop", check=True, dry_run=True, verbosity=0)


def body(**fields):
    base = {"name": "new", "sizes": [1, None, 2], "labels": ["x"], "grid": [[1], [2]],
            "prices": ["0.10", 2], "uids": ["00000000-0000-4000-8000-00000000000a"],
            "moments": ["2024-03-10T01:30:00-05:00", "2024-11-03T01:30:00"],
            "days": ["2024-01-31"], "layout": {"a": [1.5, {"x": 0, "y": 1}]},
            "facts": {"k": "v", "n": None}, "span": [1, 5],
            "seen": "2024-03-10T02:30:00", "stocked": "2024-03-10T12:00:00Z"}
    base.update(fields)
    return json.dumps(base).encode()


JSON = "application/json"
# (name, method, path with {0}.. for the rows' ids, body, content type, expected status)
REQUESTS = [
    ("list", "get", "/shelves/", None, None, 200),
    ("detail", "get", "/shelves/{0}/", None, None, 200),
    ("detail of nulls", "get", "/shelves/{1}/", None, None, 200),
    ("detail of a scalar", "get", "/shelves/{2}/", None, None, 200),
    ("create", "post", "/shelves/", body(), JSON, 201),
    ("create with nulls and empty arrays", "post", "/shelves/",
     body(sizes=[], labels=None, grid=[], prices=[], uids=[], moments=[], days=None, layout=None,
          facts=None, span=None, seen=None), JSON, 201),
    ("create with the JSON as form text", "post", "/shelves/",
     b"name=form&stocked=2024-01-01T00:00:00&layout=%7B%22x%22%3A+1.5%2C+%22y%22%3A+2%7D"
     b"&sizes=4&sizes=5", "application/x-www-form-urlencoded", 201),
    ("create invalid", "post", "/shelves/",
     body(sizes="1,2", labels=["a", "b", "c", "d", "e"], grid=[[1], "x", [None, "y"]],
          prices=["1.234", "n"], uids=["nope"], moments=["2024-03-10T02:30:00", 5],
          days=[None], facts={"k": 1, "l": [1]}, span=[9, 1], seen="0001-01-01T00:00:00Z",
          stocked=None), JSON, 400),
    ("create with a label too long", "post", "/shelves/", body(labels=["x" * 13]), JSON, 400),
    ("update", "put", "/shelves/{0}/", body(name="changed", grid=[[7, None]], labels=[]), JSON,
     200),
    ("partial update", "patch", "/shelves/{1}/",
     b'{"sizes": [null], "layout": [1.0, "t"], "seen": "2024-07-01T10:00:00+02:00"}', JSON, 200),
    ("partial update invalid", "patch", "/shelves/{2}/", b'{"grid": [1, 2], "prices": [[1]]}',
     JSON, 400),
]


def exchange(client, prefix, request, ids):
    _, method, url, data, content_type, _ = request
    kwargs = {} if data is None else {"data": data, "content_type": content_type}
    return respond(client, method, prefix + url.format(*ids), **kwargs)


@pytest.fixture(autouse=True)
def urls():
    with override_settings(ROOT_URLCONF=__name__, ALLOWED_HOSTS=["testserver"]):
        yield


@pytest.mark.parametrize("zone", ZONES)
@pytest.mark.parametrize("request_", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_responses_are_drfs(shelves, zone, request_):
    client = Client()
    with timezone.override(zone):
        assert_responses_are_drfs(lambda prefix: exchange(client, prefix, request_, shelves),
                                  request_[-1])


def compare(call):
    """`call(serializer class)` with plain DRF, then with install() on and
    with quorvel_core's class: the same values of the same types, or the same
    exception."""
    with installed(False):
        want = outcome(lambda: call(DRF_SHELF))
    with installed(True):
        everywhere = outcome(lambda: call(DRF_SHELF))
    own_class = outcome(lambda: call(FAST_SHELF))
    assert_same(everywhere, want)
    assert_same(own_class, want)
    return want


@pytest.mark.parametrize("zone", ZONES)
def test_representations_are_drfs(shelves, zone):
    with timezone.override(zone):
        compare(lambda cls: cls(Shelf.objects.order_by("id"), many=True).data)
        for pk in shelves:
            compare(lambda cls: cls(Shelf.objects.get(pk=pk)).data)


@pytest.mark.parametrize("zone", ZONES)
def test_validation_of_many_is_drfs(zone):
    payloads = [json.loads(body()), json.loads(body(grid=[[1, "z"]], moments=[None])),
                json.loads(body(sizes=[], days=[], layout=None)), json.loads(body(labels="ab"))]

    def validate(cls):
        serializer = cls(data=payloads, many=True)
        return serializer.is_valid(), serializer.errors, serializer.validated_data

    with timezone.override(zone):
        assert compare(validate)[1][0] is False


@pytest.mark.parametrize("zone", ZONES)
@pytest.mark.parametrize("moment", [
    datetime.datetime(1, 1, 1, 2, tzinfo=UTC),
    datetime.datetime(9999, 12, 31, 23, 59, tzinfo=UTC),
])
def test_datetimes_at_the_ends_of_the_range(db, zone, moment):
    """Values the current zone cannot hold: DRF reports them while
    representing, and so must the native loop."""
    for name in ("a", "b", "c"):
        Shelf.objects.create(name=name, moments=[moment], seen=moment, stocked=moment)
    rows = Shelf.objects.order_by("id")
    with timezone.override(zone):
        compare(lambda cls: cls(rows, many=True).data)
        compare(lambda cls: cls(rows.first()).data)
