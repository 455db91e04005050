"""from_json against json.loads: values and types, errors with their positions,
numbers, the nesting limit and the key cache."""

import gc
import json
import math
import random
import struct
import sys
import threading
from decimal import Decimal, localcontext

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel_core._quorvel_core import from_json

from .helpers import LOAD_NATIVE, run_isolated


def same(a, b):
    """Equal values with equal types; floats bit for bit, dict keys in order."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def _has_surrogate(value):
    if type(value) is str:
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if type(value) is list:
        return any(_has_surrogate(v) for v in value)
    if type(value) is dict:
        return any(_has_surrogate(k) or _has_surrogate(v) for k, v in value.items())
    return False


def _reject_constant(name):
    raise ValueError(f"{name} needs allow_nan")


def reference(data, allow_nan=False):
    """json.loads with the reader's deliberate restrictions on small documents:
    strict UTF-8, no NaN/Infinity unless allowed, no lone surrogates."""
    text = bytes(data).decode("utf-8") if not isinstance(data, str) else data
    kwargs = {} if allow_nan else {"parse_constant": _reject_constant}
    value = json.loads(text, **kwargs)
    if _has_surrogate(value):
        raise ValueError("lone surrogate")
    return value


def message(data, **kwargs):
    with pytest.raises(ValueError) as info:
        from_json(data, **kwargs)
    assert type(info.value) is ValueError
    return str(info.value)


# ---------------------------------------------------------------------------
# Errors: kind, line and column.

ERRORS = [
    (b"", "EOF while parsing a value at line 1 column 0"),
    (b"   ", "EOF while parsing a value at line 1 column 3"),
    (b"[", "EOF while parsing a list at line 1 column 1"),
    (b"[1", "EOF while parsing a list at line 1 column 2"),
    (b"[1,", "EOF while parsing a value at line 1 column 3"),
    (b"[1,]", "trailing comma at line 1 column 4"),
    (b"[1,\n]", "trailing comma at line 2 column 1"),
    (b"[1 2]", "expected `,` or `]` at line 1 column 4"),
    (b"[1x]", "expected `,` or `]` at line 1 column 3"),
    (b"[1\n", "EOF while parsing a list at line 2 column 0"),
    (b"{", "EOF while parsing an object at line 1 column 1"),
    (b'{"a"', "EOF while parsing an object at line 1 column 4"),
    (b'{"a" 1}', "expected `:` at line 1 column 6"),
    (b'{"a":', "EOF while parsing a value at line 1 column 5"),
    (b'{"a":1', "EOF while parsing an object at line 1 column 6"),
    (b'{"a":1,', "EOF while parsing a value at line 1 column 7"),
    (b'{"a":1,}', "trailing comma at line 1 column 8"),
    (b'{"a":1,2}', "key must be a string at line 1 column 8"),
    (b'{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    (b"{1:2}", "key must be a string at line 1 column 2"),
    (b"{}}", "trailing characters at line 1 column 3"),
    (b'"abc', "EOF while parsing a string at line 1 column 4"),
    (b'"a\\', "EOF while parsing a string at line 1 column 3"),
    (b'"\\x"', "invalid escape at line 1 column 3"),
    (b'"\\u12"', "EOF while parsing a string at line 1 column 6"),
    (b'"\\u12x4"', "invalid escape at line 1 column 6"),
    (b'"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
    (b'"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    (b'"\\ud800', "EOF while parsing a string at line 1 column 7"),
    (b'"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
    (b'"\\ud800\\n"', "EOF while parsing a string at line 1 column 10"),
    (b'"\\ud800\\nabcdef"', "unexpected end of hex escape at line 1 column 9"),
    (b'"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    (b'"\\ud800\\u00zz"', "invalid escape at line 1 column 12"),
    (b'"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    (b'"\x1f"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    (b'"\xc3\xa9\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    (b'"\\n' + b"x" * 40 + b'\x00"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 44"),
    (b'"\xe2\x82"', "invalid unicode code point at line 1 column 3"),
    (b'"ab\xffcd"', "invalid unicode code point at line 1 column 5"),
    (b'"' + b"x" * 30 + b'\xc3("', "invalid unicode code point at line 1 column 33"),
    (b'"\\n\xff"', "invalid unicode code point at line 1 column 4"),
    (b'"\\u00e9\\n\xed\xa0\x80"', "invalid unicode code point at line 1 column 6"),
    (b'{"\xff":1}', "invalid unicode code point at line 1 column 4"),
    (b'"\xff', "EOF while parsing a string at line 1 column 2"),
    (b"tru", "EOF while parsing a value at line 1 column 3"),
    (b"trux", "expected ident at line 1 column 4"),
    (b"fals ", "expected ident at line 1 column 5"),
    (b"nul", "EOF while parsing a value at line 1 column 3"),
    (b"truex", "trailing characters at line 1 column 5"),
    (b"1 2", "trailing characters at line 1 column 3"),
    (b"x", "expected value at line 1 column 1"),
    (b"]", "expected value at line 1 column 1"),
    (b"\xef\xbb\xbf[]", "expected value at line 1 column 1"),
    (b"NaN", "expected value at line 1 column 1"),
    (b"Infinity", "expected value at line 1 column 1"),
    (b"-Infinity", "invalid number at line 1 column 2"),
    (b"-NaN", "invalid number at line 1 column 2"),
    (b"01", "invalid number at line 1 column 2"),
    (b"-01", "invalid number at line 1 column 3"),
    (b"-", "EOF while parsing a value at line 1 column 1"),
    (b"-x", "invalid number at line 1 column 2"),
    (b"+1", "expected value at line 1 column 1"),
    (b".5", "expected value at line 1 column 1"),
    (b"1.", "EOF while parsing a value at line 1 column 2"),
    (b"1.x", "invalid number at line 1 column 3"),
    (b"1.e5", "invalid number at line 1 column 3"),
    (b"1e", "EOF while parsing a value at line 1 column 2"),
    (b"1e+", "EOF while parsing a value at line 1 column 3"),
    (b"1ex", "invalid number at line 1 column 3"),
    (b"[1.5e-]", "invalid number at line 1 column 7"),
    (b"1" * 4301, "number out of range at line 1 column 4301"),
    (b"-" + b"1" * 4300, "number out of range at line 1 column 4301"),
    (b"1" * 4301 + b".5", "number out of range at line 1 column 4302"),
    (b"[" * 201 + b"1" + b"]" * 201, "recursion limit exceeded at line 1 column 202"),
    (b'{"a":' * 201 + b"1" + b"}" * 201, "recursion limit exceeded at line 1 column 1006"),
    (b"\n\n  [1,\n   x]", "expected value at line 4 column 4"),
    ("[1,2", "EOF while parsing a list at line 1 column 4"),
    ('"\u00e9\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
]


@pytest.mark.parametrize("data, expected", ERRORS, ids=lambda v: repr(v)[:40])
def test_error_messages(data, expected):
    assert message(data) == expected
    if not any(data == d for d, _, _ in DELIBERATE):
        with pytest.raises(ValueError):
            reference(data)


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"Na", "EOF while parsing a value at line 1 column 2"),
        (b"Nax", "expected ident at line 1 column 3"),
        (b"Infinit", "EOF while parsing a value at line 1 column 7"),
        (b"-Inf", "EOF while parsing a value at line 1 column 4"),
        (b"-Infinitx", "expected ident at line 1 column 9"),
        (b"-NaN", "invalid number at line 1 column 2"),
        (b"NaNx", "trailing characters at line 1 column 4"),
    ],
)
def test_error_messages_with_allow_nan(data, expected):
    assert message(data, allow_nan=True) == expected


# Documents json.loads accepts and this reader rejects on purpose.
DELIBERATE = [
    (b"NaN", "expected value", "NaN needs allow_nan"),
    (b"[Infinity]", "expected value", "Infinity needs allow_nan"),
    (b"-Infinity", "invalid number", "-Infinity needs allow_nan"),
    (b"-" + b"1" * 4300, "number out of range", "the minus sign counts toward 4300 characters"),
    (b"1" * 4301 + b".5", "number out of range", "the limit holds for float integer parts too"),
    (b"[" * 201 + b"1" + b"]" * 201, "recursion limit exceeded", "nesting over 200"),
    (b'{"a":' * 201 + b"1" + b"}" * 201, "recursion limit exceeded", "nesting over 200 in objects"),
    (b'"\\udc00"', "lone leading surrogate in hex escape", "lone surrogate escapes"),
    (b'"\\ud800\\u0041"', "lone leading surrogate in hex escape", "a high surrogate needs a low one"),
    (b'"\\ud800"', "unexpected end of hex escape", "a high surrogate needs a low one at once"),
    (b'"\xed\xa0\x80"', "invalid unicode code point", "UTF-8 must not encode surrogates"),
    (b"\xef\xbb\xbf[]", "expected value", "no byte-order mark"),
    ("1".encode("utf-16-le"), "trailing characters", "input is always UTF-8"),
]


@pytest.mark.parametrize("data, kind, reason", DELIBERATE, ids=[r for _, _, r in DELIBERATE])
def test_deliberate_rejections(data, kind, reason):
    json.loads(data)  # accepted there
    assert message(data).startswith(kind + " at line ")


def test_lone_surrogate_in_str_input():
    assert json.loads('"\ud800"') == "\ud800"
    with pytest.raises(UnicodeEncodeError):
        from_json('"\ud800"')


# ---------------------------------------------------------------------------
# Accepted documents: equal values, equal types.

VALUES = [
    b"-0", b"0", b"-0.0", b"0.0", b"1e400", b"-1e400", b"1.0", b"10", b"1E2", b"1e+2", b"1e-2",
    b"1234567890123456789012345", b"-1234567890123456789012345",
    b"9223372036854775807", b"-9223372036854775808", b"-9223372036854775809",
    b"18446744073709551615", b"18446744073709551616", b"9999999999999999999",
    b"-9999999999999999999", b"99999999999999999999", b"1" * 4300, b"-" + b"9" * 4299,
    b"0e99999999999999999999", b"-1e-99999999999999999999", b"1e4294967297",
    b"1e18446744073709551617", b"-0e-5", b"0.000001", b"123.456e-7",
    b'""', b'"\\u00e9"', b'"\\ud83d\\ude00"', b'"\\u0000"', b'"\\"\\\\\\/\\b\\f\\n\\r\\t"',
    b'"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x82\xac"', b'"\x7f"', b'"\\u00e9' + b"x" * 40 + b'"',
    b'"' + b"a" * 100 + b"\\n" + b"b" * 37 + b'\\"' + b'"',
    b'"' + b"\xc3\xa9" * 20 + b"\\t" + b"z" * 20 + b'"', b'"\\uD834\\uDD1E\\u20AC"',
    b'"' + b"x" * 15 + b'"', b'"' + b"x" * 16 + b'"', b'"' + b"x" * 17 + b'"',
    b'{"a":1,"a":2}', b'{"a":1,"b":{"a":[]},"a":3}', b" \t\n\r[ 1 , { \"k\" : [ ] } ]\r\n",
    b"[true,false,null]", b"[[],{},[[]],[{}]]", b"[" * 200 + b"1" + b"]" * 200,
    b"[" * 201 + b"]" * 201, b'{"a":' * 200 + b"1" + b"}" * 200, b'{"a":' * 200 + b"{}" + b"}" * 200,
    b"[" + b",".join(b"%d" % i for i in range(100)) + b"]",
    b'{"": "", "\\u00e9": 1, "caf\xc3\xa9": 2, "a\\"b": 3}',
]


@pytest.mark.parametrize("data", VALUES, ids=lambda d: d[:40].decode("utf-8", "replace"))
@pytest.mark.parametrize("kind", [bytes, bytearray, "str"])
def test_values_match_json_loads(data, kind):
    doc = data.decode("utf-8") if kind == "str" else kind(data)
    assert same(from_json(doc), json.loads(data))


def test_escaped_non_ascii_text_is_a_proper_str():
    # An escape below 0x80 in bytes but above it as a code point must not
    # produce a compact ASCII string.
    value = from_json(b'["\\u00e9t\\u00e9", "\\u00ff", {"\\u00e9t\\u00e9": 1}]')
    assert value == ["été", "\u00ff", {"été": 1}]
    assert not value[0].isascii() and len(value[0]) == 3
    assert hash(value[0]) == hash("été") and value[0].encode() == "été".encode()


def test_nan_and_infinities_with_allow_nan():
    value = from_json(b"[NaN, Infinity, -Infinity]", allow_nan=True)
    assert same(value, json.loads("[NaN, Infinity, -Infinity]"))


# ---------------------------------------------------------------------------
# Inputs and arguments.

class BytesSub(bytes):
    pass


class StrSub(str):
    pass


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("doc", [BytesSub(b"[1]"), StrSub("[1]"), ByteArraySub(b"[1]"), bytearray(b"[1]")])
def test_accepted_input_types(doc):
    assert from_json(doc) == [1]


@pytest.mark.parametrize("doc", [memoryview(b"[1]"), 1, None, [b"1"]])
def test_rejected_input_types(doc):
    with pytest.raises(TypeError) as info:
        from_json(doc)
    assert str(info.value) == "from_json() expects bytes, bytearray or str"


@pytest.mark.parametrize(
    "flag, text",
    [(1, "'int' object is not an instance of 'bool'"), (None, "'None' is not an instance of 'bool'")],
)
def test_allow_nan_must_be_a_bool(flag, text):
    with pytest.raises(TypeError) as info:
        from_json(memoryview(b""), allow_nan=flag)  # checked before the data
    assert str(info.value) == "argument 'allow_nan': " + text


def test_argument_binding():
    assert from_json(data=b"2") == 2
    with pytest.raises(TypeError, match=r"from_json\(\) takes 1 positional arguments but 2 were given"):
        from_json(b"1", True)
    with pytest.raises(TypeError, match=r"from_json\(\) missing 1 required positional argument: 'data'"):
        from_json()
    assert from_json(b"1", allow_nan=False) == 1


# ---------------------------------------------------------------------------
# Numbers: correctly rounded floats and exact integers.

def _midpoint_texts(rng, count):
    """Decimal strings at, just above and just below midpoints between
    neighbouring doubles, compared to float()."""
    texts = []
    with localcontext() as ctx:
        ctx.prec = 2000
        for i in range(count):
            if i % 3 == 0:  # subnormal and smallest normals
                x = math.ldexp(rng.getrandbits(53), -1074 - 53 + rng.randrange(0, 120))
            else:
                x = abs(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
                if not math.isfinite(x):
                    continue
            up = math.nextafter(x, math.inf)
            if math.isinf(up):
                continue
            mid = (Decimal(x) + Decimal(up)) / 2
            sign, digits, exp = mid.as_tuple()
            d = "".join(map(str, digits)).rstrip("0") or "0"
            e = exp + len(digits) - len(d)
            mantissa = d[0] + "." + d[1:] if len(d) > 1 else d + ".0"
            point = e + len(d) - 1
            texts.append(f"{mantissa}e{point}")
            texts.append(f"{mantissa}{'0' * 30}1e{point}")
            texts.append(f"{mantissa}{'0' * 900}1e{point}")
            if len(d) > 1:
                below = mantissa[:-1] + str(int(mantissa[-1]) - 1) + "9" * 25
                texts.append(f"{below}e{point}")
    return texts


def _random_long_texts(rng, count):
    texts = []
    for _ in range(count):
        n = rng.choice([17, 18, 19, 20, 25, 40, 100, 400, 800, 801, 1500])
        digits = str(rng.randrange(1, 10)) + "".join(rng.choice("0123456789") for _ in range(n - 1))
        exp = rng.randrange(-360, 330) - (n - 1)
        texts.append(f"{digits}e{exp}")
        cut = rng.randrange(1, n)
        texts.append(f"-{digits[:cut]}.{digits[cut:]}E+{rng.randrange(0, 300)}")
    return texts


HARD_FLOATS = [
    "9007199254740993e0", "9007199254740993.0", "9007199254740993.00000000000000000000000000001",
    "9007199254740995e0", "18014398509481985e0", "1.7976931348623157e308",
    "1.7976931348623158e308", "1.7976931348623159e308", "1.797693134862315807937289714053e308",
    "2.2250738585072011e-308", "2.2250738585072012e-308", "2.2250738585072014e-308",
    "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
    "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324",
    "1e23", "8.533e+68", "4.1006e-184", "9.998e+307", "9.9538452227e-280", "6.47660115e-260",
    "7.4e+47", "5.92e+48", "7.35e+66", "8.32116e+55", "0.1", "0.3", "1e-400", "1e-342",
    "1e-343", "3e-324", "5e-324", "1e308", "1e309", "-0.0", "0e-10000", "1" + "0" * 308 + ".0",
    "0." + "0" * 400 + "1e400", "1" + "0" * 700 + "e-400",
]


@pytest.mark.parametrize("seed", range(4))
def test_hard_floats_match_float(seed):
    rng = random.Random(seed)
    texts = HARD_FLOATS + _midpoint_texts(rng, 600) + _random_long_texts(rng, 300)
    for text in texts:
        want = float(text)
        got = from_json(text.encode())
        assert type(got) is float and struct.pack("<d", got) == struct.pack("<d", want), text


def test_very_long_fraction():
    text = "0." + "3" * 1_000_000 + "4e1"
    assert from_json(text) == float(text) == json.loads(text)
    text = "7." + "0" * 1_000_000 + "1"
    assert from_json(text) == 7.0


@pytest.mark.parametrize("seed", range(3))
def test_integers_are_exact(seed):
    rng = random.Random(seed)
    for _ in range(300):
        n = rng.randrange(1, 4300)
        value = rng.randrange(10 ** (n - 1), 10**n) * rng.choice([1, -1])
        text = str(value)
        if len(text) > 4300:
            continue
        got = from_json(text)
        assert type(got) is int and got == value
    for bits in range(0, 200):
        for value in (2**bits - 1, 2**bits, -(2**bits), -(2**bits) - 1):
            assert from_json(str(value)) == value


# ---------------------------------------------------------------------------
# Generated documents.

_text = st.text(alphabet=st.characters(exclude_categories=["Cs"]), max_size=20)
_scalars = (
    st.none() | st.booleans() | st.integers(min_value=-(10**40), max_value=10**40)
    | st.floats(allow_nan=False, allow_infinity=False) | _text
)
json_values = st.recursive(
    _scalars,
    lambda children: st.lists(children, max_size=5) | st.dictionaries(_text, children, max_size=5),
    max_leaves=25,
)

STYLES = [
    {},
    {"indent": 2},
    {"separators": (",", ":")},
    {"ensure_ascii": False},
    {"indent": "\t", "ensure_ascii": False, "sort_keys": True},
    {"separators": (" ,\r\n", " :\t")},
]


@settings(derandomize=True, max_examples=300, deadline=None)
@given(value=json_values, style=st.sampled_from(STYLES), as_text=st.booleans())
def test_round_trips_match_json_loads(value, style, as_text):
    text = json.dumps(value, **style)
    doc = text if as_text else text.encode()
    assert same(from_json(doc), json.loads(doc))


@settings(derandomize=True, max_examples=100, deadline=None)
@given(value=st.lists(st.floats() | st.integers(), max_size=6))
def test_non_finite_round_trips_with_allow_nan(value):
    text = json.dumps(value)
    assert same(from_json(text, allow_nan=True), json.loads(text))


_bytes_of_interest = st.sampled_from(
    list(b'{}[]",:\\ \t\n-+.eE0123456789tfnulNaIy') + [0x00, 0x1F, 0x7F, 0x80, 0xBF, 0xC3, 0xE2, 0xED, 0xF0, 0xFF]
) | st.integers(0, 255)


@settings(derandomize=True, max_examples=400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(value=json_values, style=st.sampled_from(STYLES), data=st.data())
def test_mutated_documents_agree_on_accept_or_reject(value, style, data):
    doc = bytearray(json.dumps(value, **style).encode())
    for _ in range(data.draw(st.integers(1, 3))):
        action = data.draw(st.sampled_from(["replace", "insert", "delete", "truncate"]))
        at = data.draw(st.integers(0, len(doc)))
        if action == "insert":
            doc.insert(at, data.draw(_bytes_of_interest))
        elif at < len(doc):
            if action == "replace":
                doc[at] = data.draw(_bytes_of_interest)
            elif action == "delete":
                del doc[at]
            else:
                del doc[at:]
    doc = bytes(doc)
    allow_nan = data.draw(st.booleans())
    try:
        expected = reference(doc, allow_nan)
    except ValueError:
        with pytest.raises(ValueError):
            from_json(doc, allow_nan=allow_nan)
    else:
        assert same(from_json(doc, allow_nan=allow_nan), expected)


# ---------------------------------------------------------------------------
# The key cache.

def _keys(doc):
    return list(from_json(doc))


def test_cached_keys_are_shared_between_calls():
    long_key = "k" * 63
    doc = json.dumps({"name": 1, "ab": 2, long_key: 3, "caf\u00e9": 4}, ensure_ascii=False)
    first, second = _keys(doc.encode()), _keys(doc)
    assert all(a is b for a, b in zip(first, second))
    # The same text written with an escape is the same key.
    assert _keys(b'{"caf\\u00e9": 0}')[0] is first[3]


@pytest.mark.parametrize("key", ["a", "k" * 64, "\u00e9" * 40])
def test_short_and_long_keys_are_never_shared(key):
    doc = json.dumps({key: 1}).encode()
    first, second = _keys(doc), _keys(doc)
    assert first == second == [key] and first[0] is not second[0]


@pytest.mark.parametrize("keys", [
    ["abcdefgh-1-abcdefgh", "abcdefgh-2-abcdefgh"],  # alike in their first and last eight bytes
    ["same-ends-\u00e9-same-ends", "same-ends-\u00e8-same-ends"],
    ["k" * 30 + "1" + "k" * 30, "k" * 30 + "2" + "k" * 30],
])
def test_keys_alike_at_both_ends_stay_apart(keys):
    doc = json.dumps([{k: i} for i, k in enumerate(keys)] * 3, ensure_ascii=False).encode()
    assert same(from_json(doc), json.loads(doc))


def test_string_values_are_never_shared():
    a, b = from_json(b'["value", "value"]')
    assert a == b == "value" and a is not b


def test_keys_are_shared_across_threads():
    doc = b'{"thread_shared_key": 1, "another_shared_key": 2}'
    expected = _keys(doc)
    seen, errors = [], []

    def work():
        try:
            for _ in range(200):
                seen.append(_keys(doc))
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(seen) == 1200
    assert all(k[0] is expected[0] and k[1] is expected[1] for k in seen)


def test_many_colliding_keys_give_correct_results():
    rng = random.Random(7)
    keys = [f"key-{i}-{rng.getrandbits(40):x}" for i in range(40000)]
    obj = {k: i for i, k in enumerate(keys)}
    doc = json.dumps(obj).encode()
    for _ in range(2):
        assert same(from_json(doc), obj)
    # Repeated keys inside one document, after the table has wrapped its windows.
    doc = json.dumps([{k: 1 for k in keys[i : i + 50]} for i in range(0, 40000, 997)]).encode()
    assert same(from_json(doc), json.loads(doc))


def test_cache_keeps_working_after_a_failure_inside_it():
    pytest.importorskip("_testcapi")
    out = run_isolated(LOAD_NATIVE + """
