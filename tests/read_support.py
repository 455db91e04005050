"""Shared pieces of the read-path tests: the configuration, schema builders
and a strict comparison (equal values, equal types, equal key order)."""

import decimal
import math

from django.core.exceptions import ObjectDoesNotExist
from django.db.models.manager import BaseManager
from rest_framework import fields, relations

import quorvel_core  # noqa: F401  (the companion package may configure on import)
from quorvel_core import _quorvel_core as native

CS = native.CompiledSerializer


def resolve_callable(value, name):
    """What DRF's get_attribute does with a callable attribute."""
    return value() if fields.is_simple_callable(value) else value


def _refuse(*args):
    raise AssertionError("the read path never calls the write hooks")


def ensure_configured():
    """Configures the module with DRF's and Django's classes unless the
    companion package already did (configure() is once per process)."""
    if not native.is_configured():
        native.configure(
            empty=fields.empty, skip_field=fields.SkipField,
            object_does_not_exist=ObjectDoesNotExist, pk_only_object=relations.PKOnlyObject,
            manager_class=BaseManager, dict_factory=dict, resolve_callable=resolve_callable,
            run_field=_refuse, finish_field=_refuse)


def attrs(*steps):
    return {"type": "attrs", "attrs": list(steps)}


def many(*steps):
    return {"type": "many", "attrs": list(steps)}


def rel(kind, name, model, cache_name=None, **extra):
    return {"kind": kind, "cache_name": cache_name or name, "name": name, "model": model, **extra}


def compile_read(serializer, plans):
    """A CompiledSerializer over the readable fields of a bound DRF serializer;
    `plans` maps field names to (get, repr) schemas, others use the python form
    for both."""
    entries = []
    for field in serializer._readable_fields:
        get, rep = plans.get(field.field_name, (None, {"type": "python"}))
        entries.append({"name": field.field_name, "field": field, "get": get, "repr": rep})
    return CS(entries, [])


def assert_same(got, want, path="$"):
    """Equal values of identical types, dict keys in the same order."""
    assert type(got) is type(want), f"{path}: {type(got).__name__} != {type(want).__name__}"
    if isinstance(want, dict):
        assert list(got) == list(want), f"{path}: keys {list(got)} != {list(want)}"
        for key in want:
            assert_same(got[key], want[key], f"{path}.{key}")
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{path}[{i}]")
    elif isinstance(want, decimal.Decimal) and want.is_nan():
        assert str(got) == str(want), f"{path}: {got!r} != {want!r}"
    elif isinstance(want, float) and math.isnan(want):
        assert math.isnan(got), f"{path}: {got!r} is not NaN"
    else:
        assert got == want, f"{path}: {got!r} != {want!r}"


def outcome(call):
    """The result of `call()`, or the type and text of what it raised."""
    try:
        return "ok", call()
    except Exception as exc:  # compared, never swallowed
        return "raised", (type(exc), str(exc))
