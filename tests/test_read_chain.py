"""The native attribute chain: which route each lookup takes (relation
caches, item or attribute lookup, callables, missing objects) and when it
hands the field to the DRF field's get_attribute, or what its source raised to
the companion's source_failed hook."""

import collections
from types import SimpleNamespace

import pytest
from django.core.exceptions import ObjectDoesNotExist

from .helpers import LOAD_NATIVE, run_isolated
from .read_support import CS, attrs, ensure_configured, many, rel


@pytest.fixture(autouse=True, scope="module")
def configured():
    ensure_configured()


class Probe:
    """A field whose get_attribute answers "python" and whose default
    "source_failed", so the output shows whether the native chain decided."""

    default = None  # not DRF's empty: the hook answers with get_default()

    def get_attribute(self, instance):
        return "python"

    def get_default(self):
        return "source_failed"

    def to_representation(self, value):
        return value


class Model:
    """Stands in for a Django model instance with its relation caches."""

    def __init__(self, cache=None, prefetched=None, **values):
        self._state = SimpleNamespace(fields_cache={} if cache is None else cache)
        if prefetched is not None:
            self._prefetched_objects_cache = prefetched
        self.__dict__.update(values)

    @property
    def rel(self):
        return "accessor"

    @property
    def gone(self):
        raise Missing

    @property
    def broken(self):
        raise KeyError("broken")

    def method(self):
        return "called"

    def needs_arg(self, x):
        return x

    def fails(self):
        raise RuntimeError


class SubModel(Model):
    pass


class Missing(ObjectDoesNotExist):
    pass


def queryset(result, lookups=(), done=False):
    return SimpleNamespace(_result_cache=result, _prefetch_related_lookups=lookups,
                           _prefetch_done=done)


class Defaulting(dict):
    def __missing__(self, key):
        return "missing hook"


class ReadOnlyMapping(collections.abc.Mapping):
    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


def value_of(get, instance):
    compiled = CS([{"name": "f", "field": Probe(), "get": get, "repr": {"type": "passthrough"}}], [])
    try:
        return compiled.to_representation(instance)["f"]
    except Exception as exc:  # what the source raised, passed on as DRF does
        return type(exc).__name__


FWD = rel("forward", "rel", Model)
FWD_NULL = rel("forward", "rel", Model, null=True)
REV = rel("reverse_one", "rel", Model)
MANY = rel("many", "rel", Model, required=["pk"])
LIST = [1, 2]


@pytest.mark.parametrize("get, instance, want", [
    (attrs(), {"a": 1}, {"a": 1}),
    (attrs(FWD), Model({"rel": "cached"}), "cached"),
    (attrs(FWD), Model({"rel": None}), "accessor"),
    (attrs(FWD_NULL), Model({"rel": None}), None),
    (attrs(FWD), Model({}), "accessor"),
    (attrs(FWD), Model(cache=[("rel", "cached")]), "accessor"),
    (attrs(FWD), SubModel({"rel": "cached"}), "accessor"),
    (attrs(REV), Model({"rel": None}), "accessor"),
    (attrs(REV), Model({"rel": "cached"}), "cached"),
    (attrs(rel("reverse_one", "gone", Model)), Model({"gone": None}), None),
    (attrs(MANY), Model(pk=1, prefetched={"rel": queryset(LIST)}), LIST),
    (attrs(MANY), Model(pk=1, prefetched={"rel": queryset(LIST, ["x"], True)}), LIST),
    (attrs(MANY), Model(pk=1, prefetched={"rel": queryset(LIST, ["x"], False)}), "accessor"),
    (attrs(MANY), Model(pk=None, prefetched={"rel": queryset(LIST)}), "accessor"),
    (attrs(MANY), Model(prefetched={"rel": queryset(LIST)}), "accessor"),
    (attrs(MANY), Model(pk=1, prefetched={"rel": queryset(None)}), "accessor"),
    (attrs(MANY), Model(pk=1, prefetched={"rel": queryset(collections.UserList())}), "accessor"),
    (attrs(MANY), Model(pk=1, prefetched={}), "accessor"),
    (attrs(MANY), Model(pk=1), "accessor"),
    (attrs("a"), {"b": 1}, "python"),
    (attrs("a", "b"), {"a": {"b": 2}}, 2),
    (attrs("a", "b"), {"a": None}, "source_failed"),
    (attrs("a"), Defaulting(), "missing hook"),
    (attrs("a"), ReadOnlyMapping(a=3), 3),
    (attrs("a"), ReadOnlyMapping(), "source_failed"),
    (attrs("gone", "x"), Model(), None),
    (attrs("broken"), Model(), "source_failed"),
    (attrs("method"), Model(), "called"),
    (attrs("fails"), Model(), "RuntimeError"),
    (attrs("a"), {"a": len}, "python"),
    (many("rel"), Model(), "python"),
    (many(), Model(), "python"),
    (many("a"), {"a": collections.UserList([1])}, "python"),
    (many("a"), {"a": [1]}, [1]),
    ({"type": "star"}, "self", "self"),
    ({"type": "pk_attname", "attname": "gone", "from_dict": True}, Model(gone=None), None),
    ({"type": "pk_attname", "attname": "rel", "from_dict": True}, Model(), "accessor"),
    ({"type": "pk_attname", "attname": "nope"}, Model(), "python"),
])
def test_chain_route(get, instance, want):
    assert value_of(get, instance) == want


def test_prefetched_list_is_used_as_is():
    result = [1, 2]
    got = value_of(many(MANY), Model(pk=1, prefetched={"rel": queryset(result)}))
    assert got is result


def test_callable_attributes_are_called_once():
    seen = []

    class Instance:
        def method(self):
            seen.append("called")
            return "value"

    assert value_of(attrs("method"), Instance()) == "value"
    assert seen == ["called"]
    model = Model()
    assert value_of(attrs("needs_arg"), model) == model.needs_arg  # not simple: left as is


def test_type_cache_bound_and_resolve_callable_arguments():
    # A type recorded as "not a mapping" keeps being read by attribute after it
    # is registered as a Mapping, until 32 newer types push it out.
    out = run_isolated(LOAD_NATIVE + """
import collections.abc
from types import SimpleNamespace
class Probe:
    def get_attribute(self, instance): return "python"
seen = []
def resolve(value, name):
    seen.append(name)
    return value()
native.configure(empty=None, skip_field=KeyError, object_does_not_exist=LookupError,
                 pk_only_object=type(None), manager_class=type(None), dict_factory=dict,
                 resolve_callable=resolve, run_field=None, finish_field=None)
cs = native.CompiledSerializer([{"name": "f", "field": Probe(), "get": {"type": "attrs", "attrs": ["k"]},
                                 "repr": {"type": "passthrough"}}], [])
def lookup(cls):
    return cs.to_representation(cls())["f"]
def routes(others):
    class Target:
        k = "attribute"
        def __getitem__(self, key): return "item"
    first = lookup(Target)
    collections.abc.Mapping.register(Target)
    for i in range(others):
        lookup(type("T%d" % i, (), {"k": 0}))
    return first, lookup(Target)
print(routes(31), routes(32))
cs = native.CompiledSerializer([{"name": "f", "field": Probe(), "repr": {"type": "passthrough"},
                                 "get": {"type": "attrs", "attrs": ["a", "b"]}}], [])
print(cs.to_representation({"a": lambda: {"b": lambda: 5}}), seen)
""")
    assert out.split("\n")[:2] == ["('attribute', 'attribute') ('attribute', 'item')",
                                   "{'f': 5} ['a', 'b']"]
