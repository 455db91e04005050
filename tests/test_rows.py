"""The native row loop against Django's own: each queryset is evaluated with
ModelIterable as Django ships it and with install()'s loop, and the instances
must match attribute by attribute, in __dict__ order, states and caches
included, value types and reprs too."""

import datetime
import decimal
import random
import struct
import tracemalloc
import uuid
import weakref
from contextlib import contextmanager

import pytest
from django.db import connection
from django.db.models import (BooleanField, Count, ExpressionWrapper, F, FilteredRelation, Max,
                              Model, Prefetch, Q)
from django.db.models.base import ModelState, ModelStateFieldsCacheDescriptor
from django.db.models.fields.mixins import FieldCacheMixin
from django.db.models.expressions import RawSQL
from django.db.models.functions import TruncDay
from django.db.models.query import QuerySet, RelatedPopulator
from django.db.models.signals import ModelSignal, post_init, pre_init
from django.db.models.sql.compiler import SQLCompiler
from django.test.utils import override_settings
from django.utils import timezone

import quorvel_core
from quorvel_core import installation, row_converters, rows

from .helpers import run_isolated
from .project.shop.models import (Author, Book, Category, Gadget, GreetedPlace, LoadedPlace, Measure,
                                  NotedPlace, Place, PlaceProxy, Profile, Publisher, Restaurant,
                                  Review, Tag, Ticket)

sqlite_only = pytest.mark.skipif(connection.vendor != "sqlite", reason="SQLite's stored texts")


@contextmanager
def native_rows(on):
    """Django's ModelIterable (False) or the native loop (True) for a block,
    then the installed state the block found."""
    was, was_orm = quorvel_core.is_installed(), installation.is_orm_installed()
    quorvel_core.uninstall()
    if on:
        quorvel_core.install()
    few_rows, rows.FEW_ROWS = rows.FEW_ROWS, 0  # the native loop even for one row
    try:
        yield
    finally:
        rows.FEW_ROWS = few_rows
        quorvel_core.uninstall()
        if was:
            quorvel_core.install(orm=was_orm)


@pytest.fixture(autouse=True)
def keeps_installed_state():
    found = quorvel_core.is_installed(), installation.is_orm_installed()
    yield
    assert (quorvel_core.is_installed(), installation.is_orm_installed()) == found


def snap(value, seen=None):
    """A comparable picture of `value`: instances by type, __dict__ items in
    order (the state's too); an instance met again by when it was first met."""
    seen = {} if seen is None else seen
    if isinstance(value, (Model, ModelState)):
        if id(value) in seen:
            return ("again", seen[id(value)])
        seen[id(value)] = len(seen)
        return (type(value), [(k, snap(v, seen)) for k, v in vars(value).items()])
    if isinstance(value, QuerySet):
        return (QuerySet, value.model, snap(value._result_cache, seen))
    if isinstance(value, (list, tuple)):
        return (type(value), [snap(v, seen) for v in value])
    if isinstance(value, dict):
        return (type(value), [(k, snap(v, seen)) for k, v in value.items()])
    if isinstance(value, uuid.UUID):
        return (type(value), value.hex, value.is_safe)
    if isinstance(value, weakref.ref):  # 6.1's peers
        return (weakref.ref, snap(value(), seen))
    return (type(value), repr(value))  # Decimal places, tzinfo and fold show in the repr


def outcome(make, consume):
    try:
        return ("gave", snap(consume(make())))
    except Exception as exc:  # Django's own exception must come out of the native loop
        return ("raised", type(exc), str(exc))


def compare(make, consume=list):
    """Django's outcome, after checking the native loop's is the same; and the
    change of rows.counts() while the native loop was installed."""
    with native_rows(False):
        expected = outcome(make, consume)
    with native_rows(True):
        before = rows.counts()
        got = outcome(make, consume)
        after = rows.counts()
    assert got == expected
    return expected, {key: after[key] - before[key] for key in after}


def assert_native(make, consume=list):
    expected, delta = compare(make, consume)
    assert expected[0] == "gave"
    assert delta["native"] >= 1 and delta["django"] == 0, delta
    return expected[1]


