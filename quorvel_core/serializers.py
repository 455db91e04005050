"""DRF serializers whose field loops run natively.

`ListSerializerMixin` and `SerializerMixin` put the compiled loops in front of
DRF's own `to_representation` and `to_internal_value`; `Serializer`,
`ModelSerializer`, `HyperlinkedModelSerializer` and `ListSerializer` are DRF's
classes with them mixed in. Everything around the loops stays DRF's own code:
the non-mapping input error, the `ValidationError` raised with the collected
errors, the list's checks and per-item errors, querysets and related managers.
Whatever the compiler cannot take (a class overriding a method the loops
replace, input that is not a plain dict) runs DRF's method instead.

Most classes build the same fields for every instance; their plans are
compiled once per class (`quorvel_core.plans`) and every object, list and
payload runs through them, without building the instance's field objects
unless Python code needs one. Where plans cannot be shared (the class makes
its fields its own way, or the instance's fields are already built), a
serializer is compiled per instance, which costs about one pass of DRF's field
loop; so that is done only where the cost is repaid, a list of at least
`LIST_MIN` items:
- its representation: one compile of the child for all the items (nested
  serializers are part of that plan);
- its validation: DRF's list loop, with each item's field loop run by the
  child compiled once.
One such object on its own keeps DRF's field loops.
"""

import contextvars
from types import FunctionType

from django.db.models.manager import BaseManager
from django.db.models.query import QuerySet
from rest_framework import serializers as drf_serializers
from rest_framework.exceptions import ValidationError

from . import kinds
from .plans import plans_for
from .schema import compile_serializer, current_timezone

__all__ = [
    "HyperlinkedModelSerializer", "LIST_MIN", "ListSerializer", "ListSerializerMixin",
    "ModelSerializer", "Serializer", "SerializerMixin",
]

# Compiling a list's child costs about what DRF spends on two items.
LIST_MIN = 3


# What an earlier run of this module (before a reload) listed as stand-ins:
# install() may have left those on DRF's classes. See STAND_INS below.
_EARLIER_STAND_INS = globals().get("STAND_INS", {})
_EARLIER_TRANSPARENT = globals().get("TRANSPARENT", frozenset())


def _drf_method(cls, name):
    method = vars(cls)[name]
    return _EARLIER_STAND_INS.get(method, method)


DRF_TO_REPRESENTATION = _drf_method(drf_serializers.Serializer, "to_representation")
DRF_READ_ONLY_DEFAULTS = _drf_method(drf_serializers.Serializer, "_read_only_defaults")
DRF_MODEL_GET_VALIDATORS = _drf_method(drf_serializers.ModelSerializer, "get_validators")
DRF_RAISE_ERRORS_ON_NESTED_WRITES = vars(drf_serializers)["raise_errors_on_nested_writes"]
DRF_TO_INTERNAL_VALUE = _drf_method(drf_serializers.Serializer, "to_internal_value")
DRF_LIST_TO_REPRESENTATION = _drf_method(drf_serializers.ListSerializer, "to_representation")
DRF_LIST_TO_INTERNAL_VALUE = _drf_method(drf_serializers.ListSerializer, "to_internal_value")


def _from_class(serializer, attribute):
    """What the class's shared plans hold as `attribute` (see ClassPlans) for
    this instance, or None where it must use its own fields."""
    plans = plans_for(serializer) if isinstance(serializer, drf_serializers.Serializer) else None
    return None if plans is None else getattr(plans, attribute)


def _represent(serializer, instance):
    """One object's representation through the class's plans, or None where
    DRF's method must run."""
    plan = _from_class(serializer, "read")
    if plan is None:
        return None
    return plan.to_representation(instance, current_timezone(), serializer)


def _represent_list(serializer, data):
    """The list's representation natively, or None where DRF's method must run.
    Nothing is evaluated that DRF would not evaluate itself: a related manager
    counts only when prefetched (DRF asks it for a new queryset), a queryset
    handed over is evaluated by DRF's loop too."""
    from_manager = isinstance(data, BaseManager)
    iterable = data.all() if from_manager else data
    shared = _from_class(serializer.child, "read")
    if shared is not None:
        # DRF's own loop: every item through the child.
        return shared.to_representation_many(iterable, current_timezone(), serializer.child)
    if _length(iterable, evaluate=not from_manager) < LIST_MIN:
        return None
    compiled = compile_serializer(serializer, write=False)
    if compiled is None:
        return None
    return compiled.to_representation_many(iterable, current_timezone())


