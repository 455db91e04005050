"""Plans compiled once per serializer class and shared by all its instances.

DRF builds a serializer's field objects for every instance (`serializer.fields`:
deep copies of the declared fields, and for a ModelSerializer the fields made
from the model), which costs far more than the compiled loops. For a class
whose fields come out the same for every instance, the plans are compiled once
and hold no object of the instance they came from: where Python code must run
(a field's own method, a hook, a SerializerMethodField, `validate_<name>`), the
loops use the current serializer's own objects, built by DRF at that moment.

"The same for every instance" is decided from what DRF's construction reads:
the serializer class (none of the methods that make the fields is overridden,
on it or on a nested serializer), the field classes (DRF's own constructors),
the declared arguments (choices given as plain data), and the settings (the
plans are dropped whenever a setting changes). An instance whose `fields` are
already built, and perhaps changed, keeps its own fields. Everything else is
compiled per instance, as before.
"""

import weakref

from django.core.signals import setting_changed
from django.db import models
from rest_framework import fields as drf_fields
from rest_framework import relations as drf_relations
from rest_framework import serializers as drf_serializers
from rest_framework.fields import empty

from . import schema
from ._quorvel_core import CompiledSerializer
from .kinds import class_attribute
from .snapshot import Recorder

__all__ = ["ClassPlans", "cached_classes", "clear", "plans_for", "reuse_reason"]

# The methods that decide which field objects an instance gets.
_BUILDING_METHODS = (
    "__new__", "__init__", "__getattr__", "__deepcopy__", "bind", "fields", "get_fields",
    "get_field_names", "get_default_field_names", "get_extra_kwargs",
    "get_uniqueness_extra_kwargs", "include_extra_kwargs", "build_field", "build_standard_field",
    "build_relational_field", "build_nested_field", "build_property_field", "build_url_field",
    "build_unknown_field", "_readable_fields", "_writable_fields",
)
_DRF_BASES = (drf_serializers.HyperlinkedModelSerializer, drf_serializers.ModelSerializer,
              drf_serializers.Serializer)

# What makes one field object, and whose makers must therefore be DRF's own.
_FIELD_MAKERS = ("__new__", "__init__", "__deepcopy__", "bind")


class ClassPlans:
    """The shared plans of one serializer class: `read` and `write` are
    CompiledSerializers (None for a side the class overrides), `reason` says
    why there are none. What DRF's validation and saving read from the fields
    is known for the class too: `no_validators` when DRF's `get_validators()`
    gives no validators, `no_read_only_defaults` when no field takes part in
    `_read_only_defaults()`, and `nested_write_keys`, the keys of validated
    data that DRF's `raise_errors_on_nested_writes()` looks at (the sources of
    writable nested serializers and the first step of dotted sources)."""

    __slots__ = ("snapshot", "read", "write", "reason", "no_validators", "no_read_only_defaults",
                 "nested_write_keys", "__weakref__")

    def __init__(self, snapshot, read=None, write=None, reason=None, no_validators=False,
                 no_read_only_defaults=False, nested_write_keys=frozenset()):
        self.snapshot = snapshot  # what the plans were made from (see quorvel_core.snapshot)
        self.read = read
        self.write = write
        self.reason = reason
        self.no_validators = no_validators
        self.no_read_only_defaults = no_read_only_defaults
        self.nested_write_keys = nested_write_keys


# Read without a lock: an entry is stored in one dict operation, only once it
# is complete, and two threads that compile one class at once both have
# right plans, of which the last stored is kept.
_plans = weakref.WeakKeyDictionary()
_generation = 0  # counts clear(), so that plans compiled before one are not kept after it


def plans_for(serializer):
    """The shared plans for this instance of a `Serializer` subclass, or None
    where it must use its own fields: its class cannot share plans, or the
    instance's fields are already built (and may have been changed)."""
    if "fields" in serializer.__dict__:
        return None
    plans = _current(type(serializer))
    return plans if plans is not None and plans.reason is None else None


def reuse_reason(cls):
    """Why the instances of `cls` cannot share plans, or None when they do."""
    plans = _current(cls)
    if plans is None:
        return "its fields could not be built"
    return plans.reason


def _current(cls):
    """The plans of `cls` made from what the class and everything its fields
    came from hold now: the stored ones while nothing of that has changed,
    else compiled again (None when that fails, see _compile)."""
    plans = _plans.get(cls)
    if plans is not None and plans.snapshot.holds():
        return plans
    return _compile(cls)