@pytest.fixture
def shop(db):
    when = datetime.datetime(2024, 1, 5, 7, 5, 9, 123456, tzinfo=datetime.UTC)
    north, south = Publisher.objects.create(name="North"), Publisher.objects.create(name="South")
    ann, bob, cy = (Author.objects.create(name=n, birth_date=d) for n, d in
                    [("Ann", datetime.date(1970, 2, 3)), ("Bob", None), ("Cy", None)])
    Profile.objects.create(author=ann, bio="writes")
    red, blue = Tag.objects.create(label="red"), Tag.objects.create(label="blue")
    books = [Book.objects.create(title=f"B{i}", pages=i * 120, price=price, rating=rating,
                                 in_print=i % 2 == 0, published=published, updated=updated,
                                 publisher=publisher, extra=extra)
             for i, (price, rating, published, updated, publisher, extra) in enumerate([
                 (decimal.Decimal("1.10"), None, datetime.date(2020, 1, 2), when, north,
                  {"a": [1, 2.5, None]}),
                 (0, 4.5, None, None, north, {}),
                 (decimal.Decimal("123456.78"), 1.0, datetime.date(1999, 12, 31),
                  when.replace(microsecond=0), south, "text"),
                 (decimal.Decimal("0.01"), None, None, when, None, [1]),
                 (decimal.Decimal("9.99"), 3.0, datetime.date(2024, 2, 29), None, south, 3),
             ])]
    books[0].authors.set([ann, bob])
    books[2].authors.set([cy])
    books[0].tags.set([red, blue])
    for book, stars in [(books[0], 5), (books[0], 2), (books[1], 4), (books[2], 3)]:
        Review.objects.create(book=book, body=f"{book.title} {stars}", stars=stars)
    Gadget.objects.create(serial=2**40, alarm=datetime.time(7, 30, 15, 250), address="10.0.0.1",
                          warranty=datetime.timedelta(days=3, microseconds=5), manual="docs/a.pdf",
                          owner=ann)
    Gadget.objects.create(serial=-1, weight=0.1)
    root = Category.objects.create(name="root")
    Category.objects.create(name="leaf", parent=Category.objects.create(name="mid", parent=root))
    ticket = Ticket.objects.create(label="t1")
    Place.objects.create(name="Plain", code="ab", level=3, document="docs/x.txt",
                         picture="pics/y.png", ticket=ticket, tag=red)
    Restaurant.objects.create(name="Pizza", serves_pizza=True, publisher=north, tag=blue)
    Restaurant.objects.create(name="Bare", code="", ticket=ticket)
    Place.objects.create(name="Fourth", level=4)
    Place.objects.create(name="Fifth", level=5)
    return books


