"""Native validators against DRF, field by field.

Every row runs one input through a one-field serializer twice: compiled (the
private copy of the extension, with DRF-faithful hooks) and through DRF's own
Serializer.to_internal_value. Both must give identical validated data (values
and types) or identical errors. The last column says which path the compiled
serializer must take: N when the native validator accepts the value, P when it
declines and DRF's field decides through run_field.
"""

import collections
import datetime
import decimal
import uuid
import zoneinfo

import pytest
from django.test import override_settings
from django.utils import timezone
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from rest_framework import serializers as s

from .write_support import (
    HOOKS, companion_result, drf_result, native_result, one_field_serializer, same,
)

PARIS = zoneinfo.ZoneInfo("Europe/Paris")
N, P = "native", "python"


class Text(str):
    pass


def outcome(run):
    try:
        return run()
    except Exception as exc:  # both sides must fail alike (e.g. decimal.InvalidOperation)
        return ("raised", type(exc))


def compare(field, value, current_tz=None):
    """Returns the path the compiled serializer took; asserts agreement with DRF,
    both for the tests' own schema and for the package's."""
    serializer = one_field_serializer(field)
    data = {"f": value}
    HOOKS.reset()
    got = outcome(lambda: native_result(serializer, data, current_tz))
    path = P if "f" in HOOKS.names("run") else N
    HOOKS.reset()
    want = outcome(lambda: drf_result(serializer, data))
    assert same(got, want), f"{value!r}: compiled {got!r}, DRF {want!r}"
    through_package = outcome(lambda: companion_result(serializer, data, current_tz))
    assert same(through_package, want), f"{value!r}: package {through_package!r}, DRF {want!r}"
    return path


def check(field, value, path, current_tz=None):
    assert compare(field, value, current_tz) == path, f"{value!r} took the wrong path"


def table(*groups):
    """Flattens (field factory, [(value, path), ...]) groups into test parameters."""
    return [pytest.param(make, value, path, id=f"{make.__name__}-{i}")
            for make, rows in groups for i, (value, path) in enumerate(rows)]


def plain_int(): return s.IntegerField()
def bounded_int(): return s.IntegerField(max_value=10, min_value=-5)


@pytest.mark.parametrize("make, value, path", table(
    (plain_int, [
        ("42", N), ("+42", N), ("-42", N), ("007", N), ("42.000", N), ("42.", N), ("-0", N),
        ("9" * 18, N), ("-" + "9" * 18, N), ("1." + "0" * 998, N),
        ("1." + "0" * 999, P), ("1" + "0" * 18, P), ("9" * 19, P),
        (" 42", P), ("42 ", P), ("42\n", P), ("42.0\n", P), ("4_2", P), ("42.5", P), ("", P),
        ("-", P), (".0", P), ("1e3", P), ("\u0664\u0662", P), ("0x1a", P), ("4.2.0", P),
        ("\ud800", P), (Text("42"), P),
        (42, N), (2**63 - 1, N), (-2**63, N), (2**63, P), (10**5000, P),
        (3.0, N), (-0.0, N), (999999999999999.0, N), (3.5, P), (1e15, P), (1e16, P),
        (float("nan"), P), (float("inf"), P), (True, P), (False, P), (None, P), ([], P),
    ]),
    (bounded_int, [
        (10, N), (-5, N), ("10", N), (10.0, N), (11, P), (-6, P), ("11", P), (-6.0, P),
        (2**70, P),
    ]),
))
def test_int(make, value, path):
    check(make(), value, path)


def plain_float(): return s.FloatField()
def bounded_float(): return s.FloatField(max_value=1.5, min_value=-1)


@pytest.mark.parametrize("make, value, path", table(
    (plain_float, [
        (1.5, N), (-0.0, N), (2, N), (2**53 + 1, N), (-2**63, N), (1e308, N), (5e-324, N),
        (2**63, P), (10**400, P), ("1.5", P), (float("nan"), P), (float("-inf"), P),
        (True, P), (decimal.Decimal("1.5"), P), (None, P),
    ]),
    (bounded_float, [(1.5, N), (-1, N), (-1.0, N), (1.5000000001, P), (-1.01, P), (2, P)]),
))
def test_float(make, value, path):
    check(make(), value, path)