def cached_classes():
    """The classes that currently hold plans (shared or refused)."""
    return list(_plans.keys())


def clear():
    """Drops every plan; the next instance of each class compiles again."""
    global _generation
    _generation += 1
    _plans.clear()


def _drop_plans(**kwargs):
    # Field constructors and the compiled kinds read settings (REST_FRAMEWORK,
    # USE_TZ, TIME_ZONE, ...); any change may give other fields.
    clear()


setting_changed.connect(_drop_plans, dispatch_uid="quorvel_core.plans")


def _compile(cls):
    """Compiles and stores the plans of `cls`; None (nothing stored) when a
    probe instance's fields cannot be built, so that DRF reports that itself,
    or when the settings or the class changed while compiling."""
    generation = _generation
    walk = SharedWalk(cls)
    reason = _class_reason(cls)
    if reason is None:
        try:
            probe = cls()
            fields = probe.fields
        except Exception:
            return None
        walk.record(probe)
        reason = _fields_reason(cls, fields)
    if reason is None:
        read = walk.compiled_side(probe, read=True)
        write = walk.compiled_side(probe, read=False)
        # Taken once the walk has recorded the nested serializers too.
        plans = ClassPlans(
            walk.recorder.snapshot(), read=read, write=write, no_validators=_no_validators(probe),
            no_read_only_defaults=_no_read_only_defaults(probe),
            nested_write_keys=_nested_write_keys(probe))
    else:
        plans = ClassPlans(walk.recorder.snapshot(), reason=reason)
    if generation != _generation or not plans.snapshot.holds():
        # The settings, or a class the plans were made from, changed while
        # they were compiled: not kept, and DRF answers this call.
        return None
    _plans[cls] = plans
    return plans


class SharedWalk(schema.Walk):
    """The compile of a class's shared plans: the entries hold none of the
    probe's objects (a shared walk, see schema.Walk), a nested serializer is
    compiled only where its own class could share its plans, and what every
    serializer and field on the way was made from is recorded.

    Every instance of a class that shares plans builds the same fields, at
    any depth of data, so a serializer nested in itself (directly or through
    others) is compiled as a cycle: where its class comes again inside it, the
    plan refers back to the one being compiled further out, and the loops
    enter it once more for each level of data, as DRF's fields do."""

    def __init__(self, cls):
        super().__init__(shared=True)
        self.recorder = Recorder()
        self.recorder.add_class(cls)  # what _class_reason reads
        self.cycles = {}  # (class, read): the instance its plans go into

    def record(self, serializer):
        """The serializer's class, its `Meta` and model, the containers DRF
        reads its fields from, and the class of each of its fields."""
        recorder = self.recorder
        cls = type(serializer)
        recorder.add_class(cls)
        declared = getattr(cls, "_declared_fields", None)
        recorder.add_container(declared)
        if type(declared) is dict:
            for field in declared.values():
                _record_arguments(recorder, field)
        recorder.add_container(getattr(cls, "serializer_field_mapping", None))
        meta = getattr(cls, "Meta", None)
        if isinstance(meta, type):
            recorder.add_meta(meta)
            model = getattr(meta, "model", None)
            if isinstance(model, type) and issubclass(model, models.Model):
                _record_model(recorder, model)
        for field in serializer.fields.values():
            _record_field(recorder, field)

    def nested(self, serializer, *, read):
        cls = type(serializer)
        if cls in self.path:
            # Empty until that class's plans are compiled, then given them.
            key = (cls, read)
            if key not in self.cycles:
                self.cycles[key] = CompiledSerializer([], [])
            return self.cycles[key]
        if len(self.path) >= schema.MAX_NESTING:
            return None
        self.recorder.add_class(cls)
        if _class_reason(cls) is not None:
            return None
        self.record(serializer)
        if _fields_reason(cls, serializer.fields) is not None:
            return None
        return self.compiled_side(serializer, read=read)

    def compiled_side(self, serializer, *, read):
        compiled = super().compiled_side(serializer, read=read)
        cycle = self.cycles.pop((type(serializer), read), None)
        if cycle is None:
            # Also when the class overrides that side's loop (None): then no
            # field was walked, so no plan refers to a cycle.
            return compiled
        cycle._take_plans(compiled)
        return cycle


def _record_arguments(recorder, field):
    # DRF builds each instance's fields from the declared ones' arguments,
    # which it copies deeply, but for `validators`, which it passes on as
    # they are: a list of validators appended to later counts either way.
    if not isinstance(field, drf_fields.Field):
        return
    own = getattr(field, "__dict__", {})
    recorder.add_container(own.get("_args"))
    kwargs = own.get("_kwargs")
    recorder.add_container(kwargs)
    if type(kwargs) is dict:
        for value in kwargs.values():
            _record_arguments(recorder, value)  # a child field


