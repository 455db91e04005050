"""Representation ("repr") and validator ("val") kinds of single fields.

A field class gets a native kind only when the DRF methods that kind stands in
for are the ones the class runs: the kind is looked up by the identity of the
class's `to_representation` / `to_internal_value`, and the helper methods and
class settings those methods rely on must be DRF's own too. So a subclass that
overrides nothing relevant keeps the native kind, and one that overrides a
method gets the python form for that side only.
"""

import weakref
from types import FunctionType
from typing import Final

from django.conf import settings
from django.core import validators as django_validators
from django.db import models
from rest_framework import ISO_8601
from rest_framework import fields as drf_fields
from rest_framework import relations as drf_relations
from rest_framework import serializers as drf_serializers
from rest_framework.settings import DEFAULTS, api_settings
from rest_framework.validators import ProhibitSurrogateCharactersValidator

from .schema_keys import PythonKind, ReprKind, ValKind
from .snapshot import kept

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
EXACT_FLOAT_INT = 2**53

PYTHON: Final = "python"

# Fields and settings that not every supported DRF release has (BigIntegerField,
# COERCE_BIGINT_TO_STRING and DurationField's format came with 3.17): a kind
# stands in only for what the installed release does.
BIG_INTEGER_FIELD = getattr(drf_fields, "BigIntegerField", None)
DURATION_FORMATS = "DURATION_FORMAT" in DEFAULTS


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
    imports this module (through plans and schema), so it is not imported
    at the top; the package loads it, so it is complete by the time a class
    is looked at."""
    global _serializers
    if _serializers is None:
        from . import serializers

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


def _by_method(name, rows):
    """{base.<name>: (base, helpers, builder)} of (base, helpers, builder) rows:
    a kind is looked up by the DRF method the class runs."""
    return {getattr(base, name): (base, helpers, builder) for base, helpers, builder in rows}


# --- Representation --------------------------------------------------------

def _repr_str(field, nested):
    return {"type": "str"}


def _repr_int(field, nested):
    return {"type": "int"}


def _repr_float(field, nested):
    return {"type": "float"}


def _repr_passthrough(field, nested):
    return {"type": "passthrough"}


def _repr_bigint(field, nested):
    if getattr(field, "coerce_to_string", api_settings.COERCE_BIGINT_TO_STRING):
        return None
    return {"type": "int"}


def _repr_bool(field, nested):
    values = field.TRUE_VALUES, field.FALSE_VALUES
    if True in values[0] and False not in values[0] and False in values[1]:
        return {"type": "bool"}
    return None


def _decimal_digits(field):
    """(decimal_places, max_digits) of a DecimalField that the native decimal
    kinds can stand in for on either side, or None."""
    if field.localize:
        return None
    places, digits = field.decimal_places, field.max_digits
    if not (_is_count(places) or places is None) or not (_is_count(digits) or digits is None):
        return None
    if places is not None and digits is None:
        # DRF then quantizes in the thread's decimal context, whose precision
        # can make it fail on input that the digit counts accept.
        return None
    return places, digits


def _repr_decimal(field, nested):
    counts = _decimal_digits(field)
    if counts is None or field.normalize_output:
        return None
    places, digits = counts
    coerce = getattr(field, "coerce_to_string", api_settings.COERCE_DECIMAL_TO_STRING)
    return {"type": "decimal", "decimal_places": places, "max_digits": digits,
            "coerce_to_string": bool(coerce)}


def _is_iso(output_format):
    return isinstance(output_format, str) and output_format.lower() == ISO_8601


def _repr_date(field, nested):
    if _is_iso(getattr(field, "format", api_settings.DATE_FORMAT)):
        return {"type": "date"}
    return None


def _repr_time(field, nested):
    if _is_iso(getattr(field, "format", api_settings.TIME_FORMAT)):
        return {"type": "time"}
    return None


def _repr_datetime(field, nested):
    if not _is_iso(getattr(field, "format", api_settings.DATETIME_FORMAT)):
        return None
    plan = {"type": "datetime"}
    plan.update(datetime_zone(field))
    return plan


def datetime_zone(field):
    """The time-zone rule of DateTimeField.enforce_timezone: the field's own zone,
    the zone current at the call (USE_TZ), or none."""
    if hasattr(field, "timezone"):
        zone = field.timezone
        return {"timezone": zone} if zone is not None else {"use_tz": False}
    return {"use_tz": bool(settings.USE_TZ)}


def _repr_duration(field, nested):
    # Without a format DRF returns the timedelta itself; unlike the date kinds
    # there is no test of the value's truth first. A release without formats
    # always writes Django's text, which stays with DRF.
    if DURATION_FORMATS and getattr(field, "format", api_settings.DURATION_FORMAT) is None:
        return {"type": "passthrough"}
    return None


def _repr_uuid(field, nested):
    return {"type": "uuid"} if field.uuid_format == "hex_verbose" else None


def _repr_choice(field, nested):
    choices = field.choice_strings_to_values
    return {"type": "choice", "map": choices} if isinstance(choices, dict) else None


def _repr_list(field, nested):
    return {"type": "list", "child": repr_plan(field.child, nested), "child_field": field.child}


def _repr_dict(field, nested):
    return {"type": "dict", "child": repr_plan(field.child, nested), "child_field": field.child}


def _repr_json(field, nested):
    return None if field.binary else {"type": "passthrough"}


def _repr_method(field, nested):
    try:
        method = getattr(field.parent, field.method_name)
    except AttributeError:
        return None  # DRF reports it when the field is represented
    return {"type": "method", "method": method}


def _repr_model_attr(field, nested):
    model_field = field.model_field
    if type(model_field).value_from_object is not models.Field.value_from_object:
        return None
    attname = getattr(model_field, "attname", None)
    return {"type": "model_attr", "attname": attname} if isinstance(attname, str) else None


def _repr_pk_many(field, nested):
    child = field.child_relation
    if type(child).to_representation is drf_relations.PrimaryKeyRelatedField.to_representation \
            and child.pk_field is None:
        return {"type": "pk_many"}
    return None


def _repr_nested(field, nested):
    compiled = nested(field, read=True)
    return None if compiled is None else {"type": "nested", "serializer": compiled}


def _repr_nested_many(field, nested):
    compiled = nested(field.child, read=True)
    return None if compiled is None else {"type": "nested", "serializer": compiled, "many": True}


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


def repr_plan(field, nested) -> ReprKind:
    """The "repr" plan of a field. `nested(serializer, read=...)` compiles a
    nested serializer's side, or returns None when it cannot be compiled."""
    builder = _class_kinds(type(field))[0]
    plan = builder(field, nested) if builder is not None else None
    return plan if plan is not None else python_kind()


