"""to_json against DRF's JSON renderer: the same bytes, or the same exception type."""

import collections
import ctypes
import datetime as dt
import decimal
import enum
import gc
import json
import math
import random
import struct
import sys
import tracemalloc
import uuid

import pytest
from django.utils.translation import gettext_lazy
from hypothesis import given, settings, strategies as st
from rest_framework.utils.encoders import JSONEncoder

from quorvel_core import _quorvel_core as native

JsonFallback = native.JsonFallback
HOOK = JSONEncoder().default
MODES = [(ea, compact) for ea in (True, False) for compact in (True, False)]


def drf(obj, ensure_ascii=True, compact=True, allow_nan=False):
    text = json.dumps(obj, cls=JSONEncoder, ensure_ascii=ensure_ascii, allow_nan=allow_nan,
                      separators=(",", ":") if compact else (", ", ": "))
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029").encode()


def ours(obj, ensure_ascii=True, compact=True, allow_nan=False, default=HOOK):
    return native.to_json(obj, ensure_ascii=ensure_ascii, compact=compact, allow_nan=allow_nan,
                          default=default)


def ident(value):
    try:
        return repr(value)[:40]
    except ValueError:  # an int too long for text
        return type(value).__name__


def outcome(fn, obj, **kw):
    try:
        return fn(obj, **kw)
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)


def assert_same(obj, allow_nan=False):
    for ea, compact in MODES:
        kw = dict(ensure_ascii=ea, compact=compact, allow_nan=allow_nan)
        assert outcome(ours, obj, **kw) == outcome(drf, obj, **kw), (ea, compact)


class Obj:
    """A value only the hook knows; DRF's hook turns it into a list via __iter__."""

    def __iter__(self):
        return iter([1])


class IntSub(int):
    def __repr__(self):
        return "nope"

    __str__ = __repr__


class FloatSub(float):
    def __repr__(self):
        return "nope"


class StrSub(str):
    pass


class Color(enum.IntEnum):
    RED = 7


class Ordered(dict):
    def items(self):
        return sorted(super().items(), reverse=True)


class Backwards(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class Pair(tuple):
    pass


class Mapping(collections.abc.Mapping):
    def __getitem__(self, k):
        return {"m": 1}[k]

    def __iter__(self):
        return iter(["m"])

    def __len__(self):
        return 1


def tz(**kw):
    return dt.timezone(dt.timedelta(**kw))


CONTROL = "".join(map(chr, range(0x20))) + "\x7f\"\\/"
HARD_VALUES = [
    None, True, False, 0, -1, 2**63 - 1, -2**63, 2**64, -2**64, 10**100, IntSub(5), IntSub(2**70),
    Color.RED, [s * (10**k + d) for k in range(21) for d in (-1, 0, 1) for s in (1, -1)],
    [], (), {}, [[]], {"a": [1, 2], "b": {"c": None}}, (1, "x"),
    CONTROL, "é", "ÿ" * 3, "\u0100\u07ff\u0800\uffff", "\U0001f600\U0010ffff", "a\u2028b\u2029c",
    "x" * 1023 + "é" + "\U0001f600" * 1030, "é" * 2000 + '"', "plain ascii text, " * 100 + "\n",
    StrSub("sub\n"), 0.0, -0.0, 1.0, 100.0, 0.1, 1e16, 1e-7, 5e-324, 1.7976931348623157e308,
    FloatSub(2.5), {"é": 1, "\U0001f600": 2, "\x00": 3, StrSub("s"): 4},
    # True and 1, False and -0.0 are equal keys, so they go in separate dicts.
    {None: 1, True: 2, False: 3, "1": 12}, {1: 4, -5: 5, 2**80: 6, 1.5: 7, -0.0: 8, IntSub(9): 9,
                                            FloatSub(1e16): 10, Color.RED: 11},
    dt.datetime(2024, 3, 7, 9, 5), dt.datetime(2024, 3, 7, 9, 5, 0, 7),
    dt.datetime(1, 1, 1, 0, 0, 0, 120000, tzinfo=dt.timezone.utc),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=tz(hours=5, minutes=30)),
    dt.datetime(2024, 1, 1, tzinfo=tz(hours=-5, minutes=-30, seconds=-15)),
    dt.datetime(2024, 1, 1, tzinfo=tz(seconds=-1)), dt.datetime(2024, 1, 1, tzinfo=tz(microseconds=500000)),
    dt.datetime(2024, 1, 1, tzinfo=tz(hours=5, minutes=30, microseconds=1)),
    dt.date(5, 1, 1), dt.date(987, 6, 5), dt.date(9999, 12, 31), dt.time(9, 5, 0, 1), dt.timedelta(days=1, seconds=3),
    decimal.Decimal("1.10"), decimal.Decimal("-0"), decimal.Decimal("1e400"), decimal.Decimal("NaN"),
    decimal.Decimal("-Infinity"), uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.uuid4(),
    gettext_lazy("lazy"), (i for i in range(3)), Mapping(), {1, 2} - {2}, b"bytes", Obj(),
    Ordered(a=1, b=2), Backwards([1, 2, 3]), Pair((1, 2)), collections.OrderedDict(z=1, a=2),
    collections.defaultdict(list, k=[1]), collections.namedtuple("NT", "a b")(1, 2),
    type("DateSub", (dt.date,), {})(2020, 1, 2), type("UuidSub", (uuid.UUID,), {})(int=3),
    type("DecimalSub", (decimal.Decimal,), {})("2.5"),
]