QUERYSETS = {
    "many field types": lambda: Book.objects.order_by("pk"),
    "time, duration, file": lambda: Gadget.objects.order_by("pk"),
    "only": lambda: Book.objects.only("title", "publisher").order_by("pk"),
    "defer": lambda: Book.objects.defer("title", "extra", "updated").order_by("-pk"),
    "only the key": lambda: Book.objects.only("pk"),
    "nullable select_related": lambda: Book.objects.select_related("publisher").order_by("pk"),
    "select_related with only": lambda: Book.objects.select_related("publisher").only(
        "title", "publisher__name"),
    "chained select_related": lambda: Review.objects.select_related("book__publisher"),
    "self chain": lambda: Category.objects.select_related("parent__parent").order_by("pk"),
    "reverse one-to-one": lambda: Author.objects.select_related("profile").order_by("pk"),
    "forward one-to-one": lambda: Profile.objects.select_related("author"),
    "custom fields, uuid and text keys": lambda: Place.objects.order_by("pk"),
    "select_related on uuid and text keys": lambda: Place.objects.select_related("ticket", "tag"),
    "child of multi-table inheritance": lambda: Restaurant.objects.order_by("pk"),
    "child with select_related": lambda: Restaurant.objects.select_related(
        "publisher", "place_ptr__ticket"),
    "parent with its child": lambda: Place.objects.select_related("restaurant").order_by("pk"),
    "parent with child's relation": lambda: Place.objects.select_related(
        "restaurant__publisher", "ticket", "tag").defer("restaurant__serves_pizza"),
    "filtered relation": lambda: Review.objects.annotate(b=FilteredRelation(
        "book", condition=Q(book__pages__gt=0))).select_related("b__publisher"),
    "proxy": lambda: PlaceProxy.objects.select_related("ticket").order_by("pk"),
    "iterator in chunks smaller than the rows": lambda: Book.objects.select_related(
        "publisher").order_by("pk").iterator(chunk_size=2),
    "count and F": lambda: Publisher.objects.annotate(
        n=Count("books"), twice=F("n") * 2).order_by("pk"),
    "annotated columns": lambda: Book.objects.annotate(
        cost=F("price"), copy=F("uid"), big=ExpressionWrapper(Q(pages__gt=200),
                                                              output_field=BooleanField()),
        odd=RawSQL("2", (), output_field=BooleanField()), latest=Max("updated"),
        first=Max("published"), day=TruncDay("updated")).order_by("pk"),
    "extra select": lambda: Book.objects.extra(select={"double": "pages * 2"}).order_by("pk"),
    "union": lambda: Book.objects.filter(pages__lt=200).union(
        Book.objects.filter(pages__gt=400)).order_by("pk"),
    "reverse manager or other": lambda: (Publisher.objects.get(name="North").books.all()
                                         | Book.objects.all()).order_by("pk"),
    "prefetch reverse FK and M2M": lambda: Book.objects.prefetch_related(
        "reviews", "authors", "tags").order_by("pk"),
    "prefetch with a queryset": lambda: Publisher.objects.prefetch_related(
        Prefetch("books", queryset=Book.objects.filter(pages__gt=0).order_by("-pages"),
                 to_attr="thick"), "books__authors").order_by("pk"),
    "prefetch in iterator chunks": lambda: Book.objects.prefetch_related(
        "authors", "reviews").order_by("pk").iterator(chunk_size=2),
    "prefetch over select_related": lambda: Author.objects.select_related(
        "profile").prefetch_related("books__publisher").order_by("pk"),
}


@pytest.mark.parametrize("make", QUERYSETS.values(), ids=QUERYSETS.keys())
def test_querysets_match_django(shop, make):
    assert assert_native(make)[1], "no rows to compare"


def test_a_reverse_managers_rows_hold_the_instance_it_came_from(shop):
    def books_of_north():
        north = Publisher.objects.get(name="North")
        return north, list(north.books.order_by("pk"))

    assert_native(books_of_north, lambda pair: pair)
    with native_rows(True):
        north, books = books_of_north()
    assert len(books) == 2 and all(book.publisher is north for book in books)


@pytest.mark.parametrize("values", [
    lambda: Book.objects.values("title", "updated", "publisher__name", n=Count("reviews")),
    lambda: Book.objects.values_list("uid", "price", "published", "in_print", "extra"),
    lambda: Book.objects.values_list("updated", flat=True),
], ids=["values", "values_list", "flat"])
def test_values_and_values_list_keep_their_own_iterables(shop, values):
    (kind, pictured), delta = compare(lambda: values().order_by("pk"))
    assert kind == "gave" and len(pictured[1]) == 5
    assert delta == {"native": 0, "django": 0}


@pytest.mark.parametrize("cls, reason, own", [
    (GreetedPlace, "it defines __init__", "greeting"),
    (LoadedPlace, "it defines from_db", "loaded"),
    (NotedPlace, "a base after Model defines __init__", "noted"),
])
def test_classes_that_build_their_own_instances_run_djangos_loop(shop, cls, reason, own):
    assert rows.model_refusal(cls) == reason
    assert rows.model_refusal(Place) is None
    (kind, pictured), delta = compare(lambda: cls.objects.order_by("pk"))
    assert kind == "gave" and len(pictured[1]) == 5
    assert delta == {"native": 0, "django": 1}
    assert all(own in dict(instance[1]) for instance in pictured[1])  # their own code ran