def plain_bool(): return s.BooleanField()
def null_bool(): return s.BooleanField(allow_null=True)


@pytest.mark.parametrize("make, value, path", table(
    (plain_bool, [
        (True, N), (False, N), (1, N), (0, N), ("1", N), ("0", N),
        *[(t, N) for t in ("T", "Y", "t", "y", "on", "On", "ON", "yes", "Yes", "YES",
                           "true", "True", "TRUE", "F", "N", "f", "n", "no", "No", "NO",
                           "off", "Off", "OFF", "false", "False", "FALSE")],
        ("tRue", P), ("yEs", P), ("oN", P), (" true", P), ("2", P), (2, P), (-1, P), (2**64, P),
        (1.0, P), (0.0, P), ("null", P), ("", P), ("\ud800", P), (Text("true"), P), (None, P),
    ]),
    (null_bool, [
        ("null", N), ("Null", N), ("NULL", N), ("", N), (None, N), ("nUll", P), ("none", P),
        ("\ud800", P),
    ]),
))
def test_bool(make, value, path):
    check(make(), value, path)


def plain_char(): return s.CharField()
def blank_char(): return s.CharField(allow_blank=True)
def untrimmed_char(): return s.CharField(trim_whitespace=False)
def max5_char(): return s.CharField(max_length=5)
def min2_char(): return s.CharField(min_length=2)
def email(): return s.EmailField()
def blank_email(): return s.EmailField(allow_blank=True)


LABEL_63 = "a" * 63
LOCAL_254 = "x" * (254 - len("@example.com"))


@pytest.mark.parametrize("make, value, path", table(
    (plain_char, [
        ("abc", N), ("  a ", N), ("\u3000x\u2029", N), ("\u200bx", N), ("\U0001f600", N),
        ("   ", P), ("", P), ("\t\n", P), ("a\x00b", P), ("\ud800x", P), (5, P), (1.5, P),
        (True, P), (Text("abc"), P), ([], P), (None, P),
    ]),
    (blank_char, [("", N), ("   ", N), ("\u3000", N), (" a ", N), ("a\x00", P)]),
    (untrimmed_char, [("  a ", N), ("   ", N), ("\u3000", N), ("", P)]),
    (max5_char, [("\u00e9" * 5, N), (" abcde ", N), ("\u00e9" * 6, P), ("abcdef", P)]),
    (min2_char, [(" ab", N), ("\U0001f600\U0001f600", N), ("a", P), (" a ", P)]),
    (email, [
        ("john.doe+tag@example.com", N), (" a@b.co ", N), ("A_B-c!#$%&'*+/=?^`{|}~@x-1.y2.org", N),
        (f"u@{LABEL_63}.{LABEL_63}", N), (LOCAL_254 + "@example.com", N),
        ("x" + LOCAL_254 + "@example.com", P),
        ("john.@example.com", P), (".john@example.com", P), ("jo..hn@example.com", P),
        ("@example.com", P), ("john@example", P), ("a@localhost", P), ("a@b.c", P),
        ("a@b.c1", P), ("a@b.xn--p1ai", P), ("a@-b.com", P), ("a@b-.com", P), ("a@b..com", P),
        (f"u@{LABEL_63}a.com", P), ('"q"@example.com', P), ("a@[127.0.0.1]", P),
        ("\u00fc@example.com", P), ("a@\u00fc.com", P), ("a@b@example.com", P),
        ("a b@example.com", P), ("a@example.com.", P), ("", P),
    ]),
    (blank_email, [("", N), ("  ", N), ("not an address", P)]),
))
def test_char(make, value, path):
    check(make(), value, path)