@pytest.mark.parametrize("value", HARD_VALUES, ids=ident)
def test_hard_values_match_drf(value):
    if hasattr(value, "__next__"):  # a generator is used up by one encoding
        value = list(value)
        assert ours(iter(value)) == drf(iter(value))
    assert_same(value)


def keep_utf8(text):
    """Has CPython make and keep the str's UTF-8 form, which the encoder then
    copies instead of encoding the code points."""
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.argtypes, as_utf8.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_void_p
    as_utf8(text, None)
    return text


@pytest.mark.parametrize("kept_utf8", [False, True])
def test_escapes_at_every_position(kept_utf8):
    # Each special character at each offset around the 4-, 8- and 16-byte
    # steps of the string scan, in short and long strings of every width.
    specials = ['"', "\\", "\n", "\x00", "\x1f", "\x7f", "\xe9", "\u2028", "\u20ac", "\U0001f600"]
    doc = [base * i + c + base * j for base in ("a", "\xff", "\u0101", "\U00010000")
           for c in specials for i in range(34) for j in (0, 1, 3, 9, 17, 4100)]
    if kept_utf8:
        doc = [keep_utf8(text) for text in doc]
    assert_same(doc)


class FreshKeys:
    """Each encoding makes a dict of new key objects, dropped once written:
    their addresses come back for the next ones."""

    def __init__(self, i):
        self.i = i


def fresh_keys_hook(obj):
    if isinstance(obj, FreshKeys):
        return {f"k{obj.i}{n}": n for n in range(3)}
    return HOOK(obj)


def test_keys_shared_by_rows_and_keys_freed_during_the_call():
    keys = ["id", "é", "quote\"d", "x" * 31, "y" * 40, "\u2028", "日本"] + [f"k{i}" for i in range(150)]
    rows = [{k: i for k in keys[i % 7:]} for i in range(40)]
    doc = [rows, [FreshKeys(i) for i in range(200)], rows]
    for ea, compact in MODES:
        expected = json.dumps(doc, ensure_ascii=ea, default=lambda o: fresh_keys_hook(o),
                              separators=(",", ":") if compact else (", ", ": "))
        expected = expected.replace("\u2028", "\\u2028").encode()
        got = ours(doc, ensure_ascii=ea, compact=compact, default=fresh_keys_hook)
        assert got == expected, (ea, compact)


def test_float_text_is_repr():
    rnd = random.Random(7)
    bits = [rnd.getrandbits(64) for _ in range(20000)]
    values = [x for x in struct.unpack(f"<{len(bits)}d", struct.pack(f"<{len(bits)}Q", *bits))
              if math.isfinite(x)]
    values += [float(10**k) for k in range(-25, 25)] + [2.0**k for k in range(-1074, 1024)]
    values += [rnd.randint(-10**9, 10**9) / 10**rnd.randint(0, 12) for _ in range(5000)]
    values += [9999999999999998.0, 1e16 - 2, 0.0001, 0.00001, 123456789012345680.0]
    assert ours(values) == ("[" + ",".join(map(repr, values)) + "]").encode()


