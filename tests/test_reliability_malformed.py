"""Malformed and hostile input never crashes the process and ends as DRF or
Python's json module ends: documents that are truncated, overlong, deeply
nested or not UTF-8; instances whose attributes raise, return unexpected
types or change the instance; input dicts that change while being read."""

import datetime
import decimal
import json
import uuid

import pytest
from rest_framework import serializers

import quorvel_core
from quorvel_core import _quorvel_core as native

from .fuzz import targets


def outcome(call):
    """The result of `call()`, or the type and text of what it raised."""
    try:
        return "ok", call()
    except Exception as exc:  # compared, never swallowed
        return "raised", (type(exc), str(exc))


# ---------------------------------------------------------------------------
# from_json.

RICH = json.dumps({"name": "é\u2028\U0001f600\"\\/\n", "list": [1, -2.5e-3, 10 ** 30, True, None],
                   "nested": {"a": [{}, [], ""], "long_key_" * 5: 0.1}}, ensure_ascii=False).encode()


def test_every_truncation_ends_like_json_loads():
    for cut in range(len(RICH) + 1):
        targets.from_json(RICH[:cut])  # equal value, or a ValueError where json.loads fails too
    with pytest.raises(ValueError, match="EOF while parsing"):
        native.from_json(RICH[:-1])


@pytest.mark.parametrize("doc", [
    b'"' + b"x" * 5_000_000 + b'"',
    b"[" + b"1," * 500_000 + b"1]",
    b"{" + b",".join(b'"k%d":%d' % (i, i) for i in range(100_000)) + b"}",
    b"9" * 4300, b"-" + b"9" * 4299, b"0." + b"1" * 100_000, b"1e" + b"9" * 1000,
    b" " * 1_000_000 + b"[]",
])
def test_overlong_documents(doc):
    assert targets.strictly_equal(native.from_json(doc), json.loads(doc))


@pytest.mark.parametrize("doc", [b"9" * 4301, b"-" + b"9" * 4300, b"[" + b"9" * 10_000 + b"]"])
def test_overlong_numbers_are_refused(doc):
    with pytest.raises(ValueError, match="number out of range"):
        native.from_json(doc)


@pytest.mark.parametrize("opening, closing", [(b"[", b"]"), (b'{"a":', b"}"), (b'[{"k":', b"}]")])
@pytest.mark.parametrize("depth", [199, 201, 10_000, 1_000_000])
def test_deep_nesting_is_refused_without_exhausting_the_stack(opening, closing, depth):
    doc = opening * depth + b"1" + closing * depth
    if depth * (opening.count(b"[") + opening.count(b"{")) <= 200:
        assert native.from_json(doc) == json.loads(doc)
    else:
        with pytest.raises(ValueError, match="recursion limit exceeded"):
            native.from_json(doc)
    with pytest.raises(ValueError):  # unterminated: the same, or EOF first
        native.from_json(opening * depth)


@pytest.mark.parametrize("raw", [
    b"\xff", b"\xc3", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
    b"\xf4\x90\x80\x80", b"\xf8\x88\x80\x80\x80", b"\x80", b"a\xe2\x82", b"\xe2\x82a",
])
def test_invalid_utf8_in_strings(raw):
    with pytest.raises(ValueError, match="invalid unicode code point"):
        native.from_json(b'["ok", "' + raw + b'"]')
    with pytest.raises(ValueError):  # outside a string: not a value at all
        native.from_json(b"[" + raw + b"]")
    with pytest.raises(ValueError):  # a key, and the end of the input inside the sequence
        native.from_json(b'{"' + raw)


# ---------------------------------------------------------------------------
# to_representation on hostile instances, against DRF.

class ChildS(serializers.Serializer):
    x = serializers.IntegerField()


class ReadS(serializers.Serializer):
    name = serializers.CharField()
    count = serializers.IntegerField()
    price = serializers.DecimalField(max_digits=6, decimal_places=2)
    when = serializers.DateTimeField()
    ident = serializers.UUIDField()
    child = ChildS()
    children = ChildS(many=True)
    tags = serializers.ListField(child=serializers.CharField())


class Plain:
    def __init__(self, **overrides):
        values = dict(name="n", count=1, price=decimal.Decimal("1.5"),
                      when=datetime.datetime(2024, 5, 6, 7, 8, 9), ident=uuid.UUID(int=9),
                      child=Child(1), children=[Child(2)], tags=["a"])
        values.update(overrides)
        self.__dict__.update(values)


class Child:
    def __init__(self, x):
        self.x = x


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def raising(exc):
    def get(self):
        raise exc
    return property(get)


def hostile(**attributes):
    """A factory of Plain subclass instances with the given class attributes
    (properties), fresh for each run since some change themselves."""
    cls = type("Hostile", (Plain,), attributes)

    def make():
        obj = cls()
        for name in attributes:
            obj.__dict__.pop(name, None)
        return obj
    return make


def set_then(name, value, result):
    def get(self):
        setattr(self, name, value)
        return result
    return property(get)


def change_class(self):
    self.__class__ = type("Other", (Plain,), {})
    return "changed"


