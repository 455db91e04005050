"""Every representation kind against the DRF field it stands for: the same
value through DRF's serializer and through the compiled one gives equal
output of equal types, or the same exception."""

import datetime
import decimal
import enum
import uuid
import zoneinfo
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from django.test import override_settings
from django.utils import timezone
from rest_framework import serializers

from .read_support import CS, assert_same, attrs, ensure_configured, outcome

D = decimal.Decimal
UTC = datetime.timezone.utc
PARIS = zoneinfo.ZoneInfo("Europe/Paris")
KOLKATA = zoneinfo.ZoneInfo("Asia/Kolkata")


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class Dec(D):
    pass


class Date(datetime.date):
    pass


class DateTime(datetime.datetime):
    pass


class Time(datetime.time):
    pass


class Uuid(uuid.UUID):
    pass


class Color(enum.StrEnum):
    RED = "r"


class Pairs:
    """A mapping-like value whose items() yields lists and tuple subclasses."""

    def items(self):
        return [["a", "x"], Pair(("b", "y"))]


class Pair(tuple):
    pass


@pytest.fixture(autouse=True, scope="module")
def configured():
    ensure_configured()


def compare(field, rep, value, current_tz=None):
    """DRF's serializer and the compiled one over {"v": value}."""
    class One(serializers.Serializer):
        v = field

    drf = One()
    bound = drf.fields["v"]
    compiled = CS([{"name": "v", "field": bound, "get": attrs("v"),
                    "repr": rep(bound) if callable(rep) else rep}], [])
    want = outcome(lambda: drf.to_representation({"v": value}))
    got = outcome(lambda: compiled.to_representation({"v": value}, current_tz))
    assert got[0] == want[0], (got, want)
    if want[0] == "ok":
        assert_same(got[1], want[1])
    else:
        assert got[1] == want[1]


def child_of(kind):
    return lambda f: {"type": kind, "child": {"type": "int"}, "child_field": f.child}


CASES = [
    (serializers.CharField, {}, {"type": "str"}, ["abc", "", Str("sub"), 5, None]),
    (serializers.IntegerField, {}, {"type": "int"}, [5, -2**70, True, Int(3), 2.7, "7", "x"]),
    (serializers.FloatField, {}, {"type": "float"},
     [1.5, float("nan"), float("-inf"), 3, Float(2.5), "1e3"]),
    (serializers.BooleanField, {}, {"type": "bool"}, [True, False, 1, 0, "off", 2]),
    (serializers.DecimalField, {"max_digits": 5, "decimal_places": 2},
     {"type": "decimal", "max_digits": 5, "decimal_places": 2},
     [D("1.50"), D("-1.25"), D("0.00"), D("-0.00"), D("999.99"), D("1.5"), D("1.505"),
      D("1E+2"), D("NaN"), D("-Infinity"), D("1000.00"), Dec("1.50"), 1.25, "3.10"]),
    (serializers.DecimalField, {"max_digits": 5, "decimal_places": 2, "coerce_to_string": False},
     {"type": "decimal", "max_digits": 5, "decimal_places": 2, "coerce_to_string": False},
     [D("1.50"), D("1.5"), Dec("2.00")]),
    (serializers.DecimalField, {"max_digits": None, "decimal_places": 2},
     {"type": "decimal", "decimal_places": 2},
     [D("1.50"), D("12345678901234567890123456789.12")]),
    (serializers.DecimalField, {"max_digits": None, "decimal_places": None},
     {"type": "decimal", "max_digits": 3}, [D("1.5"), D("-0.000001"), D("12345.678"), D("1E+2")]),
    (serializers.DateField, {}, {"type": "date"},
     [datetime.date(2024, 3, 7), datetime.date(1, 1, 1), Date(2020, 2, 29),
      datetime.datetime(2024, 1, 1), "2024-01-01"]),
    (serializers.TimeField, {}, {"type": "time"},
     [datetime.time(9, 5), datetime.time(1, 2, 3, 4, tzinfo=UTC), Time(1, 2), "10:00",
      datetime.datetime(2024, 1, 1)]),
    (serializers.UUIDField, {}, {"type": "uuid"},
     [uuid.UUID(int=1), uuid.UUID(int=2**128 - 1), Uuid(int=7), "not-a-uuid"]),
    (serializers.ChoiceField, {"choices": [(1, "One"), ("a", "A")]},
     lambda f: {"type": "choice", "map": f.choice_strings_to_values},
     [1, "1", 2, "", "a", "zz", 1.0, True, "\ud800", Color.RED]),
    (serializers.ListField, {"child": serializers.IntegerField}, child_of("list"),
     [[1, None, True], (1, 2), "12", [], 5, [[1]]]),
    (serializers.DictField, {"child": serializers.IntegerField}, child_of("dict"),
     [{"a": 1, 2: None, "c": True}, {}, Pairs(), 5]),
    (serializers.JSONField, {}, {"type": "passthrough"}, [{"a": [1, D("2")]}, "x"]),
    (serializers.PrimaryKeyRelatedField, {"many": True, "read_only": True}, {"type": "pk_many"},
     [[SimpleNamespace(pk=1), SimpleNamespace(pk="a")], [], [None], 5]),
    (serializers.CharField, {}, {"type": "python"}, ["x", 5]),
]


@pytest.mark.parametrize("field_class, kwargs, rep, values", CASES,
                         ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(CASES)])
def test_kind_matches_drf(field_class, kwargs, rep, values):
    for value in values:  # a fresh field (and child) per value: binding is one-shot
        fresh = {k: v() if isinstance(v, type) else v for k, v in kwargs.items()}
        compare(field_class(**fresh), rep, value)