import _testcapi
f = native.from_json
a, b = f(b'{"cd": 1}'), f(b'{"cd": 2}')
assert next(iter(a)) is next(iter(b))
failures = 0
for start in range(40):
    doc = b'{"k%03d": [1, 2.5, "v"]}' % start
    _testcapi.set_nomemory(start, start + 1)
    try:
        value = f(doc)
    except MemoryError:
        failures += 1
        continue
    finally:
        _testcapi.remove_mem_hooks()
    assert value == {"k%03d" % start: [1, 2.5, "v"]}, value
assert failures
a, b = f(b'{"cd": 1, "ef": [2]}'), f(b'{"cd": 1, "ef": [2]}')
assert a == b == {"cd": 1, "ef": [2]}
print(next(iter(a)) is next(iter(b)))
""")
    assert out.strip() == "False"  # correct results, but keys are no longer shared


def test_failed_number_or_list_creation_is_a_memory_error():
    pytest.importorskip("_testcapi")
    out = run_isolated(LOAD_NATIVE + """
import _testcapi
doc = b'[123456789012345678901234567890, [7], 1.25, {"key": "v"}]'
kinds = set()
for start in range(40):
    _testcapi.set_nomemory(start, start + 1)
    try:
        value = native.from_json(doc)
    except MemoryError:
        kinds.add("memory")
        continue
    finally:
        _testcapi.remove_mem_hooks()
    assert value == [123456789012345678901234567890, [7], 1.25, {"key": "v"}]
    kinds.add("ok")
