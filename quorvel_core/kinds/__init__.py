"""Representation ("repr") and validator ("val") kinds of single fields.

A field class gets a native kind only when the DRF methods that kind stands in
for are the ones the class runs: the kind is looked up by the identity of the
class's `to_representation` / `to_internal_value`, and the helper methods and
class settings those methods rely on must be DRF's own too. So a subclass that
overrides nothing relevant keeps the native kind, and one that overrides a
method gets the python form for that side only.

This module holds that decision and the tables it reads. The builders of the
plans live in one module per kind, beside the DRF field classes they handle:
`text` (CharField), `numbers` (IntegerField, BigIntegerField, FloatField),
`boolean`, `decimal`, `temporal` (date, time, datetime, duration), `uuid`,
`choice`, `containers` (ListField, DictField, JSONField), `nested`
(serializers as fields), `relations` (ManyRelatedField) and `read_only`
(ReadOnlyField, SerializerMethodField, ModelField); `bounds` has the length
and value checks several of them share.
"""

import weakref
from types import FunctionType
from typing import Final

from rest_framework import fields as drf_fields
from rest_framework import relations as drf_relations
from rest_framework import serializers as drf_serializers

from ..schema_keys import PythonKind, ReprKind, ValKind
from ..snapshot import kept

PYTHON: Final = "python"


def python_kind() -> PythonKind:
    """The kind, on either side, of what DRF's own code runs."""
    return {"type": PYTHON}


def inherits(cls, base, names):
    """True when `cls` runs `base`'s own attribute for every name."""
    return all(class_attribute(cls, name) is class_attribute(base, name) for name in names)


_serializers = None


def _stand_ins():
    """quorvel_core.serializers, which defines the accelerated stand-ins for
    DRF's serializer methods and lists them (`STAND_INS`, `TRANSPARENT`). It
    imports this package (through plans and schema), so it is not imported
    at the top; the package loads it, so it is complete by the time a class
    is looked at."""
    global _serializers
    if _serializers is None:
        from .. import serializers

        _serializers = serializers
    return _serializers


def class_attribute(cls, name):
    """`getattr(cls, name, None)`, with the stand-ins seen through: one that
    install() puts on a DRF class counts as the DRF function it replaces, and
    a mixin's method counts as whatever the class runs after the mixin."""
    stand_ins = _stand_ins()
    transparent, replaced = stand_ins.TRANSPARENT, stand_ins.STAND_INS
    value = getattr(cls, name, None)
    while type(value) is FunctionType and value in transparent:
        owner = next((klass for klass in cls.__mro__ if vars(klass).get(name) is value), None)
        if owner is None:
            return None
        value = getattr(super(owner, cls), name, None)
    if type(value) is FunctionType:
        return replaced.get(value, value)
    return value


def repr_plan(field, nested) -> ReprKind:
    """The "repr" plan of a field. `nested(serializer, read=...)` compiles a
    nested serializer's side, or returns None when it cannot be compiled."""
    builder = _class_kinds(type(field))[0]
    plan = builder(field, nested) if builder is not None else None
    return plan if plan is not None else python_kind()


def val_plan(field, nested) -> tuple[ValKind, bool]:
    """(val plan, python_validators) of a writable field."""
    builder = _class_kinds(type(field))[1]
    result = builder(field, nested) if builder is not None else None
    return result if result is not None else (python_kind(), False)


# The kind modules are imported once the names above exist: the container
# kinds plan their child through repr_plan / val_plan and the nested kinds
# test their classes with inherits, importing them from this package.
from .boolean import _repr_bool, _val_bool  # noqa: E402
from .bounds import EXACT_FLOAT_INT  # noqa: E402,F401
from .choice import _repr_choice, _val_choice  # noqa: E402
from .containers import _repr_dict, _repr_json, _repr_list, _val_list  # noqa: E402
from .decimal import _repr_decimal, _val_decimal  # noqa: E402
from .nested import (  # noqa: E402,F401
    _repr_nested, _repr_nested_many, _val_nested, _val_nested_many, nested_write_ok,
)
from .numbers import (  # noqa: E402,F401
    BIG_INTEGER_FIELD, INT64_MAX, INT64_MIN, _repr_bigint, _repr_float, _repr_int, _val_float,
    _val_int,
)
from .read_only import _repr_method, _repr_model_attr, _repr_passthrough  # noqa: E402
from .relations import _repr_pk_many  # noqa: E402
from .temporal import (  # noqa: E402,F401
    DURATION_FORMATS, _repr_date, _repr_datetime, _repr_duration, _repr_time, _val_date,
    _val_datetime, datetime_zone,
)
from .text import _repr_str, _val_char  # noqa: E402
from .uuid import _repr_uuid, _val_uuid  # noqa: E402