def test_dict_kind_rejects_pairs_of_the_wrong_length():
    class Triples:
        def items(self):
            return [("a", 1, 2)]

    compiled = CS([{"name": "v", "field": None, "get": attrs("v"),
                    "repr": child_of("dict")(SimpleNamespace(child=None))}], [])
    with pytest.raises(ValueError, match="expected tuple of length 2, but got tuple of length 3"):
        compiled.to_representation({"v": Triples()})


# Datetimes: (time-zone rule, schema keys, USE_TZ, current zone passed).
def aware(*args, tz=UTC):
    return datetime.datetime(*args, tzinfo=tz)


DATETIMES = [
    aware(2024, 3, 7, 12), aware(2024, 3, 7, 12, 0, 0, 120000, tz=PARIS),
    aware(2024, 7, 1, 1, 2, 3, 7, tz=datetime.timezone(datetime.timedelta(hours=5, minutes=30,
                                                                            seconds=15))),
    aware(2024, 1, 1, tz=datetime.timezone(-datetime.timedelta(seconds=1))),
    aware(1, 1, 1), aware(9999, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(2024, 3, 7, 9, 5), datetime.datetime(2024, 3, 31, 2, 30),
    DateTime(2024, 1, 1, tzinfo=UTC), "2024-01-01T00:00:00Z",
]


@pytest.mark.parametrize("kwargs, rep, use_tz, current", [
    ({}, {"use_tz": True}, True, PARIS),
    ({}, {"use_tz": True}, True, zoneinfo.ZoneInfo("America/New_York")),
    ({}, {"use_tz": True}, True, UTC),
    ({}, {"use_tz": True}, True, None),
    ({"default_timezone": KOLKATA}, {"timezone": KOLKATA}, True, PARIS),
    ({"default_timezone": UTC}, {"timezone": UTC}, False, None),
    ({}, {}, False, None),
])
def test_datetime_matches_drf(kwargs, rep, use_tz, current):
    with override_settings(USE_TZ=use_tz), timezone.override(current or UTC):
        for value in DATETIMES:
            compare(serializers.DateTimeField(**kwargs), {"type": "datetime", **rep}, value,
                    current)


class Refusing:
    """A field that must not be asked: the kind answers natively."""

    child = None

    def to_representation(self, value):
        raise AssertionError(f"fell back for {value!r}")


@pytest.mark.parametrize("rep, value, want", [
    ({"type": "str"}, "s", "s"),
    ({"type": "int"}, 2**80, 2**80),
    ({"type": "float"}, 0.5, 0.5),
    ({"type": "bool"}, False, False),
    ({"type": "decimal", "decimal_places": 2, "max_digits": 3}, D("9.99"), "9.99"),
    ({"type": "decimal", "decimal_places": 2, "max_digits": 3}, D("-0.05"), "-0.05"),
    ({"type": "decimal", "decimal_places": 2, "max_digits": 3, "coerce_to_string": False},
     D("0.00"), D("0.00")),
    ({"type": "decimal"}, D("12.345"), "12.345"),
    ({"type": "time"}, datetime.time(1, 2, 3, 40), "01:02:03.000040"),
    ({"type": "choice", "map": {"1": "one"}}, 1, "one"),
    ({"type": "choice", "map": {"1": "one"}}, "1", "one"),
    ({"type": "choice", "map": {"1": "one"}}, 2, 2),
    ({"type": "list", "child": {"type": "int"}, "child_field": Refusing()}, (1, None), [1, None]),
    ({"type": "dict", "child": {"type": "str"}, "child_field": Refusing()},
     {1: "a", "b": None}, {"1": "a", "b": None}),
    ({"type": "pk_many"}, [SimpleNamespace(pk=3)], [3]),
    ({"type": "model_attr", "attname": "real"}, 1.5, 1.5),
    ({"type": "model_attr", "attname": "real"}, True, 1),
    ({"type": "date"}, datetime.date(987, 1, 2), "0987-01-02"),
    ({"type": "uuid"}, uuid.UUID(int=1), "00000000-0000-0000-0000-000000000001"),
    ({"type": "datetime"}, datetime.datetime(2024, 3, 7, 9, 5), "2024-03-07T09:05:00"),
    ({"type": "datetime", "timezone": UTC},
     aware(2024, 3, 7, 12, tz=datetime.timezone(datetime.timedelta(hours=2))),
     "2024-03-07T10:00:00Z"),
    ({"type": "datetime", "timezone": PARIS}, aware(2024, 3, 7, 12, 0, 0, 7, tz=PARIS),
     "2024-03-07T12:00:00.000007+01:00"),
    ({"type": "datetime", "use_tz": True}, aware(2024, 7, 1, 12), "2024-07-01T17:30:00+05:30"),
])
def test_native_kinds_answer_without_the_field(rep, value, want):
    compiled = CS([{"name": "v", "field": Refusing(), "get": attrs("v"), "repr": rep}], [])
    assert_same(compiled.to_representation({"v": value}, KOLKATA)["v"], want)


@settings(derandomize=True, max_examples=300, deadline=None)
@given(value=st.one_of(st.decimals(), st.decimals(places=2, allow_nan=False, allow_infinity=False),
                       st.decimals(places=0, allow_nan=False, allow_infinity=False)),
       digits=st.sampled_from([(5, 2), (3, 0), (4, 4), (None, 2), (3, None)]),
       coerce=st.booleans())
def test_decimals_match_drf(value, digits, coerce):
    max_digits, places = digits
    rep = {"type": "decimal", "max_digits": max_digits, "decimal_places": places,
           "coerce_to_string": coerce}
    compare(serializers.DecimalField(max_digits, places, coerce_to_string=coerce), rep, value)