def _length(iterable, *, evaluate):
    """How many items iterating gives, where that is known without a side
    effect DRF would not have; 0 otherwise."""
    kind = type(iterable)
    if kind is list or kind is tuple:
        return len(iterable)
    if isinstance(iterable, QuerySet) and kind.__iter__ is QuerySet.__iter__ \
            and kind.__len__ is QuerySet.__len__:
        if iterable._result_cache is not None or evaluate:
            return len(iterable)
    return 0


# The child a list is validating and its compiled write side, while DRF's
# list loop runs (per thread and per task).
_LIST_CHILD = contextvars.ContextVar("quorvel_core_list_child", default=None)

# DRF's list loop hands each item to these; the compiled child stands in for
# the child's own field loop only.
_LIST_LOOP = ("to_internal_value", "run_child_validation")


def _validate_list(serializer, data, drf_method):
    """`drf_method(serializer, data)` (DRF's ListSerializer.to_internal_value)
    with one plan of the child for all the items: the class's shared plan
    (decided once for the list, since the first item that needs a field
    builds the child's fields), or the child compiled once."""
    child = serializer.child
    current = _LIST_CHILD.get()
    if (type(data) is not list or not isinstance(child, drf_serializers.Serializer)
            or (current is not None and current[0] is child)  # a mixin's super() call
            or not kinds.inherits(type(serializer), drf_serializers.ListSerializer, _LIST_LOOP)):
        return drf_method(serializer, data)
    compiled = _from_class(child, "write")
    if compiled is None and len(data) >= LIST_MIN:
        compiled = compile_serializer(child, read=False)
    if compiled is None:
        return drf_method(serializer, data)
    token = _LIST_CHILD.set((child, compiled))
    try:
        return drf_method(serializer, data)
    finally:
        _LIST_CHILD.reset(token)


def _validate(serializer, data):
    """The validated data of one payload natively (raising DRF's
    ValidationError), or None where DRF's method must run."""
    # Only a plain dict: DRF reads anything else (a QueryDict of form data, a
    # non-mapping it reports) through the field's own get_value.
    if type(data) is not dict:
        return None
    current = _LIST_CHILD.get()
    if current is not None and current[0] is serializer:
        plan = current[1]
    else:
        plan = _from_class(serializer, "write")
        if plan is None:
            return None
    result = plan.to_internal_value(data, current_timezone(), serializer)
    if result is None:
        return None  # failed natively before, in this payload: DRF words its errors
    validated, errors = result
    if errors:
        raise ValidationError(errors)
    return validated


class SerializerMixin:
    """For a `rest_framework.serializers.Serializer` subclass: it represents
    objects and validates payloads natively, with DRF's answers, and
    `many=True` builds the accelerated list. A class further down that
    overrides `to_representation` or `to_internal_value` keeps its own; one
    that calls `super()` gets DRF's."""

    def to_representation(self, instance):
        represented = _represent(self, instance)
        return super().to_representation(instance) if represented is None else represented

    def to_internal_value(self, data):
        validated = _validate(self, data)
        return super().to_internal_value(data) if validated is None else validated

    # Around the field loop DRF reads the fields for the validators and the
    # read-only defaults; where the class's plans know the answer, the
    # instance's fields are not built for them.
    def get_validators(self):
        return [] if _from_class(self, "no_validators") else super().get_validators()

    def _read_only_defaults(self):
        return {} if _from_class(self, "no_read_only_defaults") else super()._read_only_defaults()

    @classmethod
    def many_init(cls, *args, **kwargs):
        """DRF's, with DRF's default list class swapped for the accelerated one."""
        serializer = super().many_init(*args, **kwargs)
        if type(serializer) is drf_serializers.ListSerializer:
            _accelerate_list(serializer)
        return serializer


class ListSerializerMixin:
    """For a `rest_framework.serializers.ListSerializer` subclass: the list's
    representation runs natively through its child, and its validation
    through the child compiled once."""

    def to_representation(self, data):
        represented = _represent_list(self, data)
        return super().to_representation(data) if represented is None else represented

    def to_internal_value(self, data):
        return _validate_list(self, data, _after_list_mixin)


def _after_list_mixin(serializer, data):
    return super(ListSerializerMixin, serializer).to_internal_value(data)


