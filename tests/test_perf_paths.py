"""The native shortcuts of the hot paths give exactly DRF's and Python's
output: datetimes converted between fixed-offset zones without calling
astimezone(), and JSON strings written from their UTF-8 form."""

import datetime
import json
import zoneinfo

import pytest
from django.test import override_settings
from django.utils import timezone
from hypothesis import given, settings
from hypothesis import strategies as st
from rest_framework import serializers

from quorvel_core._quorvel_core import to_json

from .read_support import CS, assert_same, attrs, ensure_configured, outcome

UTC = datetime.timezone.utc
Z_UTC = zoneinfo.ZoneInfo("UTC")
PARIS = zoneinfo.ZoneInfo("Europe/Paris")
NEW_YORK = zoneinfo.ZoneInfo("America/New_York")


def fixed(**delta):
    return datetime.timezone(datetime.timedelta(**delta))


class SubZoneInfo(zoneinfo.ZoneInfo):
    pass


class DateTime(datetime.datetime):
    pass


class FixedTz(datetime.tzinfo):
    """A fixed-offset zone of a class the native path does not know."""

    def __init__(self, minutes):
        self.offset = datetime.timedelta(minutes=minutes)

    def utcoffset(self, dt):
        return self.offset

    def dst(self, dt):
        return None


ZONES = [
    UTC, fixed(), fixed(hours=5, minutes=30), fixed(hours=-1), fixed(seconds=-1),
    fixed(hours=23, minutes=59, seconds=59, microseconds=999999), fixed(microseconds=1),
    Z_UTC, zoneinfo.ZoneInfo.no_cache("UTC"), SubZoneInfo("UTC"), zoneinfo.ZoneInfo("Etc/UTC"),
    PARIS, NEW_YORK, FixedTz(90),
]


def aware(*args, tz=UTC):
    return datetime.datetime(*args, tzinfo=tz)


# Moments at the edges of days, months, leap days, the datetime range and
# the DST changes of the two zoneinfo zones (with both folds).
MOMENTS = [
    (2024, 3, 7, 12, 0, 0, 0), (2024, 2, 28, 23, 30), (2024, 2, 29, 0, 30), (2023, 2, 28, 23),
    (2100, 2, 28, 23, 59, 59, 999999), (2000, 2, 29, 1), (2024, 12, 31, 23, 0, 0, 1),
    (1, 1, 1), (1, 1, 1, 0, 30), (1, 1, 1, 23, 59), (9999, 12, 31, 23, 59, 59, 999999),
    (9999, 12, 31, 0, 30), (2024, 3, 31, 2, 30), (2024, 10, 27, 2, 30), (2024, 3, 10, 2, 30),
    (2024, 11, 3, 1, 30),
]


def values():
    for moment in MOMENTS:
        for tz in ZONES:
            yield aware(*moment, tz=tz)
        yield aware(*moment, tz=PARIS).replace(fold=1)
    yield DateTime(2024, 1, 1, 12, tzinfo=UTC)
    yield DateTime(2024, 1, 1, 12, tzinfo=Z_UTC)


def compare(field, rep, value, current):
    class One(serializers.Serializer):
        v = field

    drf = One()
    bound = drf.fields["v"]
    compiled = CS([{"name": "v", "field": bound, "get": attrs("v"), "repr": rep}], [])
    want = outcome(lambda: drf.to_representation({"v": value}))
    got = outcome(lambda: compiled.to_representation({"v": value}, current))
    assert got[0] == want[0], (value, got, want)
    if want[0] == "ok":
        assert_same(got[1], want[1])
    else:
        assert got[1] == want[1], value


@pytest.fixture(autouse=True, scope="module")
def configured():
    ensure_configured()


@pytest.mark.parametrize("zone", ZONES, ids=repr)
def test_datetime_in_current_zone_matches_drf(zone):
    with override_settings(USE_TZ=True), timezone.override(zone):
        for value in values():
            compare(serializers.DateTimeField(), {"type": "datetime", "use_tz": True}, value, zone)


@pytest.mark.parametrize("zone", [UTC, Z_UTC, fixed(hours=-3, seconds=7), PARIS], ids=repr)
def test_datetime_in_field_zone_matches_drf(zone):
    with override_settings(USE_TZ=True):
        for value in values():
            compare(serializers.DateTimeField(default_timezone=zone),
                    {"type": "datetime", "timezone": zone}, value, None)


class Refusing:
    def to_representation(self, value):
        raise AssertionError(f"fell back for {value!r}")


