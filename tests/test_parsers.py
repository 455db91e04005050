"""The accelerated JSON parser against DRF's on a table of bodies: the same
data (types included) or the same ParseError, for every charset and both
STRICT_JSON settings."""

import codecs
import io
import json
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rest_framework import parsers as drf
from rest_framework.exceptions import ParseError

from quorvel_core import installation, parsers
from quorvel_core._quorvel_core import _parse_body

BODIES = [
    b"{}", b"[]", b"0", b"-0", b"-0.0", b'""', b"true", b"null",
    b' \t\r\n{"k": "v"} \n',
    b'{"a": [1, 2.5, -3, 1e400, -1E-400, 1E+2, true, false, null, {"b": {}}]}',
    b'{"a": 1, "b": 2, "a": 3}',
    b"123456789012345678901234567890", b"9007199254740993", b"0.1", b"2.2250738585072011e-308",
    b"1.7976931348623157e308", b"1.7976931348623159e308", b"1" + b"0" * 400 + b".5",
    b"7" * 4300, b"-" + b"7" * 4300, b"7" * 4301, b"-" + b"7" * 4299,
    b'"\\u00e9\\ud83d\\ude00\\n\\"\\\\\\/\\b\\f\\r\\t\\u0000"',
    '"caf\u00e9 \u2028 \U0001f600"'.encode(),
    b'"\\udc00"', b'"\\ud800"', b'"\\ud800x"', b'["\\ud800\\u0041"]', b'{"\\udfff": 1}',
    b"[" * 200 + b"]" * 200, b"[" * 201 + b"1" + b"]" * 201, b"[" * 1000 + b"]" * 1000,
    b'{"a":' * 250 + b"1" + b"}" * 250,
    # Not JSON, or not text in the body's charset.
    b"", b"   ", b"[1,]", b'{"a": 1,}', b'{"a" 1}', b"{1: 2}", b"{'a': 1}", b"[1 2]",
    b"01", b"1.", b".5", b"1e", b"+1", b"0x10", b"nul", b"tru", b"truex", b"[1] [2]",
    b'"\\x"', b'"\\u12"', b'"\x01"', b'"a\nb"', b"\x00", b'"unterminated',
    b"NaN", b"-NaN", b"Infinity", b"-Infinity", b"[NaN, 1]", b'{"a": -Infinity}', b"nan",
    b'\xef\xbb\xbf{"a": 1}', b'"\xff"', b'"\xc0\x80"', b'"\xed\xa0\x80"', b'"\xf4\x90\x80\x80"',
    b'"\xe2\x82"', b"1 \xe2\x82", b"1\xe2\x82", b'"\xe9t\xe9"', b"\xe9",
    "[1]".encode("utf-16"), "[1]".encode("utf-16-le"), "[1]".encode("utf-32"),
]

ENCODINGS = [None, "utf-8", "UTF8", "utf-8-sig", "latin-1", "ascii", "utf-16", "cp1252",
             "bz2_codec", "no-such-charset"]


def outcome(parse, parser, body, encoding):
    context = {} if encoding is None else {"encoding": encoding}
    try:
        data = parse(parser, io.BytesIO(body), "application/json", context)
    except ParseError as exc:
        return "error", str(exc.detail), exc.detail.code
    except Exception as exc:
        return "raised", type(exc), str(exc)
    return "ok", type(data), repr(data)


def mismatches(parse, strict, encoding):
    parser = type("Parser", (drf.JSONParser,), {"strict": strict})()
    found = []
    for body in BODIES:
        expected = outcome(parsers.DRF_PARSE, parser, body, encoding)
        got = outcome(parse, parser, body, encoding)
        if got != expected:
            found.append((body[:40], got, expected))
    return found


PARSES = {
    "JSONParser": parsers.JSONParser.parse,
    "installed": installation.installed_parse,
}


@pytest.mark.parametrize("strict", [True, False])
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("parse", PARSES, ids=str)
def test_same_data_or_error_as_drf(parse, strict, encoding):
    assert mismatches(PARSES[parse], strict, encoding) == []


def test_table_reaches_both_outcomes():
    parser = drf.JSONParser()
    kinds = {outcome(parsers.DRF_PARSE, parser, body, None)[0] for body in BODIES}
    assert kinds == {"ok", "error"}


@pytest.fixture
def digit_limit():
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(1000)
    yield
    sys.set_int_max_str_digits(limit)


def test_a_lower_integer_digit_limit_is_honoured(digit_limit):
    parser = drf.JSONParser()
    body = b"[" + b"5" * 2000 + b"]"
    expected = outcome(parsers.DRF_PARSE, parser, body, None)
    assert expected[0] == "error"
    assert outcome(parsers.JSONParser.parse, parser, body, None) == expected


class Closed(io.BytesIO):
    def read(self, *args):
        raise ValueError("I/O operation on closed file.")