@pytest.mark.parametrize("sender, make, built", [
    (Book, lambda: Book.objects.select_related("publisher").order_by("pk"), 5),
    (Publisher, lambda: Book.objects.select_related("publisher").order_by("pk"), 4),
    (Publisher, lambda: Publisher.objects.prefetch_related("books"), 2),
])
def test_post_init_receiver_connected_between_queries(shop, sender, make, built):
    def on_init(sender, instance, **kwargs):
        calls.append(instance)
        instance.seen = len(calls)

    calls = []
    with native_rows(True):
        list(make())  # the signal now caches "no receivers" for the sender
        post_init.connect(on_init, sender=sender)
        try:
            instances = list(make())
            made_here = calls[:]
            expected, delta = compare(lambda: (calls.clear(), make())[1])
        finally:
            post_init.disconnect(on_init, sender=sender)
        calls.clear()
        list(make())
    assert calls == [] and len(made_here) == built
    assert all(type(obj) is sender for obj in made_here)
    if sender is Book:
        assert [id(obj) for obj in made_here] == [id(obj) for obj in instances]
    assert delta["native"] >= 1 and delta["django"] == 0


def test_pre_init_receiver_of_another_model_leaves_the_rows_native(shop):
    def on_author(sender, **kwargs):
        calls.append(sender)

    calls = []
    pre_init.connect(on_author, sender=Author)
    try:
        assert_native(lambda: Book.objects.select_related("publisher").order_by("pk"))
        assert_native(lambda: Profile.objects.select_related("author"))
    finally:
        pre_init.disconnect(on_author, sender=Author)
    assert calls == [Author] * 2  # once per Profile query, in each loop


@pytest.mark.parametrize("use_tz", [True, False])
def test_time_zones(shop, use_tz):
    # override_settings drops the connection's cached zone, both ways.
    with override_settings(USE_TZ=use_tz):
        pictured = assert_native(lambda: Book.objects.annotate(latest=Max("updated")).order_by(
            "pk"))
    assert ("tzinfo=datetime.timezone.utc" in repr(pictured)) is use_tz


def stored(model, column, value, row=0):
    """Writes `value` into `column` of the `row`th instance by key, as SQLite
    keeps it: no adapter of Django's runs."""
    quote = connection.ops.quote_name
    key = model.objects.order_by("pk")[row].pk
    with connection.cursor() as cursor:
        cursor.execute(f"UPDATE {quote(model._meta.db_table)} SET {quote(column)} = %s "
                       "WHERE id = %s", [value, key])


@sqlite_only
@pytest.mark.parametrize("annotated", [False, True], ids=["column", "aggregate"])
@pytest.mark.parametrize("column, value", [
    *[("updated", text) for text in [
        "2024-1-5 7:05:09", "2024-01-05T07:05:09,5+02:00", "2024-1-5 7:05 Z", "20240105T070509",
        "garbage", "2024-02-30 10:00:00", b"\xff2024-01-05"]],
    *[("published", text) for text in ["2024-1-5", "20240105", "2024-02-30", "2024-01-05 10:00"]],
    *[("price", value) for value in ["abc", 5, 0.125, 1e12]],
    ("in_print", 2),
    *[("uid", text) for text in [
        "12345678-1234-5678-1234-56781234567A", "{12345678123456781234567812345678}",
        "+2345678123456781234567812345678", "1234567-81234-5678-1234-567812345678", "nope"]],
])
def test_stored_values_the_native_parsers_refuse_give_djangos_answer(shop, annotated, column,
                                                                     value):
    stored(Book, column, value)

    def make():
        books = Book.objects.order_by("pk")
        return books.annotate(top=Max(column)) if annotated else books

    expected, delta = compare(make)
    # The cursor's converters raise inside execute_sql, before either loop starts.
    assert delta["django"] == 0 and (delta["native"] == 1 or expected[0] == "raised")