@pytest.mark.parametrize("value, zone, want", [
    (aware(2024, 3, 7, 12, tz=UTC), Z_UTC, "2024-03-07T12:00:00Z"),
    (aware(2024, 3, 7, 12, tz=Z_UTC), UTC, "2024-03-07T12:00:00Z"),
    (aware(2024, 3, 1, 1, tz=fixed(hours=2)), fixed(minutes=-90), "2024-02-29T21:30:00-01:30"),
    # On the way through UTC the value leaves the datetime range: astimezone()
    # raises and only the field can word DRF's error.
    (aware(1, 1, 1, 0, 30, tz=fixed(hours=1)), fixed(hours=2), None),
    (aware(9999, 12, 31, 23, 30, tz=fixed(hours=-1)), fixed(hours=-2), None),
])
def test_fixed_zones_answer_without_the_field(value, zone, want):
    compiled = CS([{"name": "v", "field": Refusing(), "get": attrs("v"),
                    "repr": {"type": "datetime", "use_tz": True}}], [])
    if want is None:
        with pytest.raises(AssertionError, match="fell back"):
            compiled.to_representation({"v": value}, zone)
        return
    assert compiled.to_representation({"v": value}, zone) == {"v": want}


offsets = st.integers(-86399999999, 86399999999).map(
    lambda us: datetime.timezone(datetime.timedelta(microseconds=us)))


@settings(derandomize=True, max_examples=300, deadline=None)
@given(st.datetimes(timezones=st.one_of(offsets, st.just(Z_UTC))), st.one_of(offsets, st.just(Z_UTC)))
def test_fixed_offset_conversion_matches_astimezone(value, zone):
    compiled = CS([{"name": "v", "field": serializers.DateTimeField(), "get": attrs("v"),
                    "repr": {"type": "datetime", "use_tz": True}}], [])
    try:
        converted = value.astimezone(zone)
    except OverflowError:
        return  # the field's own error, covered by the DRF comparisons above
    want = converted.isoformat()
    if want.endswith("+00:00"):
        want = want[:-6] + "Z"
    assert compiled.to_representation({"v": value}, zone) == {"v": want}


def test_datetime_offsets_in_json_match_python():
    from rest_framework.utils.encoders import JSONEncoder

    doc = [v for v in values() if type(v) is datetime.datetime]
    want = json.dumps(doc, cls=JSONEncoder, ensure_ascii=False, separators=(",", ":")).encode()
    assert to_json(doc, ensure_ascii=False, default=JSONEncoder().default) == want


# Strings. Texts whose UTF-8 form CPython already keeps are written from it;
# the others from their code points. Both must give the bytes of DRF's
# renderer: json.dumps's, with U+2028 and U+2029 escaped.
ESCAPES = ['"', "\\", "\n", "\x00", "\x1f", "\x7f", "\u2028", "\u2029", "\u2027", "\u202a",
           "\u20ac", "\xe2", "\xe9", "\U0001f389", "\ud7ff", "\ue000", "\uffff"]


def texts():
    for escape in ESCAPES:
        for filler in ("a", "é", "ж", "東", "🎉"):
            # The escape at, just before and just after every block boundary
            # of the scan, and at the edges of the long-text chunks.
            for at in (0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 1023, 1024, 4095, 4096, 4097):
                yield filler * at + escape + filler * 3
    yield "\u2028" * 3000 + "\u2029"
    yield "é" * 5000 + '"'


def cache_utf8(text):
    """Makes CPython keep the UTF-8 form of `text` (what orjson and many C
    extensions do to the strings they see)."""
    import ctypes

    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.argtypes, as_utf8.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_void_p
    assert as_utf8(text, None)
    return text


def dumps(doc, **kw):
    text = json.dumps(doc, **kw)
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029").encode()


@pytest.mark.parametrize("ensure_ascii", [False, True])
@pytest.mark.parametrize("cached", [False, True], ids=["fresh", "cached"])
def test_strings_match_drf_renderer(ensure_ascii, cached):
    for text in texts():
        text = "".join(list(text))  # a new str object, with no UTF-8 form yet
        if cached:
            cache_utf8(text)
        doc = {text: [text, {"k": text}]}
        for compact, separators in ((True, (",", ":")), (False, (", ", ": "))):
            want = dumps(doc, ensure_ascii=ensure_ascii, separators=separators)
            assert to_json(doc, ensure_ascii=ensure_ascii, compact=compact) == want, repr(text)


def test_lone_surrogates_still_fall_back():
    from quorvel_core._quorvel_core import JsonFallback

    # A str with a lone surrogate has no UTF-8 form to keep; it goes back to
    # Python's encoder in both modes.
    for text in ("a\ud800", "\udfff" + "é" * 20, "東\ud83d" + "x" * 40):
        for ensure_ascii in (False, True):
            with pytest.raises(JsonFallback):
                to_json([text], ensure_ascii=ensure_ascii)