# --- Validation --------------------------------------------------------------

def _covered_lengths(validator, lo, hi):
    kind = type(validator)
    limit = getattr(validator, "limit_value", None)
    if type(limit) is not int:
        return False
    if kind is django_validators.MaxLengthValidator:
        return hi is not None and hi <= limit
    if kind is django_validators.MinLengthValidator:
        return lo is not None and lo >= limit
    return False


def _covered_values(validator, lo, hi):
    # The native bounds are exact, and Python compares ints and floats exactly,
    # so a validator is implied by a native bound at least as strict.
    kind = type(validator)
    limit = getattr(validator, "limit_value", None)
    if type(limit) is not int and type(limit) is not float:
        return False
    if kind is django_validators.MaxValueValidator:
        return hi is not None and hi <= limit
    if kind is django_validators.MinValueValidator:
        return lo is not None and lo >= limit
    return False


def _exact_number(value):
    return type(value) is float or (type(value) is int and abs(value) <= EXACT_FLOAT_INT)


def _is_count(value):
    return type(value) is int and value >= 0


def _count_or_none(value):
    return value if _is_count(value) else None


def _uncovered(field, covered):
    """True when the field's validators hold something the native kind does
    not check itself, so Python must run them on the native value."""
    if type(field).run_validators is not drf_fields.Field.run_validators:
        return True
    return any(not covered(v) for v in field.validators)


