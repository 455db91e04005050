"""Schema entries for the compiler's tests, and the schemas it must refuse
with the exception and message each one raises (shared by the compile and the
leak tests)."""

from quorvel_core import _quorvel_core as native

CS = native.CompiledSerializer
EMPTY = CS([], [])


class Holder:
    """A weak-referenceable stand-in for a DRF field object."""


def read_entry(repr_schema=None, get=None, name="f", field=None):
    entry = {"name": name, "field": field,
             "repr": {"type": "python"} if repr_schema is None else repr_schema}
    if get is not None:
        entry["get"] = get
    return entry


def write_entry(val=None, name="w", field=None, **extra):
    return {"name": name, "field": field, "source_attrs": [name],
            "val": {"type": "python"} if val is None else val, **extra}


def relation(kind="forward", **extra):
    return {"kind": kind, "cache_name": "c", "name": "n", "model": Holder, **extra}


E_STR = "'int' object is not an instance of 'str'"
E_DICT_LIST = "'list' object is not an instance of 'dict'"


SCHEMA_ERRORS = [
    # entries and their outer keys
    ([1], [], TypeError, "'int' object is not an instance of 'dict'"),
    ([{}], [], KeyError, "\"schema is missing 'name'\""),
    ([{"name": None}], [], TypeError, "'None' is not an instance of 'str'"),
    ([{"name": "a"}], [], KeyError, "\"schema is missing 'repr'\""),
    ([{"name": "a", "field": None}], [], KeyError, "\"schema is missing 'repr'\""),
    ([read_entry() | {"get": []}], [], TypeError, E_DICT_LIST),
    ([read_entry() | {"repr": None}], [], TypeError, "'None' is not an instance of 'dict'"),
    ([], [{"name": "a", "field": None}], KeyError, "\"schema is missing 'source_attrs'\""),
    ([], [write_entry() | {"source_attrs": "ab"}], TypeError,
     "'str' object is not an instance of 'list'"),
    ([], [write_entry() | {"source_attrs": ["a", 1]}], TypeError, E_STR),
    ([], [write_entry() | {"val": []}], TypeError, E_DICT_LIST),
    ([], [{"name": "a", "field": None, "source_attrs": []}], KeyError,
     "\"schema is missing 'val'\""),
    # read entries are compiled before write entries
    ([1], [2], TypeError, "'int' object is not an instance of 'dict'"),
    ([read_entry({"type": "bogus"})], [write_entry({"type": "bogus"})], ValueError,
     "unknown repr type 'bogus'"),
    # get
    ([read_entry(get={})], [], KeyError, "\"schema is missing 'type'\""),
    ([read_entry(get={"type": 1})], [], TypeError, E_STR),
    ([read_entry(get={"type": "Attrs"})], [], ValueError, "unknown get type 'Attrs'"),
    ([read_entry(get={"type": "star\0"})], [], ValueError, "unknown get type 'star\0'"),
    ([read_entry(get={"type": "attrs"})], [], KeyError, "\"schema is missing 'attrs'\""),
    ([read_entry(get={"type": "many", "attrs": ("a",)})], [], TypeError,
     "'tuple' object is not an instance of 'list'"),
    ([read_entry(get={"type": "attrs", "attrs": ["a", 5]})], [], TypeError, E_STR),
    ([read_entry(get={"type": "pk_attname"})], [], KeyError, "\"schema is missing 'attname'\""),
    ([read_entry(get={"type": "pk_attname", "attname": 1})], [], TypeError, E_STR),
    # relation steps report the first bad key in reading order
    ([read_entry(get={"type": "attrs", "attrs": [{}]})], [], KeyError,
     "\"schema is missing 'kind'\""),
    ([read_entry(get={"type": "attrs", "attrs": [{"kind": 1}]})], [], TypeError, E_STR),
    ([read_entry(get={"type": "attrs", "attrs": [{"kind": "odd"}]})], [], KeyError,
     "\"schema is missing 'cache_name'\""),
    ([read_entry(get={"type": "attrs", "attrs": [{"kind": "odd", "cache_name": "c"}]})], [],
     ValueError, "unknown relation kind 'odd'"),
    ([read_entry(get={"type": "attrs", "attrs": [relation("many")]})], [], KeyError,
     "\"schema is missing 'required'\""),
    ([read_entry(get={"type": "attrs", "attrs": [relation(cache_name=1)]})], [], TypeError, E_STR),
    ([read_entry(get={"type": "attrs", "attrs": [relation(name=None)]})], [], TypeError,
     "'None' is not an instance of 'str'"),
    ([read_entry(get={"type": "attrs", "attrs": [relation(model="Holder")]})], [], TypeError,
     "'str' object is not an instance of 'type'"),
    # repr
    ([read_entry({})], [], KeyError, "\"schema is missing 'type'\""),
    ([read_entry({"type": None})], [], TypeError, "'None' is not an instance of 'str'"),
    ([read_entry({"type": "nested_many", "serializer": EMPTY})], [], ValueError,
     "unknown repr type 'nested_many'"),
    ([read_entry({"type": "Str"})], [], ValueError, "unknown repr type 'Str'"),
    ([read_entry({"type": "choice"})], [], KeyError, "\"schema is missing 'map'\""),
    ([read_entry({"type": "choice", "map": []})], [], TypeError, E_DICT_LIST),
    ([read_entry({"type": "list", "child_field": None})], [], KeyError,
     "\"schema is missing 'child'\""),
    ([read_entry({"type": "dict", "child": []})], [], TypeError, E_DICT_LIST),
    ([read_entry({"type": "list", "child": {"type": "x"}})], [], ValueError,
     "unknown repr type 'x'"),
    ([read_entry({"type": "nested"})], [], KeyError, "\"schema is missing 'serializer'\""),
    ([read_entry({"type": "nested", "serializer": {}})], [], TypeError,
     "'dict' object is not an instance of 'CompiledSerializer'"),
    ([read_entry({"type": "method"})], [], KeyError, "\"schema is missing 'method'\""),
    ([read_entry({"type": "model_attr", "attname": b"id"})], [], TypeError,
     "'bytes' object is not an instance of 'str'"),
    ([read_entry({"type": "decimal", "max_digits": -1})], [], OverflowError, None),
    ([read_entry({"type": "decimal", "decimal_places": "3"})], [], TypeError, None),
    # val
    ([], [write_entry({})], KeyError, "\"schema is missing 'type'\""),
    ([], [write_entry({"type": None})], TypeError, "'None' is not an instance of 'str'"),
    *[([], [write_entry({"type": t})], ValueError, f"unknown validator type '{t}'")
      for t in ["Char", "nested_many", "email", "", "list[int]"]],
    ([], [write_entry({"type": "int", "max_value": 2**63})], OverflowError, None),
    ([], [write_entry({"type": "int", "min_value": 3.9})], TypeError, None),
    ([], [write_entry({"type": "float", "max_value": "1"})], TypeError, None),
    ([], [write_entry({"type": "char", "max_length": -1})], OverflowError, None),
    ([], [write_entry({"type": "list", "child": {"type": "char"}, "max_length": 2**64})],
     OverflowError, None),
    ([], [write_entry({"type": "choice", "map": []})], TypeError, E_DICT_LIST),
    ([], [write_entry({"type": "choice"})], KeyError, "\"schema is missing 'map'\""),
    ([], [write_entry({"type": "list"})], KeyError, "\"schema is missing 'child'\""),
    ([], [write_entry({"type": "list", "child": {"type": "int", "max_value": "x"}})], TypeError,
     None),
    ([], [write_entry({"type": "nested", "serializer": None})], TypeError,
     "'None' is not an instance of 'CompiledSerializer'"),
]