def _by_method(name, rows):
    """{base.<name>: (base, helpers, builder)} of (base, helpers, builder) rows:
    a kind is looked up by the DRF method the class runs."""
    return {getattr(base, name): (base, helpers, builder) for base, helpers, builder in rows}


# --- Representation --------------------------------------------------------

# DRF's to_representation of each class -> (the class, helpers it relies on, plan builder)
_REPR_KINDS = _by_method("to_representation", [
    (drf_fields.CharField, (), _repr_str),
    (drf_relations.StringRelatedField, (), _repr_str),
    (drf_fields.IntegerField, (), _repr_int),
    (drf_fields.FloatField, (), _repr_float),
    (drf_fields.BooleanField, ("_lower_if_str",), _repr_bool),
    (drf_fields.DecimalField, ("quantize",), _repr_decimal),
    (drf_fields.DateField, (), _repr_date),
    (drf_fields.DateTimeField, ("enforce_timezone", "default_timezone"), _repr_datetime),
    (drf_fields.TimeField, (), _repr_time),
    (drf_fields.DurationField, (), _repr_duration),
    (drf_fields.UUIDField, (), _repr_uuid),
    (drf_fields.ChoiceField, (), _repr_choice),
    (drf_fields.ListField, (), _repr_list),
    (drf_fields.DictField, (), _repr_dict),
    (drf_fields.JSONField, (), _repr_json),
    (drf_fields.ReadOnlyField, (), _repr_passthrough),
    (drf_fields._UnvalidatedField, (), _repr_passthrough),
    (drf_fields.SerializerMethodField, (), _repr_method),
    (drf_fields.ModelField, (), _repr_model_attr),
    (drf_relations.ManyRelatedField, (), _repr_pk_many),
    (drf_serializers.Serializer, ("_readable_fields",), _repr_nested),
    (drf_serializers.ListSerializer, (), _repr_nested_many),
])
if BIG_INTEGER_FIELD is not None:
    _REPR_KINDS[BIG_INTEGER_FIELD.to_representation] = (BIG_INTEGER_FIELD, (), _repr_bigint)


# --- Validation --------------------------------------------------------------

_PLAIN_EMPTY = ("run_validation", "validate_empty_values")

# DRF's to_internal_value of each class -> (the class, helpers and settings it
# relies on, plan builder)
_VAL_KINDS = _by_method("to_internal_value", [
    (drf_fields.CharField, ("run_validation", "validate_empty_values"), _val_char),
    (drf_fields.IntegerField, _PLAIN_EMPTY + ("re_decimal",), _val_int),
    (drf_fields.FloatField, _PLAIN_EMPTY, _val_float),
    (drf_fields.BooleanField, _PLAIN_EMPTY + ("_lower_if_str",), _val_bool),
    (drf_fields.DecimalField, ("run_validation", "validate_empty_values", "validate_precision",
                               "quantize"), _val_decimal),
    (drf_fields.DateField, _PLAIN_EMPTY, _val_date),
    (drf_fields.DateTimeField, _PLAIN_EMPTY + ("enforce_timezone", "default_timezone"),
     _val_datetime),
    (drf_fields.UUIDField, _PLAIN_EMPTY, _val_uuid),
    (drf_fields.ChoiceField, _PLAIN_EMPTY, _val_choice),
    (drf_fields.ListField, _PLAIN_EMPTY + ("run_child_validation",), _val_list),
    (drf_serializers.Serializer, (), _val_nested),
    (drf_serializers.ListSerializer, (), _val_nested_many),
])

# The DRF implementations of get_value that, for a plain dict holding the
# field's key, return exactly `data[field_name]`.
PLAIN_GET_VALUES = {
    drf_fields.Field.get_value, drf_fields.ListField.get_value, drf_fields.DictField.get_value,
    drf_fields.MultipleChoiceField.get_value, drf_fields.JSONField.get_value,
    drf_relations.ManyRelatedField.get_value,
    drf_serializers.Serializer.get_value, drf_serializers.ListSerializer.get_value,
}


# --- Per-class decisions -------------------------------------------------------

# Decided once per field class, and again when the class or a base changes.
_kinds_by_class = weakref.WeakKeyDictionary()


def _class_kinds(cls):
    """(repr builder, val builder) of a field class; None where the class runs
    code of its own that no native kind reproduces."""
    return kept(_kinds_by_class, cls, lambda recorder: _decide_kinds(cls, recorder))


def _decide_kinds(cls, recorder):
    recorder.add_class(cls)
    return (_builder(_REPR_KINDS.get(class_attribute(cls, "to_representation")), cls),
            _builder(_VAL_KINDS.get(class_attribute(cls, "to_internal_value")), cls)
            if class_attribute(cls, "get_value") in PLAIN_GET_VALUES else None)


def _builder(entry, cls):
    if entry is None:
        return None
    base, helpers, builder = entry
    return builder if inherits(cls, base, helpers) else None
