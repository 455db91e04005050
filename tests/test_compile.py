"""Compiling a schema into a CompiledSerializer: plans, errors, ownership."""

import datetime
import gc
import sys
import weakref

import pytest

from .compile_support import CS, EMPTY, SCHEMA_ERRORS, Holder, read_entry, relation, write_entry
from .helpers import LOAD_NATIVE, run_isolated

UTC = datetime.timezone.utc


class Boom(Exception):
    pass


class Exploding:
    """Raises Boom when the compiler reads it as a flag or an integer, which
    shows whether a key is read at all."""

    def __bool__(self):
        raise Boom

    def __index__(self):
        raise Boom


def read_kind(repr_schema):
    return CS([read_entry(repr_schema)], []).describe()["read"]["f"][1]


def val_kind(val):
    return CS([], [write_entry(val)]).describe()["write"]["w"][0]


@pytest.mark.parametrize("get, form", [
    (None, "python"),
    ({"type": "python"}, "python"),
    ({"type": "star"}, "star"),
    ({"type": "attrs", "attrs": []}, "attrs"),
    ({"type": "attrs", "attrs": ["a", relation(), relation("reverse_one"),
                                 relation("many", required=["x"]), relation(null=1)]}, "attrs"),
    ({"type": "many", "attrs": ["items"]}, "many"),
    ({"type": "pk_attname", "attname": "id"}, "pk_attname"),
    ({"type": "pk_attname", "attname": "id", "from_dict": True}, "pk_attname"),
])
def test_get_forms(get, form):
    assert CS([read_entry(get=get)], []).describe()["read"]["f"] == (form, "python")


def test_get_none_is_the_python_form():
    assert CS([read_entry() | {"get": None}], []).describe()["read"]["f"][0] == "python"


@pytest.mark.parametrize("schema, kind", [
    *[({"type": k}, k) for k in ["passthrough", "str", "int", "float", "bool", "date", "time",
                                 "uuid", "pk", "pk_many", "python"]],
    ({"type": "decimal"}, "decimal"),
    ({"type": "decimal", "max_digits": 5, "decimal_places": None, "coerce_to_string": None},
     "decimal"),
    ({"type": "datetime"}, "datetime"),
    ({"type": "datetime", "timezone": UTC, "use_tz": True}, "datetime"),
    ({"type": "choice", "map": {}}, "choice"),
    ({"type": "list", "child": {"type": "uuid"}, "child_field": None}, "list[uuid]"),
    ({"type": "dict", "child": {"type": "list", "child": {"type": "str"}, "child_field": 1},
      "child_field": 2}, "dict[list[str]]"),
    ({"type": "nested", "serializer": EMPTY}, "nested"),
    ({"type": "nested", "serializer": EMPTY, "many": False}, "nested"),
    ({"type": "nested", "serializer": EMPTY, "many": True}, "nested_many"),
    ({"type": "method", "method": len}, "method"),
    ({"type": "model_attr", "attname": "id"}, "model_attr"),
])
def test_repr_kinds(schema, kind):
    assert read_kind(schema) == kind


@pytest.mark.parametrize("schema, kind", [
    *[({"type": k}, k) for k in ["char", "int", "float", "bool", "decimal", "date", "datetime",
                                 "uuid", "python"]],
    ({"type": "char", "allow_blank": 1, "trim_whitespace": 0, "email": "false",
      "max_length": 5, "min_length": True}, "char"),
    ({"type": "int", "max_value": 2**63 - 1, "min_value": -2**63}, "int"),
    ({"type": "float", "max_value": 5, "min_value": 1.5}, "float"),
    ({"type": "decimal", "max_digits": 5, "decimal_places": 2}, "decimal"),
    ({"type": "datetime", "timezone": None, "use_tz": True}, "datetime"),
    ({"type": "choice", "map": {"1": 1}}, "choice"),
    ({"type": "list", "child": {"type": "list", "child": {"type": "char"}}}, "list[list[char]]"),
    ({"type": "nested", "serializer": EMPTY}, "nested"),
    ({"type": "nested", "serializer": EMPTY, "many": True, "allow_empty": False,
      "max_length": 3}, "nested_many"),
])
def test_val_kinds(schema, kind):
    assert val_kind(schema) == kind