def test_a_failing_stream_fails_as_in_drf():
    def parse(parse_method):
        try:
            parse_method(drf.JSONParser(), Closed(), "application/json", {})
        except ParseError as exc:
            return str(exc.detail)

    assert parse(parsers.JSONParser.parse) == parse(parsers.DRF_PARSE) == (
        "JSON parse error - I/O operation on closed file.")


def test_parser_attributes_are_drfs():
    assert parsers.JSONParser.media_type == drf.JSONParser.media_type
    assert parsers.JSONParser.renderer_class is drf.JSONParser.renderer_class
    assert parsers.JSONParser.strict == drf.JSONParser.strict


E_ACUTE = "\u00e9".encode()

# Bodies DRF rejects as not UTF-8, whatever JSON they hold.
NOT_UTF8 = {
    "at the start": b'\xff{"a": 1}',
    "in a string": b'{"a": "x\xffy", "b": 2}',
    "between tokens": b'{"a": 1, \xfe "b": 2}',
    "at the end": b"[1, 2]\xff",
    "before a syntax error": b'["\xe9", 1,]',
    "after a syntax error": b'[1,] "\xff"',
    "a cut sequence before more text": b'"\xe2\x82" 1',
    "an encoded surrogate": b'"\xed\xa0\x80"',
    "a final encoded surrogate": b'"x" \xed\xb2\x80',
    "an overlong of two bytes": b'"\xc0\xaf"',
    "an overlong of three bytes": b'"\xe0\x80\xaf"',
    "an overlong of four bytes": b'"\xf0\x80\x80\xaf"',
    "above U+10FFFF": b'"\xf4\x90\x80\x80"',
    "a lead byte above F4": b'"\xf5\x80\x80\x80"',
    "after blocks of multi-byte text": b'{"text": "' + E_ACUTE * 40 + b'\xe9"}',
    "after blocks of ASCII": b"[" + b"1, " * 100 + b"\x80]",
}

# Bodies that end inside a UTF-8 sequence: DRF's stream reader drops it.
CUT_OFF = [b'[1, "ab"]\xe2\x82', b"[1]\xed\xa0", b'"a"\xf0\x90\x80', b'"ab\xe2\x82',
           b"[" + b"1, " * 20 + b"1]" + E_ACUTE * 20 + b"\xf4\x8f"]


def _no_fallback(*args):
    raise AssertionError("fell back to DRF's parser")


def native_only(parser, stream, media_type, context):
    return parsers.parse_json(parser, stream, media_type, context, _no_fallback)


@pytest.mark.parametrize("body", NOT_UTF8.values(), ids=NOT_UTF8)
def test_a_body_that_is_not_utf8_gets_drfs_error_without_drf(body):
    parser = drf.JSONParser()
    expected = outcome(parsers.DRF_PARSE, parser, body, None)
    assert expected[0] == "error"
    assert outcome(native_only, parser, body, None) == expected


@pytest.mark.parametrize("body", CUT_OFF)
def test_a_body_cut_inside_a_character_is_parsed_as_drf_parses_it(body):
    parser = drf.JSONParser()
    assert outcome(parsers.JSONParser.parse, parser, body, None) == (
        outcome(parsers.DRF_PARSE, parser, body, None))


def decoder_verdict(body):
    """What Python's incremental UTF-8 decoder, then json.loads, make of a body."""
    try:
        text, used = codecs.utf_8_decode(body, "strict", False)
    except UnicodeDecodeError as exc:
        return "not utf-8", exc.start, exc.end, exc.reason
    if used < len(body):
        return "refused"
    try:
        return "value", json.loads(text)
    except ValueError:
        return "refused"


def body_verdict(body):
    try:
        return "value", _parse_body(body, False)
    except UnicodeDecodeError as exc:
        assert exc.object is body
        return "not utf-8", exc.start, exc.end, exc.reason
    except ValueError:
        return "refused"


_pieces = st.text(st.characters(exclude_characters='"\\', exclude_categories=["Cs"],
                                min_codepoint=0x20), max_size=40) \
    .map(str.encode) | st.binary(max_size=4)


@settings(derandomize=True, max_examples=400, deadline=None)
@given(pieces=st.lists(_pieces, max_size=12), closed=st.booleans())
def test_parse_body_judges_utf8_as_python_does(pieces, closed):
    body = b'"' + b"".join(pieces) + (b'"' if closed else b"")
    assert body_verdict(body) == decoder_verdict(body)


@pytest.mark.parametrize("where", ["inside a string", "at the end"])
def test_parse_body_judges_every_byte_pair_as_python_does(where):
    found = []
    for lead in range(0x80, 0x100):
        for second in range(0x100):
            pair = bytes([lead, second])
            body = b'"' + pair + b'"' if where == "inside a string" else b'"a"' + pair
            if body_verdict(body) != decoder_verdict(body):
                found.append(pair)
    assert found == []