# The lists of a model field that DRF reads in place when it builds a field.
# Each is compared at every check, so only these are: Django's other lists
# on a field are its own bookkeeping, which DRF does not read.
_MODEL_FIELD_LISTS = ("validators", "_choices", "to_fields")


def _record_model(recorder, model):
    # A ModelSerializer builds its fields from the model's fields' attributes
    # (max_length, choices, validators, null, ...) on every instance: a model
    # field patched after first use counts, as its class does.
    recorder.add_class(model)
    for model_field in model._meta.get_fields(include_hidden=True):
        recorder.add_class(type(model_field))
        recorder.add_attributes(model_field, _MODEL_FIELD_LISTS)
        recorder.add_attributes(getattr(model_field, "remote_field", None))


def _record_field(recorder, field):
    # A list's or relation's child decides its kind too. Read from the
    # instance's own attributes: a field that makes its child lazily is not
    # made to build it here.
    recorder.add_class(type(field))
    own = getattr(field, "__dict__", {})
    for name in ("child", "child_relation"):
        part = own.get(name)
        if part is not None:
            _record_field(recorder, part)


def _no_validators(probe):
    # DRF's own method on the probe: with the same fields, every instance gets
    # the same validators (ModelSerializer's come from the model's constraints
    # and the fields' sources). A class with a method of its own is left alone.
    method = _drf_own(type(probe), "get_validators")
    return method is not None and method(probe) == []


def _no_read_only_defaults(probe):
    # The fields that DRF's _read_only_defaults() asks for a default.
    return _drf_own(type(probe), "_read_only_defaults") is not None and not any(
        field.read_only and field.default != empty and field.source != "*"
        and "." not in field.source for field in probe.fields.values())


def _nested_write_keys(probe):
    keys = set()
    for field in probe.fields.values():
        if field.read_only:
            continue
        if isinstance(field, drf_serializers.BaseSerializer):
            keys.add(field.source)
        if len(field.source_attrs) > 1:
            keys.add(field.source_attrs[0])
    return frozenset(keys)


def _drf_own(cls, name):
    """DRF's method `name` when that is what the class runs, else None."""
    method = class_attribute(cls, name)
    return method if method is class_attribute(_drf_base(cls), name) else None


# --- What makes the plans the same for every instance ---------------------------

def _drf_base(cls):
    return next(klass for klass in cls.__mro__ if klass in _DRF_BASES)


def _class_reason(cls):
    if (not issubclass(cls, drf_serializers.Serializer)
            or issubclass(cls, drf_serializers.ListSerializer)):
        return f"{cls.__name__} is not a Serializer"
    base = _drf_base(cls)
    for name in _BUILDING_METHODS:
        if class_attribute(cls, name) is not class_attribute(base, name):
            return f"{name} is overridden by {_owner(cls, name).__name__}"
    return None


def _fields_reason(cls, fields):
    for name, field in fields.items():
        reason = _field_reason(field)
        if reason is not None:
            return f"field '{name}' of {cls.__name__}: {reason}"
    return None


def _field_reason(field):
    """Why this field object might come out differently for another instance."""
    cls = type(field)
    for name in _FIELD_MAKERS:
        owner = _owner(cls, name)
        if owner.__module__.partition(".")[0] != "rest_framework":
            return f"{name} is overridden by {owner.__name__}"
    if isinstance(field, drf_fields.ChoiceField) and not _plain_choices(field):
        return "its choices are made when the field is built"
    if isinstance(field, drf_relations.ManyRelatedField):
        return _field_reason(field.child_relation)
    child = getattr(field, "child", None)
    containers = (drf_serializers.ListSerializer, drf_fields.ListField, drf_fields.DictField)
    if isinstance(field, containers) and child is not None:
        return _field_reason(child)
    return None


def _plain_choices(field):
    """Choices handed over as data, not computed by the field or by Django
    (a FilePathField reads a folder; a model field's callable choices are
    called again for each build)."""
    if "choices" in field._kwargs:
        choices = field._kwargs["choices"]
    elif field._args:
        choices = field._args[0]
    else:
        return False
    return type(choices) in (list, tuple, dict)


def _owner(cls, name):
    return next((klass for klass in cls.__mro__ if name in vars(klass)), object)