print(sorted(kinds))
""")
    assert out.strip() == "['memory', 'ok']"


# Every reading path that allocates: cached, too short and too long keys
# (ASCII and not), big and digit-limited integers, floats, an escaped string
# past the scratch buffer, a list past the element stack, nested containers.
# Keys differ per attempt so that each attempt stores in the key cache.
_MANY_KEYS_DOC = r"""
import json
def make(tag, kind):
    obj = {"%sk%02d" % (tag, i): v for i, v in enumerate([
        12345678901, -2 ** 40, 3.14159, 2.5e-300, "plain", "caf\u00e9", None, True,
        123456789012345678901234567890, int("7" * 700), "line\n\"" * 80,
        list(range(1000, 1040)), {"inner%s" % tag: [1.5, "x" * 30, {"deep": -0.25}]},
        [], {}, "ctl\x01\U0001F600", 1e300, -987654321, "", False])}
    obj["q"] = 1
    obj["cl\u00e9%s" % tag] = "k" * 70
    obj["z" * 70 + tag] = 2
    text = json.dumps(obj, ensure_ascii=False)
    return {"bytes": text.encode(), "bytearray": bytearray(text.encode()), "str": text}[kind]
"""


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "str"])
def test_every_failed_allocation_is_a_memory_error(kind):
    pytest.importorskip("_testcapi")
    out = run_isolated(LOAD_NATIVE + _MANY_KEYS_DOC + """
