"""Compiles live DRF serializers into the native module's schema.

`Walk` is the one way the entries (see quorvel_core.schema_keys) are built
and compiled: `build_schema` and `compile_serializer` walk one serializer
instance for that instance; quorvel_core.plans walks a probe instance with
`shared=True` for the plans that every instance of its class shares.
"""

import functools
import weakref

from django.conf import settings
from django.core import validators as django_validators
from django.db import models
from django.utils import timezone
from rest_framework import fields as drf_fields
from rest_framework import relations as drf_relations
from rest_framework import serializers as drf_serializers
from rest_framework.fields import empty
from rest_framework.validators import ProhibitSurrogateCharactersValidator, UniqueValidator

from . import _quorvel_core as native
from .access import (
    MANY_RELATED, PLAIN, RELATED, WHOLE, access_kind, chain_plan, many_plan, pk_attname_plan,
)
from .kinds import (
    PLAIN_GET_VALUES, PYTHON, class_attribute, inherits, python_kind, repr_plan, val_plan,
)
from .schema_keys import ReadEntry, ReprKind, ValKind, WriteEntry
from .snapshot import kept

_READ_METHODS = ("to_representation", "_readable_fields")
_WRITE_METHODS = ("to_internal_value", "set_value", "_writable_fields")


def build_schema(serializer, *, read=True, write=True):
    """`(read_fields, write_fields)` for `CompiledSerializer`.

    A side that was not asked for is an empty list. A side that cannot be
    compiled is None: the serializer's class (or, for a `many=True` list
    serializer, the list's class or its child's) overrides a method that the
    native loop would replace, so DRF's own code must run it. A list serializer
    is compiled through its child: the child's `to_representation_many` gives
    the list's representation, and its write side validates one item.
    """
    if isinstance(serializer, drf_serializers.ListSerializer):
        list_ok = inherits(type(serializer), drf_serializers.ListSerializer,
                           ("to_representation",))
        serializer = serializer.child
    else:
        list_ok = True
    read_fields = (Walk().side(serializer, read=True) if list_ok else None) if read else []
    write_fields = Walk().side(serializer, read=False) if write else []
    return read_fields, write_fields


def compile_serializer(serializer, *, read=True, write=True):
    """A `CompiledSerializer` for one live serializer instance, or None when a
    side that was asked for cannot be compiled (see `build_schema`). Pass
    `write=False` for representation only: it halves the compile cost.

    The compiled loops give DRF's answers when called as DRF would run them:
    `to_representation(instance, current_timezone())`;
    `to_representation_many(iterable, current_timezone())` over a queryset or
    list (a related manager's `.all()`, as ListSerializer takes it);
    `to_internal_value(data, current_timezone())` for a plain `dict` only: the
    native loop reads keys directly, so HTML form data (a QueryDict, whose
    fields DRF reads through `get_value`) must stay with DRF.
    """
    read_fields, write_fields = build_schema(serializer, read=read, write=write)
    if read_fields is None or write_fields is None:
        return None
    return _construct(read_fields, write_fields)


def _construct(read_fields, write_fields):
    return native.CompiledSerializer(read_fields, write_fields)


def current_timezone():
    """The `current_tz` argument that gives DRF's answer for datetime fields
    without a zone of their own: the active zone when USE_TZ is on."""
    return timezone.get_current_timezone() if settings.USE_TZ else None


# Nested serializers deeper than this are left to DRF: no real schema nests
# this many classes, so only classes made anew at every level (which the
# cycle test below cannot recognise) reach it.
MAX_NESTING = 32


class Walk:
    """One compile of a serializer and of the serializers nested in it.

    DRF builds a nested serializer's fields only when it first reads them, one
    level for each level of data, so a serializer may nest itself, directly or
    through others, and still work at any depth. The compile walks the fields
    eagerly; a serializer whose class is already being compiled further out
    is therefore left to DRF's field, which runs that level when the data
    reaches it (and compiles it again from there where that pays). Where a
    class's fields differ from level to level, as a `get_fields` may make
    them, DRF's answer is still the one given.

    With `shared`, the entries hold none of the serializer's objects (its
    fields, bound methods, a list's child field): where Python code must run,
    the native loops take them from the serializer each call runs for, so
    the plans serve every instance that builds the same fields."""

    def __init__(self, *, shared=False):
        self.path = []  # the serializer classes being compiled, outermost first
        self.shared = shared

    def side(self, serializer, *, read):
        """The read or write entries of `serializer`, or None when its class
        overrides that side's loop."""
        self.path.append(type(serializer))
        try:
            return _read_side(serializer, self) if read else _write_side(serializer, self)
        finally:
            self.path.pop()

    def nested(self, serializer, *, read):
        """The compiled side of a nested serializer, or None: then DRF's own
        field (the current instance's) represents or validates it."""
        if type(serializer) in self.path or len(self.path) >= MAX_NESTING:
            return None
        return self.compiled_side(serializer, read=read)

    def compiled_side(self, serializer, *, read):
        """One side of `serializer` compiled, or None when its class overrides
        that side's loop."""
        entries = self.side(serializer, read=read)
        if entries is None:
            return None
        return _construct(entries, []) if read else _construct([], entries)