STORED_TEXTS = [
    "2024-02-29", "2023-02-29", "1900-02-29", "2000-02-29", "2024-04-31", "0001-01-01",
    "0000-12-31", "9999-12-31", "2024-13-01", "2024-00-10", "2024-01-00", "2024-1-05",
    "2024/01/05", "2024-01-05 ", "+024-01-05",
    *[f"2024-02-29{sep}{time}" for sep in " T" for time in [
        "23:59:59.999999", "00:00:00", "24:00:00", "23:60:00", "23:59:60", "07:05:09.5",
        "07:05:09.1234567", "07:05:09.12345a", "07:05:09+02:00", "07:05:09.000000", "7:05:09"]],
    "2023-02-29 10:00:00", "0001-01-01 00:00:00", "9999-12-31T23:59:59.999999",
    "0000-01-01 00:00:00", "2024-01-05x07:05:09", " 2024-01-05 07:05:09", "2024-01-05 07:05:0٩",
]


@pytest.mark.parametrize("with_time", [False, True], ids=["date", "datetime"])
def test_the_cursor_converters_read_every_text_as_djangos(with_time):
    from django.db.backends.sqlite3.base import decoder
    from django.utils.dateparse import parse_date, parse_datetime

    from quorvel_core import _quorvel_core as native

    django_converter = decoder(parse_datetime if with_time else parse_date)
    stand_in = native.cursor_converter(with_time, django_converter)

    def answer(convert, raw):
        try:
            made = convert(raw)
        except Exception as exc:
            return type(exc), str(exc)
        return type(made), repr(made)

    for text in STORED_TEXTS:
        raw = text.encode()
        assert answer(stand_in, raw) == answer(django_converter, raw), text


@sqlite_only
@pytest.mark.parametrize("model, column, value, error, before", [
    (Place, "code", "boom", "boom is not a code", 3),  # a field's from_db_value
    (Place, "level", -1, "negative level -1", 3),  # a descriptor's __set__
    (Book, "published", "2024-02-30", "day ", 2),  # the cursor's converter
])
def test_an_exception_mid_iteration_comes_after_the_same_rows(shop, model, column, value, error,
                                                              before):
    def until_error(instances):
        made = []
        try:
            for obj in instances.iterator(chunk_size=2):
                made.append(obj)
        except Exception as exc:
            return made, f"{type(exc).__name__}: {exc}"
        return made, None

    stored(model, column, value, row=3)
    expected, _ = compare(lambda: model.objects.order_by("pk"), until_error)
    made, failure = expected[1][1]
    assert len(made[1]) == before and f"ValueError: {error}" in failure[1]


def date_classes_replaced(monkeypatch):
    # As freezegun and time-machine do; Django's parsers read them at each call.
    for name in ("datetime", "date"):
        monkeypatch.setattr(datetime, name, type(f"Fake{name}", (getattr(datetime, name),), {}))


def model_init_wrapped(monkeypatch):
    django_init = Model.__init__

    def init(self, *args, **kwargs):
        django_init(self, *args, **kwargs)
        self.wrapped = True

    monkeypatch.setattr(Model, "__init__", init)


def model_from_db_wrapped(monkeypatch):
    django_from_db = Model.from_db.__func__

    def from_db(cls, *args):
        obj = django_from_db(cls, *args)
        obj.wrapped = True
        return obj

    monkeypatch.setattr(Model, "from_db", classmethod(from_db))


# Django's own pieces that the native loop does in their place, each wrapped
# after import as a test's mock.patch or a profiler would: the wrapper runs.

def rows_reversed(monkeypatch):
    results_iter = SQLCompiler.results_iter
    monkeypatch.setattr(SQLCompiler, "results_iter",
                        lambda self, *args, **kwargs: reversed(list(results_iter(self, *args, **kwargs))))


def _marking(monkeypatch, owner, name, instance_at):
    # Django's method, then a mark on the instance it was handed.
    original = getattr(owner, name)

    def marked(self, *args):
        original(self, *args)
        setattr(args[instance_at], f"{name}_ran", True)

    monkeypatch.setattr(owner, name, marked)