def test_describe_and_repr_of_a_whole_serializer():
    cs = CS([read_entry(name="a"), read_entry({"type": "str"}, name="b")],
            [write_entry(name="x", python_validators=True), write_entry({"type": "int"}, name="y")])
    assert repr(cs) == "CompiledSerializer(read_fields=2, write_fields=2)"
    assert repr(EMPTY) == "CompiledSerializer(read_fields=0, write_fields=0)"
    assert EMPTY.describe() == {"read": {}, "write": {}}
    described = cs.describe()
    assert list(described) == ["read", "write"]
    assert described == {"read": {"a": ("python", "python"), "b": ("python", "str")},
                         "write": {"x": ("python", True), "y": ("int", False)}}
    described["read"].clear()
    assert cs.describe()["read"] != {}  # every call builds new dicts


def test_duplicate_names_keep_the_first_position_and_the_last_plan():
    cs = CS([read_entry(name="a"), read_entry(name="b"), read_entry({"type": "int"}, name="a")], [])
    assert repr(cs) == "CompiledSerializer(read_fields=3, write_fields=0)"
    assert list(cs.describe()["read"].items()) == [("a", ("python", "int")), ("b", ("python", "python"))]


def test_names_and_sources_are_interned_exact_strings():
    class Text(str):
        pass

    name = "".join(["na", "me"])
    source = "".join(["sou", "rce"])
    cs = CS([read_entry(name=name)], [write_entry(name=Text("text")) | {"source_attrs": [source]}])
    described = cs.describe()
    (read_name,), (write_name,) = described["read"], described["write"]
    assert read_name is sys.intern("name")
    assert type(write_name) is str and write_name is sys.intern("text")
    assert any(o is sys.intern("source") for o in gc.get_referents(cs))


def test_optional_keys_are_read_only_when_their_kind_needs_them():
    boom = Exploding()
    # The zone form never reads use_tz; keys of other kinds are ignored.
    read_kind({"type": "datetime", "timezone": UTC, "use_tz": boom})
    read_kind({"type": "str", "coerce_to_string": boom, "many": boom})
    val_kind({"type": "datetime", "timezone": UTC, "use_tz": boom})
    val_kind({"type": "nested", "serializer": EMPTY, "many": False, "allow_empty": boom,
              "max_length": boom})
    CS([read_entry(get={"type": "attrs", "attrs": [relation("reverse_one", null=boom)]})], [])
    with pytest.raises(Boom):
        val_kind({"type": "nested", "serializer": EMPTY, "many": True, "allow_empty": boom})
    with pytest.raises(Boom):
        read_kind({"type": "datetime", "timezone": None, "use_tz": boom})
    with pytest.raises(Boom):
        CS([], [write_entry(python_validators=boom)])


def test_zone_object_is_held_only_by_the_zone_form():
    zone = datetime.timezone(datetime.timedelta(hours=3))
    held = CS([read_entry({"type": "datetime", "timezone": zone})], [])
    not_held = CS([], [write_entry({"type": "datetime", "timezone": None, "use_tz": True})])
    assert zone in gc.get_referents(held)
    assert UTC not in gc.get_referents(not_held)


@pytest.mark.parametrize("read, write, error, message", SCHEMA_ERRORS)
def test_schema_errors(read, write, error, message):
    with pytest.raises(error) as info:
        CS(read, write)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_list_length_changes_during_compilation_are_safe():
    entries = []

    class Shrinks:
        def __bool__(self):
            entries.clear()
            return True

    entries += [write_entry(name="a", allow_null=Shrinks()), write_entry(name="b")]
    assert list(CS([], entries).describe()["write"]) == ["a"]

    class Grows:
        def __bool__(self):
            entries.append(write_entry(name="late"))
            return False

    entries[:] = [write_entry(name="a", allow_null=Grows())]
    assert list(CS([], entries).describe()["write"]) == ["a"]


def schema_objects():
    """One fresh object for every place a schema can hand over a reference."""
    return {name: Holder() for name in [
        "read_field", "child_field", "method", "zone", "write_field", "validate_method",
        "val_zone"]} | {"repr_map": {}, "val_map": {}, "nested": CS([], []), "model": type("M", (), {})}