def _read_side(serializer, walk):
    """The read entries of a serializer, or None when its class overrides the
    read loop."""
    read_ok, _, model = _class_sides(type(serializer))
    if not read_ok:
        return None
    # The class runs DRF's _readable_fields, so this is what it yields.
    return [_read_field(field, model, walk) for field in serializer.fields.values()
            if not field.write_only]


def _write_side(serializer, walk):
    """The write entries of a serializer, or None (see _read_side)."""
    if not _class_sides(type(serializer))[1]:
        return None
    return [_write_field(serializer, field, walk) for field in serializer.fields.values()
            if not field.read_only]


# Compilation runs for every serializer instance that cannot share its class's
# plans, so what only depends on the serializer class is decided once per
# class, and decided again when the class or its Meta changes.
_sides_by_class = weakref.WeakKeyDictionary()


def _class_sides(cls):
    """(read side compiles, write side compiles, model) of a serializer class."""
    return kept(_sides_by_class, cls, lambda recorder: _decide_sides(cls, recorder))


def _decide_sides(cls, recorder):
    recorder.add_class(cls)
    meta = getattr(cls, "Meta", None)
    if isinstance(meta, type):
        recorder.add_class(meta)
    serializer = issubclass(cls, drf_serializers.Serializer)
    return (serializer and inherits(cls, drf_serializers.Serializer, _READ_METHODS),
            serializer and inherits(cls, drf_serializers.Serializer, _WRITE_METHODS),
            _model_of(cls))


def _model_of(cls):
    """The model class a ModelSerializer's instances are expected to be."""
    if not issubclass(cls, drf_serializers.ModelSerializer):
        return None
    model = getattr(getattr(cls, "Meta", None), "model", None)
    return model if isinstance(model, type) and issubclass(model, models.Model) else None


def _read_field(field, model, walk) -> ReadEntry:
    get, repr_ = _read_plans(field, model, walk.nested)
    entry: ReadEntry
    if walk.shared:
        entry = {"name": field.field_name, "repr": _without_objects(repr_, field)}
    else:
        entry = {"name": field.field_name, "field": field, "repr": repr_}
    if get is not None:
        entry["get"] = get
    return entry


def _without_objects(repr_, field) -> ReprKind:
    """A shared plan's representation: the method by its name, and a list's
    or dict's child without its field (the loops take the current field's)."""
    if repr_["type"] == "method":
        return {"type": "method", "method_name": field.method_name}
    part = repr_
    while part["type"] in ("list", "dict"):
        part.pop("child_field", None)
        part = part["child"]
    return repr_


def _proxies(field):
    """Whether the field's class answers attribute lookups its own way (the
    recursive-field packages hand them to a serializer made on bind): what
    its class holds then says nothing about what DRF calls, so DRF's own
    code runs every part of it."""
    return type(field).__getattribute__ is not object.__getattribute__


def _read_plans(field, model, nested):
    """(get plan or None for the python form, repr plan)."""
    if _proxies(field):
        return None, python_kind()
    access = access_kind(type(field))
    source_attrs = field.source_attrs
    if access == RELATED and source_attrs and field.use_pk_only_optimization():
        # DRF hands the field a placeholder that carries only the primary key.
        # Natively that is the foreign key's column, which only the field's own
        # to_representation (returning `.pk`) may receive.
        if (type(field).to_representation
                is drf_serializers.PrimaryKeyRelatedField.to_representation
                and field.pk_field is None):
            get = pk_attname_plan(source_attrs, model)
            if get is not None:
                return get, {"type": "pk"}
        return None, python_kind()
    repr_ = repr_plan(field, nested)
    if access == PLAIN or access == RELATED:
        many_last = repr_["type"] == "nested" and repr_.get("many", False)
        return chain_plan(source_attrs, model, many_last=many_last), repr_
    if access == MANY_RELATED:
        # The prefetched list stands in for the queryset DRF would hand over;
        # only DRF's own to_representation is known to just iterate it.
        if type(field).to_representation is not drf_serializers.ManyRelatedField.to_representation:
            return None, repr_
        return many_plan(source_attrs, model), repr_
    if access == WHOLE:
        return {"type": "star"}, repr_
    return None, repr_


