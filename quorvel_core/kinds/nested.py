"""Nested serializers: a Serializer used as a field, and a ListSerializer
(`many=True`) of one.

A nested serializer is compiled as a serializer of its own, through the
`nested(serializer, read=...)` callback of repr_plan / val_plan, and the
plan holds the result. On the write side it stands in for DRF's
run_validation only when the class adds nothing around the field loop
(`nested_write_ok`); a list of them also checks allow_empty and the length
bounds as ListSerializer.to_internal_value does.
"""

from rest_framework import serializers as drf_serializers

from . import inherits
from .bounds import _count_or_none

_NESTED_METHODS = ("run_validation", "to_internal_value", "set_value", "validate",
                   "run_validators", "validate_empty_values", "_writable_fields")
_LIST_METHODS = ("run_validation", "to_internal_value", "run_child_validation", "validate",
                 "run_validators", "validate_empty_values")


def nested_write_ok(serializer):
    """A nested serializer's validation is only its field loop when its class
    adds nothing around that loop and it has no serializer-level validators
    (ModelSerializer's unique-together validators included)."""
    return (isinstance(serializer, drf_serializers.Serializer)
            and inherits(type(serializer), drf_serializers.Serializer, _NESTED_METHODS)
            and not serializer.validators)


def _repr_nested(field, nested):
    compiled = nested(field, read=True)
    return None if compiled is None else {"type": "nested", "serializer": compiled}


def _repr_nested_many(field, nested):
    compiled = nested(field.child, read=True)
    return None if compiled is None else {"type": "nested", "serializer": compiled, "many": True}


def _val_nested(field, nested):
    if not nested_write_ok(field):
        return None
    compiled = nested(field, read=False)
    return None if compiled is None else ({"type": "nested", "serializer": compiled}, False)


def _val_nested_many(field, nested):
    if (not inherits(type(field), drf_serializers.ListSerializer, _LIST_METHODS)
            or field.validators):
        return None
    if not nested_write_ok(field.child):
        return None
    compiled = nested(field.child, read=False)
    if compiled is None:
        return None
    plan = {"type": "nested", "serializer": compiled, "many": True,
            "allow_empty": bool(field.allow_empty),
            "max_length": _count_or_none(field.max_length),
            "min_length": _count_or_none(field.min_length)}
    return plan, False