def full_schema(o):
    read = [
        read_entry({"type": "list", "child": {"type": "choice", "map": o["repr_map"]},
                    "child_field": o["child_field"]}, field=o["read_field"],
                   get={"type": "attrs", "attrs": [relation(model=o["model"])]}),
        read_entry({"type": "nested", "serializer": o["nested"], "many": True}, name="n"),
        read_entry({"type": "method", "method": o["method"]}, name="m"),
        read_entry({"type": "datetime", "timezone": o["zone"]}, name="d"),
    ]
    write = [
        write_entry({"type": "list", "child": {"type": "choice", "map": o["val_map"]}},
                    field=o["write_field"], validate_method=o["validate_method"]),
        write_entry({"type": "nested", "serializer": o["nested"]}, name="n"),
        write_entry({"type": "datetime", "timezone": o["val_zone"]}, name="d"),
    ]
    return read, write


def test_instance_holds_and_releases_every_schema_object():
    o = schema_objects()
    read, write = full_schema(o)
    before = {k: sys.getrefcount(v) for k, v in o.items()}
    cs = CS(read, write)
    held = {k: sys.getrefcount(v) - before[k] for k, v in o.items()}
    assert held == {k: 2 if k == "nested" else 1 for k in o}
    referents = gc.get_referents(cs)
    assert all(any(r is v for r in referents) for v in o.values())
    del cs, referents
    assert {k: sys.getrefcount(v) for k, v in o.items()} == before


@pytest.mark.parametrize("bad_write", [
    write_entry({"type": "bogus"}),
    write_entry({"type": "list", "child": {"type": "list", "child": {"type": "bogus"}}}),
    write_entry({"type": "nested", "serializer": EMPTY, "many": True, "max_length": -1}),
])
def test_failed_construction_releases_everything(bad_write):
    o = schema_objects()
    read, write = full_schema(o)
    write.append(bad_write)
    before = {k: sys.getrefcount(v) for k, v in o.items()}
    with pytest.raises((ValueError, OverflowError)):
        CS(read, write)
    assert {k: sys.getrefcount(v) for k, v in o.items()} == before


def test_cycles_through_instances_are_collected():
    field = Holder()
    field.cs = CS([read_entry(field=field)], [])
    choice = {}
    choice["cs"] = CS([read_entry({"type": "choice", "map": choice})], [])
    choice["holder"] = Holder()
    outer_field = Holder()
    inner = CS([read_entry(field=outer_field)], [])
    outer_field.cs = CS([], [write_entry({"type": "nested", "serializer": inner, "many": True})])
    assert gc.is_tracked(field.cs)
    refs = [weakref.ref(field), weakref.ref(choice["holder"]), weakref.ref(outer_field)]
    del field, choice, outer_field, inner
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_deep_plans_raise_recursion_error_and_deep_chains_are_released():
    out = run_isolated(LOAD_NATIVE + """
CS = native.CompiledSerializer
def deep(leaf, n, **extra):
    d = leaf
    for _ in range(n):
        d = {"type": "list", "child": d, **extra}
    return d
for build in [lambda: CS([{"name": "a", "field": None, "repr": deep({"type": "uuid"}, 100000, child_field=None)}], []),
              lambda: CS([], [{"name": "a", "field": None, "source_attrs": [], "val": deep({"type": "int"}, 100000)}])]:
    try:
        build()
        print("built")
    except RecursionError:
        print("RecursionError")
cs = CS([{"name": "a", "field": None, "repr": deep({"type": "uuid"}, 3000, child_field=None)}],
        [{"name": "a", "field": None, "source_attrs": [], "val": deep({"type": "int"}, 3000)}])
d = cs.describe()
print(d["read"]["a"][1] == "list[" * 3000 + "uuid" + "]" * 3000,
      d["write"]["a"][0] == "list[" * 3000 + "int" + "]" * 3000)
del cs
s = CS([], [])
for _ in range(100000):
    s = CS([{"name": "a", "field": None, "repr": {"type": "nested", "serializer": s}}], [])
del s
print("released")
""")
    assert out.split() == ["RecursionError", "RecursionError", "True", "True", "released"]
