"""The accelerated JSON parser against DRF's on a table of bodies: the same
data (types included) or the same ParseError, for every charset and both
STRICT_JSON settings."""

import io
import sys

import pytest
from rest_framework import parsers as drf
from rest_framework.exceptions import ParseError

from quorvel_core import installation, parsers

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