@pytest.mark.parametrize("value", [
    float("nan"), float("inf"), -float("inf"), FloatSub("nan"), [1, -float("inf")],
    {float("nan"): 1}, {float("inf"): 1}, decimal.Decimal("NaN"), [decimal.Decimal("-Infinity")],
    decimal.Decimal("sNaN"),
], ids=ident)
def test_non_finite_with_and_without_allow_nan(value):
    assert_same(value, allow_nan=True)
    assert_same(value, allow_nan=False)


@pytest.mark.parametrize("value", [
    {(1, 2): 1}, [{dt.date(2020, 1, 1): 1}], {frozenset(): 1}, {b"k": 1}, 10**5000, {10**5000: 1},
    type("Bad", (dict,), {"items": lambda self: [("a", 1, 2)]})(x=1),
    type("Bad", (dict,), {"items": lambda self: [["a", 1]]})(x=1),
    type("Bad", (dict,), {"items": lambda self: 5})(x=1),
    type("Bad", (list,), {"__iter__": lambda self: 5})([1]),
    [dt.time(1, tzinfo=dt.timezone.utc)], {"a": [{"b": Obj()}]},
], ids=ident)
def test_errors_match_python(value):
    assert_same(value)


def test_no_hook_and_failing_hook():
    for value in ([dt.time(1)], {1, 2}, b"x", [[Obj()]]):
        assert outcome(ours, value, default=None) == outcome(
            lambda o, **kw: json.dumps(o, separators=(",", ":")), value)
    assert outcome(ours, {"a": [Obj()]}, default=raising_hook) == outcome(
        lambda o, **kw: json.dumps(o, default=raising_hook), {"a": [Obj()]})


def test_empty_dict_subclass_items_not_called():
    class Loud(dict):
        def items(self):
            raise AssertionError("items() called")
    assert ours(Loud()) == b"{}" == drf(Loud())


def nested(n, leaf=1):
    for _ in range(n):
        leaf = [leaf]
    return leaf


@pytest.mark.parametrize("make", [
    lambda n: nested(n), lambda n: nested(n, []), lambda n: {"k": nested(n - 1)},
    lambda n: nested(n - 1, {"k": None}),
], ids=["number", "empty list", "dict", "dict member"])
def test_depth_limit(make):
    assert ours(make(512)) == drf(make(512))
    with pytest.raises(JsonFallback, match="^nesting too deep$"):
        ours(make(513))


def test_cycles_and_self_returning_hook_fall_back():
    loop = []
    loop.append(loop)
    cyc = {}
    cyc["self"] = cyc
    for value, hook in ((loop, HOOK), (cyc, HOOK), (Obj(), lambda o: o)):
        with pytest.raises(JsonFallback, match="^nesting too deep$"):
            ours(value, default=hook)


@pytest.mark.parametrize("ea", [True, False])
@pytest.mark.parametrize("value", ["\ud800", "a\udfffb", "\U0001f600\udc00", {"\ud800": 1}])
def test_lone_surrogates_fall_back(value, ea):
    with pytest.raises(JsonFallback, match="^string with surrogates$"):
        ours(value, ensure_ascii=ea)


class Shared(dict):
    def items(self):
        return self.shared


def cleared_list():
    doc = [[Obj(), "abc"], 5]
    return doc, lambda o: doc.clear() or 0


def growing_list():
    doc = [Obj(), 1]
    return doc, lambda o: doc.append(2) or 0


def shrinking_items():
    doc = Shared(x=1)
    doc.shared = [("a", Obj()), ("b", 2), ("c", 3)]
    return doc, lambda o: doc.shared.pop() and 0


@pytest.mark.parametrize("build", [cleared_list, growing_list, shrinking_items])
def test_sequences_changed_by_user_code_match_python(build):
    # Lists (and a list returned by items()) are re-measured at every step,
    # as Python does; the item being written is kept alive by the encoder.
    doc, hook = build()
    expected = json.dumps(doc, default=hook, separators=(",", ":")).encode()
    doc, hook = build()
    assert ours(doc, default=hook) == expected


def test_dict_changed_by_user_code_falls_back():
    d = {"a": [Obj(), "x" * 50], "b": 1}
    with pytest.raises(JsonFallback, match="^dictionary changed size during iteration$"):
        ours(d, default=lambda o: d.clear() or 0)
    d = {"a": Obj()}
    with pytest.raises(JsonFallback, match="^dictionary changed size during iteration$"):
        ours(d, default=lambda o: d.update(b=1) or 0)