def _accelerate_list(serializer):
    """Turns the plain DRF `ListSerializer` that DRF's `many_init` just built
    into the accelerated `ListSerializer` below, in place, by changing its
    class. `many_init` builds the list itself (the child, the arguments it
    passes on, `Meta.list_serializer_class`), so keeping its object keeps all
    of that DRF's; the two classes differ only by the mixin's methods, which
    use no state of their own, so the object is valid under either."""
    serializer.__class__ = ListSerializer


class Serializer(SerializerMixin, drf_serializers.Serializer):
    pass


class ModelSerializer(SerializerMixin, drf_serializers.ModelSerializer):
    pass


class HyperlinkedModelSerializer(SerializerMixin, drf_serializers.HyperlinkedModelSerializer):
    pass


class ListSerializer(ListSerializerMixin, drf_serializers.ListSerializer):
    pass


# What install() puts on DRF's own classes: the same loops, with DRF's method
# as the fallback (these run on plain DRF classes, so there is no super()).

def installed_to_representation(self, instance):
    represented = _represent(self, instance)
    return DRF_TO_REPRESENTATION(self, instance) if represented is None else represented


def installed_get_validators(self):
    return [] if _from_class(self, "no_validators") else DRF_MODEL_GET_VALIDATORS(self)


def installed_read_only_defaults(self):
    return {} if _from_class(self, "no_read_only_defaults") else DRF_READ_ONLY_DEFAULTS(self)


def installed_raise_errors_on_nested_writes(method_name, serializer, validated_data):
    # DRF's checks fail only for a key of a writable nested serializer or
    # dotted source present in the data; without one they pass, and
    # ModelSerializer's create() and update() need no field objects. With one,
    # DRF's own function decides (and words the error).
    if isinstance(serializer, drf_serializers.ModelSerializer):
        keys = _from_class(serializer, "nested_write_keys")
        if keys is not None and not any(key in validated_data for key in keys):
            return None
    return DRF_RAISE_ERRORS_ON_NESTED_WRITES(method_name, serializer, validated_data)


def installed_to_internal_value(self, data):
    validated = _validate(self, data)
    return DRF_TO_INTERNAL_VALUE(self, data) if validated is None else validated


def installed_list_to_representation(self, data):
    represented = _represent_list(self, data)
    return DRF_LIST_TO_REPRESENTATION(self, data) if represented is None else represented


def installed_list_to_internal_value(self, data):
    return _validate_list(self, data, DRF_LIST_TO_INTERNAL_VALUE)


# What install() puts on DRF's serializer module and classes:
# (module or class, attribute, DRF's function, the accelerated one).
INSTALLED_METHODS = [
    (drf_serializers, "raise_errors_on_nested_writes", DRF_RAISE_ERRORS_ON_NESTED_WRITES,
     installed_raise_errors_on_nested_writes),
    (drf_serializers.Serializer, "to_representation", DRF_TO_REPRESENTATION,
     installed_to_representation),
    (drf_serializers.Serializer, "_read_only_defaults", DRF_READ_ONLY_DEFAULTS,
     installed_read_only_defaults),
    (drf_serializers.ModelSerializer, "get_validators", DRF_MODEL_GET_VALIDATORS,
     installed_get_validators),
    (drf_serializers.Serializer, "to_internal_value", DRF_TO_INTERNAL_VALUE,
     installed_to_internal_value),
    (drf_serializers.ListSerializer, "to_representation", DRF_LIST_TO_REPRESENTATION,
     installed_list_to_representation),
    (drf_serializers.ListSerializer, "to_internal_value", DRF_LIST_TO_INTERNAL_VALUE,
     installed_list_to_internal_value),
]

# The stand-ins, as quorvel_core.kinds sees through them when it decides what
# a class runs: {accelerated function: the DRF function it stands in for}
# (install() puts the former on DRF's classes), and the mixins' methods, which
# count as whatever the class runs after the mixin. Those of an earlier run of
# this module are kept, since classes may still hold them.
STAND_INS = _EARLIER_STAND_INS | {
    accelerated: drf for _, _, drf, accelerated in INSTALLED_METHODS}
TRANSPARENT = _EARLIER_TRANSPARENT | frozenset(
    value for mixin in (SerializerMixin, ListSerializerMixin) for value in vars(mixin).values()
    if type(value) is FunctionType)