def _write_field(serializer, field, walk) -> WriteEntry:
    name = field.field_name
    val: ValKind
    if _proxies(field):
        val, python_validators, absent_is_empty = python_kind(), False, False
    else:
        val, python_validators = val_plan(field, walk.nested)
        absent_is_empty = _absent_is_empty(field)
    entry: WriteEntry = {
        "name": name,
        "source_attrs": field.source_attrs,
        "val": val,
        "skip_when_missing": absent_is_empty and not field.required and field.default is empty,
        "skip_when_partial": absent_is_empty,
    }
    method_name = "validate_" + name
    if walk.shared:
        # The method is looked up on the serializer each call runs for.
        entry["validate_name"] = method_name
        entry["validate_on_class"] = hasattr(type(serializer), method_name)
    else:
        entry["field"] = field
        entry["validate_method"] = getattr(serializer, method_name, None)
    if val["type"] != PYTHON:
        # The native loop stores None for a nullable field without asking the
        # field; the kinds above are only given to fields whose DRF methods
        # return None for it without validators.
        entry["allow_null"] = bool(field.allow_null)
        entry["python_validators"] = python_validators
        if walk.shared and python_validators and _stand_in_runs_validators(field):
            entry["validators_stand_in"] = functools.partial(
                ValidatorsOnly, tuple(field.validators), tuple(field.source_attrs))
    return entry


# DRF's methods that, for a key absent from a plain dict, hand `empty` to
# Field.validate_empty_values without doing anything else first.
_MISSING_RUN_VALIDATIONS = {
    drf_fields.Field.run_validation, drf_fields.CharField.run_validation,
    drf_relations.RelatedField.run_validation, drf_serializers.Serializer.run_validation,
    drf_serializers.ListSerializer.run_validation,
}
_MISSING_EMPTY_VALUES = {
    drf_fields.Field.validate_empty_values, drf_fields.DecimalField.validate_empty_values,
}


def _absent_is_empty(field):
    """Whether an absent key goes straight to Field.validate_empty_values as
    `empty`: then DRF raises SkipField in a partial update, and in a full one
    for an optional field without a default, so no field object needs to be
    asked."""
    cls = type(field)
    return (class_attribute(cls, "get_value") in PLAIN_GET_VALUES
            and class_attribute(cls, "run_validation") in _MISSING_RUN_VALIDATIONS
            and class_attribute(cls, "validate_empty_values") in _MISSING_EMPTY_VALUES
            and class_attribute(cls, "get_default") is drf_fields.Field.get_default)


# Validators that keep no state between calls and read nothing of the field
# but what ValidatorsOnly has (UniqueValidator: the source and the serializer).
_STATELESS_VALIDATORS = {
    UniqueValidator, ProhibitSurrogateCharactersValidator,
    django_validators.ProhibitNullCharactersValidator, django_validators.MaxLengthValidator,
    django_validators.MinLengthValidator, django_validators.MaxValueValidator,
    django_validators.MinValueValidator, django_validators.EmailValidator,
    django_validators.DecimalValidator,
}


def _stand_in_runs_validators(field):
    cls = type(field)
    return (class_attribute(cls, "run_validators") is drf_fields.Field.run_validators
            and class_attribute(cls, "validators") is drf_fields.Field.validators
            and all(type(v) in _STATELESS_VALIDATORS for v in field.validators))


class ValidatorsOnly:
    """What DRF's Field.run_validators reads of a field whose validators are
    all DRF's and Django's own: the validators, and for a uniqueness check the
    source and the serializer (`parent`, whose `instance` is excluded). Every
    instance of a class that shares plans builds that field with equal
    validators, so the serializer's own field need not be built to run them."""

    __slots__ = ("validators", "source_attrs", "parent")

    run_validators = drf_fields.Field.run_validators

    def __init__(self, validators, source_attrs, parent):
        self.validators = validators
        self.source_attrs = source_attrs
        self.parent = parent