def money(): return s.DecimalField(max_digits=5, decimal_places=2)
def unbounded_decimal(): return s.DecimalField(max_digits=None, decimal_places=None)
def digits_only(): return s.DecimalField(max_digits=3, decimal_places=None)
def places_only(): return s.DecimalField(max_digits=None, decimal_places=2)
def inverted(): return s.DecimalField(max_digits=2, decimal_places=3)
def whole_only(): return s.DecimalField(max_digits=10, decimal_places=0)
def huge_bounds(): return s.DecimalField(max_digits=1001, decimal_places=2)
def nullable_decimal(): return s.DecimalField(max_digits=5, decimal_places=2, allow_null=True)


@pytest.mark.parametrize("make, value, path", table(
    (money, [
        ("123.45", N), (" 7 ", N), ("\t7\r\n", N), ("-0", N), (".5", N), ("5.", N), ("+5", N),
        ("-.5", N), ("00123.4", N), ("0.00", N), ("000.10", N), (7, N), (-7, N), (0, N),
        ("1234.5", P), ("0.001", P), ("1e3", P), ("\v1", P), ("1_0", P), ("NaN", P),
        ("Infinity", P), ("-inf", P), ("", P), ("   ", P), (".", P), ("-.", P), ("+-1", P),
        ("1.2.3", P), ("1 0", P), ("\u0661", P), (1.5, P), (decimal.Decimal("1.5"), P),
        (True, P), (10**20, P), (2**63, P), (None, P), (Text("1"), P), ("\ud800", P),
    ]),
    (unbounded_decimal, [
        ("1" * 1000, N), (" " + "1" * 1000 + " ", N), ("0." + "0" * 998, N), ("-0.0", N),
        ("1" * 1001, P), ("12E2", P),
    ]),
    (digits_only, [("1.50", N), ("999", N), ("0.001", N), ("0.0001", P), ("1000", P)]),
    (places_only, [("1.5", P), ("1" * 27, P)]),
    (inverted, [("0.5", P), ("0", P)]),
    (whole_only, [("12.", N), ("12", N), ("12.0", P)]),
    (huge_bounds, [("1.5", P)]),
    (nullable_decimal, [("", P), ("  ", P), (None, N), ("1", N)]),
))
def test_decimal(make, value, path):
    check(make(), value, path)


def plain_date(): return s.DateField()


@pytest.mark.parametrize("make, value, path", table(
    (plain_date, [
        ("2024-02-29", N), ("0001-01-01", N), ("9999-12-31", N), (datetime.date(2024, 1, 5), N),
        ("2023-02-29", P), ("2024-02-30", P), ("0000-01-01", P), ("2024-13-01", P),
        ("2024-00-10", P), ("2024-1-5", P), ("20240105", P), ("2024-W01-1", P), ("2024-001", P),
        (" 2024-01-05", P), ("2024-01-05T00:00", P), ("\u0662024-01-05", P), (20240105, P),
        (datetime.datetime(2024, 1, 5), P), (None, P),
    ]),
))
def test_date(make, value, path):
    check(make(), value, path)


def current_zone(): return s.DateTimeField()
def paris(): return s.DateTimeField(default_timezone=PARIS)


@pytest.mark.parametrize("make, value, path", table(
    (current_zone, [
        ("2024-02-29T10:00:00+02:00", N), ("2024-02-29T10:00:00Z", N),
        ("2024-02-29 10:00:00.123456-05:30", N), ("2024-02-29T10:00+00:00", N),
        ("20240229T1000+0100", N), ("2024-02-29T10:00:00", P), ("2024-02-29", P),
        ("2024-02-30T10:00Z", P), ("garbage", P), ("\ud800", P), (Text("2024-02-29T10:00Z"), P),
        (datetime.datetime(2024, 2, 29, tzinfo=datetime.UTC), P), (datetime.date(2024, 2, 29), P),
    ]),
    (paris, [
        ("2024-06-01T12:00Z", N), ("2024-12-01T12:00:00.5-03:00", N), ("2024-06-01T12:00", P),
        ("9999-12-31T23:59:59-01:00", P), ("0001-01-01T00:00+01:00", P),
        ("0001-01-01T12:00+01:00", N),
    ]),
))
def test_datetime(make, value, path):
    check(make(), value, path, current_tz=timezone.get_current_timezone())