def _val_char(field, nested):
    lo, hi = _count_or_none(field.min_length), _count_or_none(field.max_length)
    email = False

    def covered(v):
        nonlocal email
        kind = type(v)
        if kind is django_validators.ProhibitNullCharactersValidator \
                or kind is ProhibitSurrogateCharactersValidator:
            return True
        if kind is django_validators.EmailValidator:
            email = True
            return True
        return _covered_lengths(v, lo, hi)

    python_validators = _uncovered(field, covered)
    plan = {"type": "char", "allow_blank": bool(field.allow_blank),
            "trim_whitespace": bool(field.trim_whitespace), "email": email,
            "max_length": hi, "min_length": lo}
    return plan, python_validators


def _int_bound(value):
    return value if type(value) is int and INT64_MIN <= value <= INT64_MAX else None


def _val_int(field, nested):
    if field.MAX_STRING_LENGTH != drf_fields.IntegerField.MAX_STRING_LENGTH:
        return None
    lo, hi = _int_bound(field.min_value), _int_bound(field.max_value)
    plan = {"type": "int", "max_value": hi, "min_value": lo}
    return plan, _uncovered(field, lambda v: _covered_values(v, lo, hi))


def _val_float(field, nested):
    lo, hi = field.min_value, field.max_value
    # DRF compares the float with the bound object exactly; a double can stand
    # in for that comparison only when the bound converts to one exactly.
    if (lo is not None and not _exact_number(lo)) or (hi is not None and not _exact_number(hi)):
        return None
    plan = {"type": "float", "max_value": hi, "min_value": lo}
    return plan, _uncovered(field, lambda v: _covered_values(v, lo, hi))


def _val_bool(field, nested):
    defaults = drf_fields.BooleanField
    if (field.TRUE_VALUES != defaults.TRUE_VALUES or field.FALSE_VALUES != defaults.FALSE_VALUES
            or field.NULL_VALUES != defaults.NULL_VALUES):
        return None
    return {"type": "bool", "allow_null": bool(field.allow_null)}, _uncovered(field, _none)


def _val_decimal(field, nested):
    counts = _decimal_digits(field)
    if counts is None or field.MAX_STRING_LENGTH != drf_fields.DecimalField.MAX_STRING_LENGTH:
        return None
    places, digits = counts
    plan = {"type": "decimal", "max_digits": digits, "decimal_places": places}
    return plan, _uncovered(field, _none)


def _iso_only(formats):
    return isinstance(formats, (list, tuple)) and len(formats) > 0 and all(map(_is_iso, formats))


def _val_date(field, nested):
    if not _iso_only(getattr(field, "input_formats", api_settings.DATE_INPUT_FORMATS)):
        return None
    return {"type": "date"}, _uncovered(field, _none)


def _val_datetime(field, nested):
    if not _iso_only(getattr(field, "input_formats", api_settings.DATETIME_INPUT_FORMATS)):
        return None
    plan = {"type": "datetime"}
    plan.update(datetime_zone(field))
    return plan, _uncovered(field, _none)


def _val_uuid(field, nested):
    return {"type": "uuid"}, _uncovered(field, _none)


def _val_choice(field, nested):
    choices = field.choice_strings_to_values
    if not isinstance(choices, dict):
        return None
    plan = {"type": "choice", "map": choices, "allow_blank": bool(field.allow_blank)}
    return plan, _uncovered(field, _none)


def _val_list(field, nested):
    child = field.child
    child_val, child_python = val_plan(child, nested)
    # The native list runs the child's kind on each item and nothing else.
    if child_val["type"] == PYTHON or child_python:
        return None
    lo, hi = _count_or_none(field.min_length), _count_or_none(field.max_length)
    plan = {"type": "list", "child": child_val, "child_allow_null": bool(child.allow_null),
            "allow_empty": bool(field.allow_empty), "max_length": hi, "min_length": lo}
    return plan, _uncovered(field, lambda v: _covered_lengths(v, lo, hi))


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


def _none(validator):
    return False


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


def val_plan(field, nested) -> tuple[ValKind, bool]:
    """(val plan, python_validators) of a writable field."""
    builder = _class_kinds(type(field))[1]
    result = builder(field, nested) if builder is not None else None
    return result if result is not None else (python_kind(), False)


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
