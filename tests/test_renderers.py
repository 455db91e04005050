"""The accelerated JSON renderer gives DRF's bytes in every configuration."""

import datetime
import decimal
import uuid

import pytest
from rest_framework import renderers as drf
from rest_framework.utils import encoders

from quorvel_core import renderers as ours

DOCUMENTS = [
    None,
    {},
    [],
    {"a": [1, 2.5, -0.0, "\u2028x\u2029", "caf\u00e9 \U0001f600", None, True]},
    {"price": decimal.Decimal("1.10"), "when": datetime.datetime(2020, 1, 2, 3, 4, 5, 6,
                                                                  tzinfo=datetime.timezone.utc),
     "day": datetime.date(2020, 2, 29), "id": uuid.UUID(int=7), "span": datetime.timedelta(1)},
    {"nan": float("nan"), "inf": float("-inf")},
    # One dict per key type that compares equal to another: 1 and True are one key.
    {1: "int key", 2.5: "float key", None: "none key"}, {True: "bool key"},
    [{"nested": [{"deep": [1, 2, {"x": "y"}]}]}],
    {"set": {1}, "span": datetime.timedelta(seconds=1.5)},  # through DRF's default hook
    ("tuple", 1),
]

ATTRIBUTES = [
    {},
    {"ensure_ascii": False},
    {"compact": False},
    {"strict": False},
    {"ensure_ascii": False, "compact": False, "strict": False},
]

MEDIA_TYPES = [None, "application/json", "application/json; indent=2", "application/json; indent=0",
               "application/json; indent=bogus"]


def outcome(renderer, data, media_type):
    try:
        return ("ok", renderer.render(data, media_type))
    except Exception as exc:  # the error itself must match too
        return (type(exc), str(exc))


@pytest.mark.parametrize("attrs", ATTRIBUTES, ids=str)
@pytest.mark.parametrize("media_type", MEDIA_TYPES)
@pytest.mark.parametrize("data", DOCUMENTS, ids=repr)
def test_same_bytes_as_drf(attrs, media_type, data):
    theirs = type("Theirs", (drf.JSONRenderer,), attrs)()
    mine = type("Mine", (ours.JSONRenderer,), attrs)()
    assert outcome(mine, data, media_type) == outcome(theirs, data, media_type)


def test_custom_encoder_class_is_honoured():
    class Encoder(encoders.JSONEncoder):
        def default(self, obj):
            if isinstance(obj, set):
                return sorted(obj)
            return super().default(obj)

    class Renderer(ours.JSONRenderer):
        encoder_class = Encoder

    assert Renderer().render({"s": {3, 1}}) == b'{"s":[1,3]}'


def test_indent_from_renderer_context():
    data = {"a": [1]}
    context = {"indent": 4}
    assert ours.JSONRenderer().render(data, None, context) == drf.JSONRenderer().render(data, None, context)
    assert b"\n    " in ours.JSONRenderer().render(data, None, context)


def test_media_type_and_format_are_drfs():
    assert (ours.JSONRenderer.media_type, ours.JSONRenderer.format, ours.JSONRenderer.charset) == (
        drf.JSONRenderer.media_type, drf.JSONRenderer.format, drf.JSONRenderer.charset)
