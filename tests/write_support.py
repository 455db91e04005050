"""Support for the write-path tests: a privately configured copy of the
extension, hooks that do what DRF's Serializer.to_internal_value does for one
field, a small schema builder for DRF fields, and exact comparisons.

configure() is once per process and the package may configure the shared
module on import, with hooks these tests cannot swap. So the tests load their
own copy of the shared library (a copied file is a separate load with its own
process-wide state) and configure it with hooks that delegate to `HOOKS`,
which a test may replace for its duration.
"""

import atexit
import collections
import datetime
import decimal
import importlib.machinery
import importlib.util
import math
import shutil
import tempfile
import uuid

from django.core import validators
from django.core.exceptions import ObjectDoesNotExist
from django.core.exceptions import ValidationError as DjangoValidationError
from rest_framework import fields as drf_fields
from rest_framework import serializers
from rest_framework.exceptions import ValidationError
from rest_framework.fields import SkipField, empty, get_error_detail
from rest_framework.validators import ProhibitSurrogateCharactersValidator

import quorvel_core



def _load_private_copy():
    source = quorvel_core._quorvel_core.__file__
    folder = tempfile.mkdtemp(prefix="quorvel-write-")
    atexit.register(shutil.rmtree, folder, True)
    path = shutil.copy(source, folder)
    loader = importlib.machinery.ExtensionFileLoader("_quorvel_core", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("_quorvel_core", loader))
    loader.exec_module(module)
    return module


def drf_run_field(field, data, validate_method):
    """One iteration of DRF's Serializer.to_internal_value loop."""
    try:
        value = field.run_validation(field.get_value(data))
        if validate_method is not None:
            value = validate_method(value)
    except ValidationError as exc:
        return ERROR, exc.detail
    except DjangoValidationError as exc:
        return ERROR, get_error_detail(exc)
    except SkipField:
        return SKIP, None
    return OK, value


def drf_finish_field(field, value, validate_method, run_validators):
    """The rest of DRF's run_validation after to_internal_value succeeded."""
    try:
        if run_validators:
            field.run_validators(value)
        if validate_method is not None:
            value = validate_method(value)
    except ValidationError as exc:
        return ERROR, exc.detail
    except DjangoValidationError as exc:
        return ERROR, get_error_detail(exc)
    return OK, value