@pytest.mark.parametrize("value", ["2024-02-29T10:00:00+02:00", "2024-02-29T10:00:00Z"])
def test_datetime_current_form_needs_a_current_zone(value):
    assert compare(s.DateTimeField(), value, current_tz=None) == P


@pytest.mark.parametrize("value", ["2024-02-29T10:00:00+02:00", "2024-02-29T10:00:00"])
def test_datetime_without_time_zones_is_left_to_drf(value):
    with override_settings(USE_TZ=False):
        assert compare(s.DateTimeField(), value, current_tz=PARIS) == P


HEX = "0123456789abcdef0123456789ABCDEF"
HYPHENATED = "01234567-89ab-cdef-0123-456789ABCDEF"


@pytest.mark.parametrize("value, path", [
    (HEX, N), (HEX.lower(), N), (HYPHENATED, N), ("0" * 32, N), ("f" * 32, N),
    ("{" + HYPHENATED + "}", P), ("urn:uuid:" + HYPHENATED, P), (HEX[:8] + "-" + HEX[8:31], P),
    ("0123456-789ab-cdef-0123-456789ABCDEF", P), (" " + HEX, P), (HEX[:31], P), ("g" * 32, P),
    ("0x" + HEX[2:], P), ("+" + HEX[1:], P), (HEX + "0", P), (1, P),
    (uuid.UUID(HEX), P), (Text(HEX), P), ("", P),
])
def test_uuid(value, path):
    check(s.UUIDField(), value, path)


def test_uuid_objects_are_built_like_the_constructor():
    serializer = one_field_serializer(s.UUIDField())
    for text in ("0" * 32, "f" * 32, HYPHENATED):
        got, _ = native_result(serializer, {"f": text})
        built = got["f"]
        assert type(built) is uuid.UUID and built == uuid.UUID(text)
        assert built.is_safe is uuid.SafeUUID.unknown
        assert (built.int, built.hex, str(built)) == (uuid.UUID(text).int, uuid.UUID(text).hex,
                                                      str(uuid.UUID(text)))
        assert hash(built) == hash(uuid.UUID(text))


def int_keys(): return s.ChoiceField(choices=[(1, "one"), ("2", "two"), ("x", "ex")])
def blank_choice(): return s.ChoiceField(choices=["a", "b"], allow_blank=True)
def blank_key(): return s.ChoiceField(choices=["", "a"])
def bool_text(): return s.ChoiceField(choices=[("True", "t"), ("1.0", "f")])


@pytest.mark.parametrize("make, value, path", table(
    (int_keys, [
        (1, N), ("1", N), (2, N), ("2", N), ("x", N), (1.0, P), (True, P), ("", P), ("y", P),
        (" 1", P), (None, P), ([1], P),
    ]),
    (blank_choice, [("", N), ("a", N), (" ", P)]),
    (blank_key, [("", N), ("a", N)]),
    (bool_text, [(True, P), (1.0, P), ("True", N)]),
))
def test_choice(make, value, path):
    check(make(), value, path)


def test_choice_key_text_conversion_failure_is_raised_like_drf():
    # str() of an int past the interpreter's digit limit fails on both sides.
    assert compare(int_keys(), 10**5000) == N


def ints(): return s.ListField(child=s.IntegerField())
def nullable_ints(): return s.ListField(child=s.IntegerField(allow_null=True))
def nonempty(): return s.ListField(child=s.CharField(), allow_empty=False)
def sized(): return s.ListField(child=s.CharField(), min_length=2, max_length=3)
def matrix(): return s.ListField(child=s.ListField(child=s.IntegerField()))
def blank_texts(): return s.ListField(child=s.CharField(allow_blank=True))
def dates(): return s.ListField(child=s.DateField())


