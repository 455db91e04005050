"""Fuzz targets: each takes the fuzzer's bytes, runs the extension on what they
describe, and raises AssertionError when the answer differs from Python's own
(`json.loads`, DRF's `json.dumps`) or when the extension fails in a way it
must not. The libFuzzer driver (driver.cpp) calls them; the suite replays the
stored corpus through them (tests/test_reliability_fuzz.py)."""

import datetime
import decimal
import gc
import json
import os
import struct
import sys
import uuid

try:  # the fuzz driver links the extension in under its bare name; the
    # package (an app of the test project) then finds it there too
    import _quorvel_core as native

    sys.modules["quorvel_core._quorvel_core"] = native
except ImportError:
    from quorvel_core import _quorvel_core as native

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "tests.project.settings")

import django  # noqa: E402

django.setup()

from rest_framework import fields as drf_fields  # noqa: E402
from rest_framework.utils.encoders import JSONEncoder  # noqa: E402

from quorvel_core.schema_keys import SCHEMA_KEYS  # noqa: E402  (every key the parsers read)

HOOK = JSONEncoder().default


class Stream:
    """Reads small decisions from the fuzzer's bytes; zeros once exhausted."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def pick(self, options):
        return options[self.byte() % len(options)]


# ---------------------------------------------------------------------------
# from_json against json.loads.

# The reader's documented limits, which json.loads does not have: nesting
# over 200 and numbers longer than 4300 characters. It also refuses lone
# surrogate escapes, which json.loads turns into strings that cannot be
# encoded (see has_lone_surrogate).
ALLOWED_REFUSALS = ("recursion limit exceeded", "number out of range")


def has_lone_surrogate(value):
    try:
        json.dumps(value, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        return True
    return False


def strictly_equal(got, want):
    """Equal values of identical types, floats compared by their text (NaN,
    -0.0), dict keys in the same order."""
    if type(got) is not type(want):
        return False
    if isinstance(want, float):
        return repr(got) == repr(want)
    if isinstance(want, list):
        return len(got) == len(want) and all(map(strictly_equal, got, want))
    if isinstance(want, dict):
        return list(got) == list(want) and all(strictly_equal(got[k], want[k]) for k in want)
    return got == want


def _refuse_constant(name):
    raise ValueError(f"constant {name} not allowed")


def python_loads(data, allow_nan):
    """('ok', value) or ('error', exception) from Python's json module."""
    try:
        text = data.decode("utf-8")
        kw = {} if allow_nan else {"parse_constant": _refuse_constant}
        return "ok", json.loads(text, **kw)
    except (ValueError, RecursionError) as exc:
        return "error", exc


def native_loads(data, allow_nan):
    try:
        return "ok", native.from_json(data, allow_nan=allow_nan)
    except ValueError as exc:
        message = str(exc)
        assert " at line " in message and " column " in message, message
        return "error", exc


def from_json(data):
    for allow_nan in (False, True):
        try:
            ours = native_loads(data, allow_nan)
        except NotImplementedError:
            return
        theirs = python_loads(data, allow_nan)
        if ours[0] == "ok":
            assert theirs[0] == "ok", (data[:200], theirs)
            assert strictly_equal(ours[1], theirs[1]), (data[:200], ours[1], theirs[1])
            # The other input types give the same answer.
            assert strictly_equal(native.from_json(bytearray(data), allow_nan=allow_nan), ours[1])
            assert strictly_equal(native.from_json(data.decode(), allow_nan=allow_nan), ours[1])
        elif theirs[0] == "ok":
            assert (str(ours[1]).startswith(ALLOWED_REFUSALS)
                    or has_lone_surrogate(theirs[1])), (data[:200], ours[1])


# ---------------------------------------------------------------------------
# to_json against DRF's json.dumps.