def populate_marked(monkeypatch):
    _marking(monkeypatch, RelatedPopulator, "populate", 1)


def cached_value_marked(monkeypatch):
    _marking(monkeypatch, FieldCacheMixin, "set_cached_value", 0)


def make_aware_shifted(monkeypatch):
    make_aware = timezone.make_aware
    monkeypatch.setattr(timezone, "make_aware",
                        lambda value, tz=None: make_aware(value, tz) + datetime.timedelta(seconds=1))


def fields_cache_tracked(monkeypatch):
    class Tracked(dict):
        pass

    def get(self, instance, cls=None):
        if instance is None:
            return self
        res = instance.fields_cache = Tracked()
        return res

    monkeypatch.setattr(ModelStateFieldsCacheDescriptor, "__get__", get)


def signal_send_marked(monkeypatch):
    send = ModelSignal.send

    def marked(self, sender, **named):
        if "instance" in named:
            named["instance"].signalled = True
        return send(self, sender, **named)

    monkeypatch.setattr(ModelSignal, "send", marked)


def state_reads_counted(monkeypatch):
    def getattribute(self, name):
        if name == "_state":
            attributes = object.__getattribute__(self, "__dict__")
            attributes["state_reads"] = attributes.get("state_reads", 0) + 1
        return object.__getattribute__(self, name)

    monkeypatch.setattr(Book, "__getattribute__", getattribute)


@pytest.mark.parametrize("change", [
    date_classes_replaced, model_init_wrapped, model_from_db_wrapped, state_reads_counted,
    rows_reversed, populate_marked, cached_value_marked, make_aware_shifted, fields_cache_tracked,
    signal_send_marked])
def test_process_wide_changes_reach_the_rows(shop, monkeypatch, change):
    change(monkeypatch)
    compare(lambda: Book.objects.select_related("publisher").order_by("pk"))


def test_a_page_allocates_no_more_than_djangos_loop(shop):
    Review.objects.bulk_create(Review(book=book, body="x" * 20, stars=3)
                               for book in Book.objects.all() for _ in range(20))

    def peak(on):
        make = lambda: Review.objects.select_related("book__publisher")
        with native_rows(on):
            list(make())  # caches filled before measuring
            tracemalloc.start()
            try:
                kept = list(make())
                return tracemalloc.get_traced_memory()[1], len(kept)
            finally:
                tracemalloc.stop()

    (native, count), (django, expected) = peak(True), peak(False)
    assert count == expected > 100 and native <= django


def decimal_samples():
    """Floats and ints as SQLite hands them back: short decimals, halves and
    ties, binary fractions, random bit patterns, extremes."""
    rng = random.Random(5)
    floats = [0.0, -0.0, 0.5, 2.5, -1.125, 1e-7, 5e-324, 1e15, 1e22, 123456789012.345, 0.005,
              0.015, 1.005, 2**53 + 0.0, 9999999999.995, float("inf"), float("nan")]
    floats += [round(rng.uniform(-1e6, 1e6), rng.randrange(0, 10)) for _ in range(300)]
    floats += [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(100)]
    ints = [0, 7, -42, 10**14, 10**15, -(10**16), 2**63 - 1]
    return floats + ints


@sqlite_only
@pytest.mark.parametrize("column", ["cents", "fine", "whole"])
def test_stored_decimals_match_djangos_converter(db, column):
    field = Measure._meta.get_field(column)
    expression = field.get_col(Measure._meta.db_table)
    convert = connection.ops.get_decimalfield_converter(expression)
    (kind, extra), = [row_converters._kind(c, expression)
                      for c in connection.ops.get_db_converters(expression)]
    assert kind == row_converters.Converter.SQLITE_DECIMAL and extra[3] is not None

    def django_gives(value):
        try:
            return repr(convert(value, expression, connection))
        except (decimal.DecimalException, ValueError, OverflowError):
            return None

    kept = [v for v in decimal_samples() if django_gives(v) is not None]
    with connection.cursor() as cursor:
        cursor.executemany(f"INSERT INTO {Measure._meta.db_table} ({column}) VALUES (%s)",
                           [(v,) for v in kept])
    got, flags = {}, {}
    for on in (False, True):
        field.context.clear_flags()
        with native_rows(on):
            got[on] = [repr(getattr(m, column)) for m in Measure.objects.order_by("pk")]
        flags[on] = [str(s) for s, raised in field.context.flags.items() if raised]
    assert got[True] == got[False] and len(got[True]) == len(kept) > 100
    assert flags[True] == flags[False]
    refused = [v for v in decimal_samples() if django_gives(v) is None][:3]
    for value in refused:
        Measure.objects.all().delete()
        with connection.cursor() as cursor:
            cursor.execute(f"INSERT INTO {Measure._meta.db_table} ({column}) VALUES (%s)", [value])
        compare(lambda: Measure.objects.all())


