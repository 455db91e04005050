"""DRF's JSON parser, with the native reader doing the work."""

import codecs
import functools
from encodings import utf_8

from django.conf import settings
from rest_framework import parsers
from rest_framework.exceptions import ParseError

from ._quorvel_core import _parse_body

DRF_PARSE = vars(parsers.JSONParser)["parse"]


class JSONParser(parsers.JSONParser):
    """Drop-in for `rest_framework.parsers.JSONParser`: the same media type,
    `STRICT_JSON`, data and `ParseError` messages."""

    def parse(self, stream, media_type=None, parser_context=None):
        return parse_json(self, stream, media_type, parser_context, DRF_PARSE)


def parse_json(parser, stream, media_type, parser_context, drf_parse):
    """What `drf_parse` (DRF's JSONParser.parse) returns for the same call.

    DRF decodes the body with the request's charset and hands the text to
    `json`. The reader answers only where that is certain to give its answer: a
    UTF-8 body it accepts, and so one that is valid UTF-8 throughout, or one
    that is not UTF-8 at all, which DRF rejects whatever JSON it holds, with
    the decoder's error. Any other body it refuses goes to DRF's own code,
    which either reports it with DRF's message or accepts what the reader
    refuses on purpose (a lone surrogate escape, deeper nesting, a longer
    integer, a truncated last character)."""
    if not _native_ok(parser_context):
        return drf_parse(parser, stream, media_type, parser_context)
    try:
        body = stream.read()
    except Exception as exc:
        return drf_parse(parser, _Replay(exc=exc), media_type, parser_context)
    if type(body) is bytes:
        try:
            return _parse_body(body, not parser.strict)
        except UnicodeDecodeError as exc:
            raise ParseError("JSON parse error - %s" % str(exc))
        except ValueError:
            pass
    return drf_parse(parser, _Replay(body), media_type, parser_context)


def _native_ok(parser_context):
    encoding = (parser_context or {}).get("encoding", settings.DEFAULT_CHARSET)
    return type(encoding) is str and _is_utf8(encoding)


# Keyed by the charset name, which the request chooses: bounded, so that a
# client naming many charsets cannot grow it.
@functools.lru_cache(maxsize=64)
def _is_utf8(encoding):
    """True when DRF would decode with Python's own UTF-8 stream reader."""
    try:
        return codecs.lookup(encoding).streamreader is utf_8.StreamReader
    except LookupError:
        return False


class _Replay:
    """The stream once more for DRF's parser: what the first read returned, or
    the exception it raised."""

    def __init__(self, data=None, exc=None):
        self._data, self._exc = data, exc

    def read(self, *args):
        if self._exc is not None:
            raise self._exc
        data, self._data = self._data, self._data[:0]
        return data