def test_tampered_uuid_falls_back():
    for value in (-1, 2**128, "x"):
        u = uuid.UUID(int=1)
        object.__setattr__(u, "int", value)
        with pytest.raises(JsonFallback, match="^UUID whose int is not a 128-bit value$"):
            ours(u)


def test_queryset_through_hook(db):
    from tests.project.shop.models import Tag
    Tag.objects.create(label="a")
    Tag.objects.create(label="b")
    qs = Tag.objects.values_list("label", flat=True).order_by("label")
    assert ours({"tags": qs}) == drf({"tags": qs}) == b'{"tags":["a","b"]}'


# NumPy's boolean scalar is recognised by its type's name; two stand-in types
# with those names (made the way a C extension makes them) stand for it.
class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_Slot))]


_INQUIRY = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)
_KEEP = []


def fake_numpy_bool(name, truth):
    fn = _INQUIRY(lambda self: truth)
    slots = (_Slot * 2)(_Slot(9, ctypes.cast(fn, ctypes.c_void_p)), _Slot(0, None))  # nb_bool
    type_spec = _Spec(name, 2 * ctypes.sizeof(ctypes.c_void_p), 0, 0, slots)
    make = ctypes.pythonapi.PyType_FromSpec
    make.restype, make.argtypes = ctypes.py_object, [ctypes.POINTER(_Spec)]
    _KEEP.extend((fn, slots, type_spec))
    return make(ctypes.byref(type_spec))()


def test_flags():
    value = {"é": [1, 2]}
    assert native.to_json(value) == drf(value)
    assert native.to_json(obj=value, ensure_ascii=False, compact=False) == drf(value, False, False)
    yes, no = fake_numpy_bool(b"numpy.bool", 1), fake_numpy_bool(b"numpy.bool_", 0)
    assert native.to_json(value, ensure_ascii=no, compact=yes) == drf(value, False, True)
    assert native.to_json(float("nan"), allow_nan=yes) == b"NaN"
    with pytest.raises(ValueError):
        native.to_json(float("nan"))
    with pytest.raises(TypeError, match=r"^argument 'compact': 'int' object is not an instance of 'bool'$"):
        native.to_json(1, compact=1)
    with pytest.raises(TypeError, match=r"^argument 'ensure_ascii': 'None' is not an instance"):
        native.to_json(1, ensure_ascii=None, compact=1)
    with pytest.raises(TypeError, match=r"^to_json\(\) takes 1 positional arguments but 2 were given$"):
        native.to_json(1, 2)
    assert native.to_json([1], default=3) == b"[1]"
    with pytest.raises(TypeError, match="not callable"):
        native.to_json([Obj()], default=3)


json_leaves = (st.none() | st.booleans() | st.text() | st.integers() | st.floats()
               | st.decimals(allow_nan=False) | st.dates() | st.uuids()
               | st.datetimes(timezones=st.none() | st.timezones()))
json_values = st.recursive(
    json_leaves,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(st.text() | st.integers() | st.floats() | st.booleans() | st.none(),
                      inner, max_size=4),
    max_leaves=12)


@settings(derandomize=True, max_examples=300, deadline=None)
@given(json_values)
def test_generated_documents(value):
    assert_same(value, allow_nan=True)


def raising_hook(o):
    raise KeyError("hook")


def test_reference_counts_stay_flat():
    value = {"a": [1, 2.5, "é", Obj(), 2**70], 7: (None, True), "d": decimal.Decimal("1.5"),
             "t": dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc), "u": uuid.UUID(int=5),
             "o": Ordered(x=[1])}
    failing = [([Obj()], None), ({(1,): 1}, HOOK), (["\ud800"], HOOK), (nested(600), HOOK),
               ([float("nan")], HOOK), ([10**5000], HOOK), ({"a": [Obj()]}, raising_hook),
               (Ordered(a=Obj()), lambda o: o)]
    watched = [value, value["a"], value["a"][3], value["o"], HOOK, *failing, *(v for v, _ in failing)]

    def run(n):
        for _ in range(n):
            ours(value)
            for bad, hook in failing:
                with pytest.raises((JsonFallback, TypeError, ValueError, KeyError)):
                    ours(bad, default=hook)

    tracemalloc.start()
    try:
        run(100)
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        before = tracemalloc.get_traced_memory()[0]
        run(10_000 // len(failing))
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    # One lost output buffer or object per call would be megabytes.
    assert grown < 64 * 1024