@sqlite_only
@pytest.mark.parametrize("setting, value", [("rounding", decimal.ROUND_DOWN),
                                            ("traps", (decimal.Inexact, True))])
def test_stored_decimals_follow_the_default_context(db, monkeypatch, setting, value):
    """6.1 makes each float's decimal in a new context, which copies
    decimal.DefaultContext's settings. (The field's own context, made
    once, keeps those it was made with.)"""
    Measure._meta.get_field("cents").context
    if setting == "traps":
        monkeypatch.setitem(decimal.DefaultContext.traps, *value)
    else:
        monkeypatch.setattr(decimal.DefaultContext, setting, value)
    with connection.cursor() as cursor:  # 15 digits round up to a tie, HALF_EVEN then to even
        cursor.executemany(f"INSERT INTO {Measure._meta.db_table} (cents) VALUES (%s)",
                           [(2.675,), (1.005,)])
    compare(lambda: Measure.objects.order_by("pk"))


def test_a_queryset_of_fewer_rows_than_pays_runs_djangos_loop(shop, monkeypatch):
    with native_rows(True):
        monkeypatch.setattr(rows, "FEW_ROWS", 3)
        before = rows.counts()
        assert len(Publisher.objects.all()[:2]) == 2
        middle = rows.counts()
        list(Book.objects.all()[:3])
        after = rows.counts()
    assert middle["django"] == before["django"] + 1 and after["native"] == middle["native"] + 1


def test_the_last_instance_lives_until_the_next_row(shop):
    # Django's loop holds the instance it gave out in a local until the next.
    def lives(on):
        with native_rows(on):
            rows_left = Book.objects.order_by("pk").iterator()
            first = weakref.ref(next(rows_left))
            given = first() is not None
            next(rows_left)
            return given, first() is not None

    assert lives(True) == lives(False) == (True, False)


@pytest.mark.parametrize("wrapped", ["Model.__init__", "ModelIterable.__iter__"])
def test_a_django_method_wrapped_before_import_stays_and_runs(wrapped):
    # functools.wraps copies the names that once told Django's own apart.
    out = run_isolated(f"""
import functools, django
django.setup()
from django.db.models import Model
from django.db.models.query import ModelIterable
owner, name = {wrapped!r}.split(".")
owner = {{"Model": Model, "ModelIterable": ModelIterable}}[owner]
original = vars(owner)[name]
wrapper = functools.wraps(original)(lambda *args, **kwargs: original(*args, **kwargs))
setattr(owner, name, wrapper)
import quorvel_core
from quorvel_core import rows
from tests.project.shop.models import Book
quorvel_core.install()
print(vars(owner)[name] is wrapper, rows.model_report(Book))
""")
    assert out.strip() == f"True {wrapped} was not Django's own when quorvel_core was imported"


def test_only_djangos_own_no_op_setters_are_skipped(db):
    compiler = Review.objects.select_related("book").query.get_compiler("default")
    compiler.setup_query()
    (related,) = compiler.klass_info["related_klass_infos"]
    assert rows._setter(related["remote_setter"]) == rows.SetterPlan(None, None)
    lookalike = lambda obj, from_obj: None  # noqa: E731  (not Django's code: called)
    assert rows._setter(lookalike) == rows.SetterPlan(None, lookalike)