class Hooks:
    """The configured hooks; they record each call and delegate."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.run_field = drf_run_field
        self.finish_field = drf_finish_field
        self.calls = []
        self.record = True

    def names(self, hook):
        """Field names passed to `hook` ("run" or "finish"), in call order."""
        return [field.field_name for kind, field, *_ in self.calls if kind == hook]


HOOKS = Hooks()
OK, SKIP, ERROR = 0, 1, 2  # the module's STATUS_OK, STATUS_SKIP, STATUS_ERROR


def _run_field(field, data, validate_method):
    if HOOKS.record:
        HOOKS.calls.append(("run", field, data, validate_method))
    return HOOKS.run_field(field, data, validate_method)


def _finish_field(field, value, validate_method, run_validators):
    if HOOKS.record:
        HOOKS.calls.append(("finish", field, value, validate_method, run_validators))
    return HOOKS.finish_field(field, value, validate_method, run_validators)


class _PkOnly:
    pass


class _Manager:
    pass


def configured_copy(dict_factory):
    """A new private copy of the extension, configured with the recording hooks."""
    module = _load_private_copy()
    module.configure(
        empty=empty, skip_field=SkipField, object_does_not_exist=ObjectDoesNotExist,
        pk_only_object=_PkOnly, manager_class=_Manager, dict_factory=dict_factory,
        resolve_callable=lambda value, name: value, run_field=_run_field,
        finish_field=_finish_field,
    )
    return module


native = configured_copy(dict)
CS = native.CompiledSerializer
assert (OK, SKIP, ERROR) == (native.STATUS_OK, native.STATUS_SKIP, native.STATUS_ERROR)


# ---------------------------------------------------------------------------
# Schemas for DRF fields (the kinds these tests use).

def val_for(field):
    """The "val" schema of a DRF field; "python" where there is no native kind."""
    if isinstance(field, serializers.ListSerializer):
        if not plain_serializer(field.child):
            return {"type": "python"}
        return {"type": "nested", "many": True, "serializer": compile_serializer(field.child),
                "allow_empty": field.allow_empty, "max_length": field.max_length,
                "min_length": field.min_length}
    if isinstance(field, serializers.Serializer):
        if not plain_serializer(field):
            return {"type": "python"}
        return {"type": "nested", "serializer": compile_serializer(field)}
    kind = type(field)
    if kind in (drf_fields.CharField, drf_fields.EmailField):
        return {"type": "char", "allow_blank": field.allow_blank,
                "trim_whitespace": field.trim_whitespace, "max_length": field.max_length,
                "min_length": field.min_length, "email": kind is drf_fields.EmailField}
    if kind is drf_fields.IntegerField:
        return {"type": "int", "max_value": field.max_value, "min_value": field.min_value}
    if kind is drf_fields.FloatField:
        return {"type": "float", "max_value": field.max_value, "min_value": field.min_value}
    if kind is drf_fields.BooleanField:
        return {"type": "bool", "allow_null": field.allow_null}
    if kind is drf_fields.DecimalField:
        return {"type": "decimal", "max_digits": field.max_digits,
                "decimal_places": field.decimal_places}
    if kind is drf_fields.DateField:
        return {"type": "date"}
    if kind is drf_fields.DateTimeField:
        if hasattr(field, "timezone"):
            return {"type": "datetime", "timezone": field.timezone}
        return {"type": "datetime", "use_tz": field.default_timezone() is not None}
    if kind is drf_fields.UUIDField:
        return {"type": "uuid"}
    if kind is drf_fields.ChoiceField:
        return {"type": "choice", "map": field.choice_strings_to_values,
                "allow_blank": field.allow_blank}
    if kind is drf_fields.ListField:
        child = val_for(field.child)
        if python_validators(field.child, child):
            return {"type": "python"}  # the child's own validators run only in DRF
        return {"type": "list", "child": child,
                "child_allow_null": field.child.allow_null, "allow_empty": field.allow_empty,
                "max_length": field.max_length, "min_length": field.min_length}
    return {"type": "python"}


def plain_serializer(serializer):
    """True when the nested loop is all DRF would do: no validate(), no validators."""
    return (type(serializer).validate is serializers.Serializer.validate
            and not serializer.validators)


# Validators whose checks the native kinds make themselves.
NATIVE_CHECKS = {
    "char": (validators.MaxLengthValidator, validators.MinLengthValidator,
             validators.ProhibitNullCharactersValidator, ProhibitSurrogateCharactersValidator,
             validators.EmailValidator),
    "list": (validators.MaxLengthValidator, validators.MinLengthValidator),
    "int": (validators.MaxValueValidator, validators.MinValueValidator),
    "float": (validators.MaxValueValidator, validators.MinValueValidator),
}


def python_validators(field, val):
    natively = NATIVE_CHECKS.get(val["type"], ())
    return any(type(v) not in natively for v in field.validators)


def write_entry(serializer, name):
    field = serializer.fields[name]
    val = val_for(field)
    return {"name": name, "field": field, "source_attrs": list(field.source_attrs),
            "validate_method": getattr(serializer, "validate_" + name, None),
            "allow_null": field.allow_null, "python_validators": python_validators(field, val),
            "val": val}


def compile_serializer(serializer):
    """A CompiledSerializer (of the private copy) for the writable fields."""
    names = [f.field_name for f in serializer._writable_fields]
    return CS([], [write_entry(serializer, name) for name in names])


def one_field_serializer(field, validate=None):
    """A bound serializer instance with `field` as its only field "f"."""
    attrs = {"f": field}
    if validate is not None:
        attrs["validate_f"] = lambda self, value: validate(value)
    return type("One", (serializers.Serializer,), attrs)()


def drf_result(serializer, data):
    """(validated, errors) from DRF's own Serializer.to_internal_value."""
    try:
        return serializer.to_internal_value(data), None
    except ValidationError as exc:
        return None, exc.detail


def native_result(serializer, data, current_tz=None):
    validated, errors = compile_serializer(serializer).to_internal_value(data, current_tz)
    return (None, errors) if errors is not None else (validated, None)


def companion_result(serializer, data, current_tz=None):
    """The same through the package: its schema, its hooks, the shared module."""
    compiled = quorvel_core.compile_serializer(serializer, read=False)
    validated, errors = compiled.to_internal_value(data, current_tz)
    return (None, errors) if errors is not None else (validated, None)


# ---------------------------------------------------------------------------
# Exact comparison: equal values of identical types, all the way down.

def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, (dict, collections.abc.Mapping)):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, decimal.Decimal):
        return a.as_tuple() == b.as_tuple()
    if isinstance(a, float):
        return (a == b and math.copysign(1, a) == math.copysign(1, b)) or (a != a and b != b)
    if isinstance(a, datetime.datetime):
        return a == b and a.tzinfo == b.tzinfo and a.utcoffset() == b.utcoffset() and a.fold == b.fold
    if isinstance(a, uuid.UUID):
        return a == b and a.is_safe == b.is_safe
    if isinstance(a, drf_fields.ErrorDetail):
        return str(a) == str(b) and a.code == b.code
    return a == b