import _testcapi
native.from_json(b'{"ab": 1}')  # the key cache's table, made once per process
raised, wrong = {}, []
for start in range(20000):
    doc = make(str(start), %r)
    _testcapi.set_nomemory(start, start + 1)
    try:
        native.from_json(doc)
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        raised[type(exc).__name__] = raised.get(type(exc).__name__, 0) + 1
    else:
        _testcapi.remove_mem_hooks()
        break
    if native.from_json(doc) != json.loads(doc):
        wrong.append(start)
print(json.dumps({"raised": raised, "wrong": wrong, "last": start}))
""" % kind)
    result = json.loads(out)
    assert list(result["raised"]) == ["MemoryError"] and result["wrong"] == [], result
    assert result["raised"]["MemoryError"] == result["last"] > 30, result


@pytest.mark.parametrize("limit", [0, 640, 1000, 4300])
@pytest.mark.parametrize("digits", [640, 641, 1000, 1001, 4299])
@pytest.mark.parametrize("sign", ["", "-"])
def test_the_integer_digit_limit_in_force_applies(limit, digits, sign):
    doc = ("[" + sign + "7" * digits + "]").encode()
    was = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        try:
            expected = json.loads(doc)
        except ValueError as exc:
            with pytest.raises(ValueError) as got:
                from_json(doc)
            assert str(got.value) == str(exc)
        else:
            assert from_json(doc) == expected
    finally:
        sys.set_int_max_str_digits(was)


# ---------------------------------------------------------------------------
# No references or memory kept, whether a parse succeeds or fails.

def test_no_leaks_over_many_parses():
    docs = [
        b'{"alpha": [1, 2.5, "x\\u00e9", null, true], "beta": {"gamma": -12345678901234567890123}}',
        bytearray(b'["\\ud83d\\ude00", 1e400, -0.0]'),
        '{"str input": "caf\u00e9"}',
        b'{"alpha": [1, 2, "unterminated',
        b'[1, 2, {"k": 3}, 01]',
        b'{"a": 1,}',
        b'"\xff"',
        b'[' * 150 + b'"deep"' + b']' * 150,
        b'[' * 201 + b'1' + b']' * 201,
        b'1' * 5000,
        b'NaN',
    ]
    data_refs = [sys.getrefcount(d) for d in docs]

    def run():
        for d in docs:
            try:
                from_json(d)
            except ValueError:
                pass

    for _ in range(3):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(10_000 // len(docs) + 1):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    assert [sys.getrefcount(d) for d in docs] == data_refs