HOSTILE = {
    "raises_value_error": hostile(name=raising(ValueError("boom"))),
    "raises_attribute_error": hostile(count=raising(AttributeError("gone"))),
    "raises_key_error": hostile(child=raising(KeyError("k"))),
    "raises_in_nested": lambda: Plain(child=hostile(x=raising(TypeError("t")))()),
    "raises_in_many": lambda: Plain(children=[Child(1), hostile(x=raising(LookupError()))()]),
    "name_is_int": lambda: Plain(name=12),
    "name_is_bytes": lambda: Plain(name=b"\xff"),
    "name_is_unprintable": lambda: Plain(name=Unprintable()),
    "name_is_surrogate": lambda: Plain(name="\ud800"),
    "count_is_text": lambda: Plain(count="12"),
    "count_is_float": lambda: Plain(count=2.7),
    "count_is_huge": lambda: Plain(count=10 ** 50),
    "count_is_bool": lambda: Plain(count=True),
    "count_is_none": lambda: Plain(count=None),
    "price_is_float": lambda: Plain(price=1.005),
    "price_is_nan": lambda: Plain(price=decimal.Decimal("NaN")),
    "price_is_text": lambda: Plain(price="abc"),
    "when_is_date": lambda: Plain(when=datetime.date(2024, 1, 2)),
    "when_is_text": lambda: Plain(when="yesterday"),
    "ident_is_text": lambda: Plain(ident="not-a-uuid"),
    "child_is_dict": lambda: Plain(child={"x": 5}),
    "child_is_int": lambda: Plain(child=5),
    "children_is_none": lambda: Plain(children=None),
    "children_is_generator": lambda: Plain(children=(Child(i) for i in range(3))),
    "children_is_int": lambda: Plain(children=7),
    "tags_is_text": lambda: Plain(tags="abc"),
    "tags_holds_none": lambda: Plain(tags=["a", None]),
    "sets_a_later_attribute": hostile(name=set_then("count", "mutated", "n")),
    "deletes_a_later_attribute": hostile(
        name=property(lambda self: (self.__dict__.pop("price"), "n")[1])),
    "empties_a_later_list": hostile(
        name=property(lambda self: (self.__dict__["children"].clear(), "n")[1])),
    "changes_its_class": hostile(name=property(change_class)),
}


@pytest.fixture(scope="module")
def read_pair():
    serializer = ReadS()
    compiled = quorvel_core.compile_serializer(serializer, write=False)
    assert compiled.describe()["read"]["count"] == ("attrs", "int")
    return serializer, compiled


@pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_instances_end_as_in_drf(read_pair, make):
    serializer, compiled = read_pair
    ours = outcome(lambda: compiled.to_representation(make()))
    theirs = outcome(lambda: serializer.to_representation(make()))
    assert ours == theirs


def test_hostile_instances_in_one_list(read_pair):
    serializer, compiled = read_pair
    fine = [make for make in HOSTILE.values()
            if outcome(lambda: serializer.to_representation(make()))[0] == "ok"]
    ours = compiled.to_representation_many([make() for make in fine])
    assert ours == [serializer.to_representation(make()) for make in fine]


# ---------------------------------------------------------------------------
# to_internal_value on dicts that change while being read, against DRF.

class Mutating(serializers.Field):
    """A field whose validation changes the input dict it was read from; the
    loop hands it the whole input, as DRF does."""

    def __init__(self, change, **kw):
        self.change = change
        super().__init__(**kw)

    def get_value(self, dictionary):
        self.change(dictionary)
        return super().get_value(dictionary)

    def to_internal_value(self, data):
        return data


def write_serializer(change):
    attrs = {"a": serializers.CharField(), "m": Mutating(change, required=False),
             "b": serializers.IntegerField(required=False), "c": ChildS(required=False),
             "d": serializers.ListField(child=serializers.IntegerField(), required=False)}
    return type("WriteS", (serializers.Serializer,), attrs)()


class Collider:
    """A key that hashes like "b" and changes the dict when compared, so a
    lookup of "b" runs into a dict that changes under it."""

    def __init__(self, change):
        self.change = change
        self.dict = None

    def __hash__(self):
        return hash("b")

    def __eq__(self, other):
        if self.dict is not None:
            target, self.dict = self.dict, None
            self.change(target)
        return False


CHANGES = {
    "clears": lambda d: d.clear(),
    "deletes_later_keys": lambda d: [d.pop(k, None) for k in ("b", "c")],
    "replaces_later_values": lambda d: d.update(b="not a number", c={"x": "1"}),
    "adds_many_keys": lambda d: d.update({f"k{i}": i for i in range(1000)}),
    "empties_nested_input": lambda d: d.get("c", {}).clear(),
    "shrinks_a_list_value": lambda d: d.get("d", []).clear(),
}


def payload():
    return {"a": "text", "m": "kept", "b": "12", "c": {"x": "3"}, "d": [1, "2", 3]}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_input_changed_by_a_field_ends_as_in_drf(change):
    serializer = write_serializer(change)
    compiled = quorvel_core.compile_serializer(serializer, read=False)
    assert compiled.describe()["write"]["b"] == ("int", False)
    ours = outcome(lambda: compiled.to_internal_value(payload()))
    theirs = outcome(lambda: serializer.to_internal_value(payload()))
    if theirs[0] == "raised":  # DRF raises its ValidationError; the loop returns the errors
        assert ours[0] == "ok" and ours[1][1] is not None
    else:
        assert ours == ("ok", (theirs[1], None))


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_input_changed_during_a_key_lookup(change):
    serializer = write_serializer(lambda d: None)
    compiled = quorvel_core.compile_serializer(serializer, read=False)

    colliders = []

    def data():
        d = payload()
        del d["b"]
        collider = Collider(change)
        d[collider] = "x"
        d["b"] = "12"  # compared with the collider on insertion
        collider.dict = d  # armed: the next lookup of "b" changes the dict
        colliders.append(collider)
        return d

    ours = outcome(lambda: compiled.to_internal_value(data()))
    theirs = outcome(lambda: serializer.to_internal_value(data()))
    assert [c.dict for c in colliders] == [None, None]  # both lookups ran into the change
    if theirs[0] == "raised":
        assert ours[0] == "ok" and ours[1][1] is not None
    else:
        assert ours == ("ok", (theirs[1], None))