class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Opaque:
    """Known only to DRF's hook, which turns an iterable into a list."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


def _text(s, wide):
    n = s.byte() % 12
    if not wide:
        return "".join(chr(s.byte() & 0x7F) for _ in range(n))
    return "".join(chr(int.from_bytes(s.take(3), "little") % 0x110000) for _ in range(n))


def _key(s):
    kind = s.byte() % 8
    if kind < 4:
        return _text(s, kind == 3)
    return s.pick([None, True, 7, -3, 1.5, float("nan"), (1,), datetime.date(2020, 1, 2)])


def _decimal(s):
    text = s.pick(["NaN", "sNaN", "Infinity", "-Infinity", "-0", None])
    if text is None:
        digits = str(int.from_bytes(s.take(s.byte() % 24 + 1), "little"))
        exponent = s.byte() - 128
        text = f"{'-' if s.byte() & 1 else ''}{digits}E{exponent}"
    return decimal.Decimal(text)


def _datetime(s):
    y, mo, d, h, mi, se = (s.byte() for _ in range(6))
    micro = int.from_bytes(s.take(3), "little") % 1_000_000 if s.byte() & 1 else 0
    value = datetime.datetime(1 + y * 7, 1 + mo % 12, 1 + d % 28, h % 24, mi % 60, se % 60, micro)
    tz_kind = s.byte() % 4
    if tz_kind == 1:
        return value.replace(tzinfo=datetime.UTC)
    if tz_kind == 2:
        offset = datetime.timedelta(seconds=int.from_bytes(s.take(3), "little") % 172_799 - 86_399)
        return value.replace(tzinfo=datetime.timezone(offset))
    return value


def value(s, depth=0):
    tag = s.byte() % (20 if depth < 12 else 9)
    if tag == 0:
        return None
    if tag == 1:
        return bool(s.byte() & 1)
    if tag == 2:
        return int.from_bytes(s.take(1), "little", signed=True)
    if tag == 3:
        return int.from_bytes(s.take(s.byte() % 40 + 1), "little", signed=True)
    if tag == 4:
        return struct.unpack("<d", s.take(8))[0]
    if tag in (5, 6):
        return _text(s, tag == 6)
    if tag == 7:
        return s.pick([IntSub(5), StrSub("sub\u2028"), FloatSub(2.5), 10 ** 5000, -(2 ** 63)])
    if tag == 8:
        return s.pick([_decimal, _datetime])(s)
    if tag == 9:
        return datetime.date(1 + s.byte() * 7, 1 + s.byte() % 12, 1 + s.byte() % 28)
    if tag == 10:
        return uuid.UUID(bytes=s.take(16))
    if tag == 11:
        return s.pick([datetime.time(1, 2, 3, 4), datetime.timedelta(days=1, seconds=2),
                       {1, 2}, b"bytes", Opaque([1, "a"])])
    if tag in (12, 13):
        items = [value(s, depth + 1) for _ in range(s.byte() % 6)]
        return s.pick([list, tuple, ListSub])(items)
    if tag in (14, 15):
        items = {_key(s): value(s, depth + 1) for _ in range(s.byte() % 6)}
        return DictSub(items) if s.byte() & 1 else items
    if tag == 16:  # deep nesting around the encoder's limit of 512
        inner = value(s, 12)
        for _ in range(500 + s.byte() % 20):
            inner = [inner]
        return inner
    return value(s, depth + 1)


def python_dumps(obj, ensure_ascii, compact, allow_nan):
    separators = (",", ":") if compact else (", ", ": ")
    text = json.dumps(obj, cls=JSONEncoder, ensure_ascii=ensure_ascii, allow_nan=allow_nan,
                      separators=separators)
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029").encode()


def _outcome(fn, *args, **kw):
    try:
        return "ok", fn(*args, **kw)
    except Exception as exc:  # compared by type and text
        return "error", exc


def to_json(data):
    s = Stream(data)
    flags = s.byte()
    obj = value(s)
    kw = dict(ensure_ascii=bool(flags & 1), compact=bool(flags & 2), allow_nan=bool(flags & 4))
    ours = _outcome(native.to_json, obj, default=HOOK, **kw)
    if ours[0] == "error" and isinstance(ours[1], native.JsonFallback):
        return  # the caller's Python encoder takes over
    theirs = _outcome(python_dumps, obj, **kw)
    if ours[0] == "ok":
        assert theirs == ours, (obj, kw, theirs)
    else:
        assert theirs[0] == "error", (obj, kw, ours[1])
        assert (type(ours[1]), str(ours[1])) == (type(theirs[1]), str(theirs[1])), (obj, kw)


# ---------------------------------------------------------------------------
# CompiledSerializer construction from random schemas.

TYPE_NAMES = [
    "attrs", "many", "star", "pk_attname", "python", "forward", "reverse_one", "passthrough",
    "str", "int", "float", "bool", "decimal", "date", "datetime", "time", "uuid", "choice",
    "list", "dict", "nested", "nested_many", "pk", "pk_many", "method", "model_attr", "char",
    "", "nope",
]


class BadIndex:
    def __index__(self):
        raise ArithmeticError("no index")


class BadBool:
    def __bool__(self):
        raise ArithmeticError("no truth")


class HashClash(str):
    """Equal to nothing, hashing like a schema key, so lookups must compare."""

    def __hash__(self):
        return hash("type")

    def __eq__(self, other):
        raise ArithmeticError("no comparison")


ATOMS = [
    None, True, False, 0, 1, -1, 2 ** 64, 3, "x", "", "a\ud800", "name", 1.5, b"b",
    drf_fields.CharField(), drf_fields.IntegerField(), datetime.UTC, decimal.Decimal("1.5"),
    BadIndex(), BadBool(), StrSub("s"), IntSub(2), object, int,
]
EMPTY = native.CompiledSerializer([], [])
OK_ERRORS = (TypeError, ValueError, KeyError, OverflowError, ArithmeticError)


def schema_value(s, depth):
    tag = s.byte() % (8 if depth < 5 else 3)
    if tag == 0:
        return s.pick(ATOMS)
    if tag == 1:
        return s.pick(TYPE_NAMES)
    if tag == 2:
        return s.pick([EMPTY, [], ["a", "b"], ["a", 1], ListSub(["c"])])
    if tag in (3, 4, 5):
        return schema_dict(s, depth + 1)
    return [schema_value(s, depth + 1) for _ in range(s.byte() % 4)]


def schema_dict(s, depth):
    out = DictSub() if s.byte() % 16 == 0 else {}
    for _ in range(s.byte() % 8):
        key = s.pick(SCHEMA_KEYS)
        out[key] = s.pick(TYPE_NAMES) if key in ("type", "kind") else schema_value(s, depth)
    if s.byte() % 16 == 0 and "type" not in out:
        out[HashClash("type")] = 1  # last: every later lookup of "type" raises
    return out


def schema(data):
    s = Stream(data)
    read = [schema_dict(s, 0) for _ in range(s.byte() % 4)]
    write = [schema_dict(s, 0) for _ in range(s.byte() % 4)]
    try:
        compiled = native.CompiledSerializer(read, write)
    except OK_ERRORS:
        return
    description = compiled.describe()
    assert len(description["read"]) <= len(read) and len(description["write"]) <= len(write)
    assert repr(compiled) == f"CompiledSerializer(read_fields={len(read)}, write_fields={len(write)})"
    gc.get_referents(compiled)  # walks the compiled plans' references
    del compiled