@pytest.mark.parametrize("make, value, path", table(
    (ints, [
        ([1, "2", 3.0], N), ([], N), ([1, None], P), ([1, "x"], P), ((1, 2), P), ("12", P),
        ({"a": 1}, P), ([True], P),
    ]),
    (nullable_ints, [([1, None], N), ([None], N)]),
    (nonempty, [([], P), (["a"], N)]),
    (sized, [(["a", "b"], N), (["a", "b", "c"], N), (["a"], P), (["a"] * 4, P), (["a", ""], P)]),
    (matrix, [([[1], [2, "3"], []], N), ([[1], "2"], P), ([[1], [None]], P)]),
    (blank_texts, [(["", " ", " a "], N)]),
    (dates, [(["2024-01-05", datetime.date(2020, 2, 29)], N), (["2024-02-30"], P)]),
))
def test_list(make, value, path):
    check(make(), value, path)


# ---------------------------------------------------------------------------
# Generated inputs.

NUMBER_TEXT = st.text(alphabet=" \t\n\v+-.0123456789eE_\u0661x", max_size=12)
PLAIN_NUMBER = st.from_regex(r"\A[ \t]?[+-]?[0-9]{0,20}(\.[0-9]{0,5})?[ \t]?\Z")
SETTINGS = settings(derandomize=True, max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])
PATHS = []


def run_generated(examples, least=30):
    """Runs a @given function; enough generated values must take each path."""
    PATHS.clear()
    examples()
    assert PATHS.count(N) >= least and PATHS.count(P) >= least, collections.Counter(PATHS)


@SETTINGS
@given(value=st.one_of(NUMBER_TEXT, PLAIN_NUMBER, st.integers().map(str), st.integers(),
                      st.floats(allow_nan=True), st.booleans()),
       bounds=st.sampled_from([{}, {"max_value": 100, "min_value": -100},
                               {"max_value": 2**62, "min_value": 0}]))
def int_examples(value, bounds):
    PATHS.append(compare(s.IntegerField(**bounds), value))


@SETTINGS
@given(value=st.one_of(NUMBER_TEXT, st.integers(), st.floats(allow_nan=True, allow_infinity=True)),
       bounds=st.sampled_from([{}, {"max_value": 1.5, "min_value": -2.25}, {"min_value": 0}]))
def float_examples(value, bounds):
    PATHS.append(compare(s.FloatField(**bounds), value))


@SETTINGS
@given(value=st.one_of(NUMBER_TEXT, PLAIN_NUMBER, st.decimals().map(str),
                      st.integers(min_value=-10**20, max_value=10**20)),
       bounds=st.sampled_from([(5, 2), (3, 0), (4, 4), (6, None), (None, None), (1, 1), (0, 0)]))
def decimal_examples(value, bounds):
    max_digits, decimal_places = bounds
    PATHS.append(compare(s.DecimalField(max_digits=max_digits, decimal_places=decimal_places), value))


@SETTINGS
@given(value=st.text(alphabet=st.sampled_from(" \t\u3000\u200b\x00a\u00e9@.-_+xX\U0001f600"),
                     max_size=10),
       options=st.fixed_dictionaries({"allow_blank": st.booleans(),
                                      "trim_whitespace": st.booleans(),
                                      "max_length": st.sampled_from([None, 3]),
                                      "min_length": st.sampled_from([None, 2])}),
       as_email=st.booleans())
def char_examples(value, options, as_email):
    PATHS.append(compare((s.EmailField if as_email else s.CharField)(**options), value))


@SETTINGS
@given(value=st.one_of(
    st.text(alphabet="0123456789-T: W", max_size=12),
    st.builds("{:04d}-{:02d}-{:02d}".format, st.integers(0, 9999), st.integers(0, 99),
              st.integers(0, 99)),
    st.dates()))
def date_examples(value):
    PATHS.append(compare(s.DateField(), value))


def test_int_agrees_with_drf():
    run_generated(int_examples)


def test_float_agrees_with_drf():
    run_generated(float_examples)


def test_decimal_agrees_with_drf():
    run_generated(decimal_examples)


def test_char_agrees_with_drf():
    run_generated(char_examples)


def test_date_agrees_with_drf():
    run_generated(date_examples)
