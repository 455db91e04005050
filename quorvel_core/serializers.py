"""DRF serializers whose field loops run natively.

`SerializerMixin` and `ListSerializerMixin` put the compiled loops in front of
DRF's own `to_representation` and `to_internal_value`; `Serializer`,
`ModelSerializer`, `HyperlinkedModelSerializer` and `ListSerializer` are DRF's
classes with them mixed in. Everything around the loops stays DRF's: the
non-mapping input error, the `ValidationError` raised with the collected
errors, `many=True` lists, querysets and related managers. Whatever the
compiler cannot take (a class overriding a method the loop replaces, input
that is not a plain dict) runs DRF's own method instead.

Only a serializer that stands alone is compiled, once per call. A nested one
is either part of its parent's compiled plan, or its parent runs DRF's loop and
calls it once per item, where compiling it every time would cost more than the
loop saves.
"""

from django.db.models.manager import BaseManager
from rest_framework import serializers as s
from rest_framework.exceptions import ValidationError

from . import kinds
from .schema import compile_serializer, current_timezone

__all__ = [
    "HyperlinkedModelSerializer", "ListSerializer", "ListSerializerMixin", "ModelSerializer",
    "Serializer", "SerializerMixin",
]


def _drf_method(cls, name):
    method = vars(cls)[name]
    return kinds.STAND_INS.get(method, method)


DRF_TO_REPRESENTATION = _drf_method(s.Serializer, "to_representation")
DRF_TO_INTERNAL_VALUE = _drf_method(s.Serializer, "to_internal_value")
DRF_LIST_TO_REPRESENTATION = _drf_method(s.ListSerializer, "to_representation")


def _compiled(serializer, *, read):
    """The serializer's read or write side compiled, or None where DRF's own
    method must run (nested, or a class the compiler cannot take)."""
    if serializer.parent is not None:
        return None
    return compile_serializer(serializer, read=read, write=not read)


def _represent_many(compiled, data):
    # A related manager is what a nested list hands over; DRF iterates its .all().
    iterable = data.all() if isinstance(data, BaseManager) else data
    return compiled.to_representation_many(iterable, current_timezone())


def _validate(compiled, data):
    validated, errors = compiled.to_internal_value(data, current_timezone())
    if errors:
        raise ValidationError(errors)
    return validated


class SerializerMixin:
    """For a `rest_framework.serializers.Serializer` subclass: the field loops
    run natively, with DRF's answers. A class further down that overrides them
    keeps its own; one that calls `super()` gets DRF's."""

    def to_representation(self, instance):
        compiled = _compiled(self, read=True)
        if compiled is None:
            return super().to_representation(instance)
        return compiled.to_representation(instance, current_timezone())

    def to_internal_value(self, data):
        # Only a plain dict: DRF reads anything else (a QueryDict of form data,
        # a non-mapping it reports) through the field's own get_value.
        if type(data) is dict:
            compiled = _compiled(self, read=False)
            if compiled is not None:
                return _validate(compiled, data)
        return super().to_internal_value(data)

    @classmethod
    def many_init(cls, *args, **kwargs):
        """DRF's, with DRF's default list class swapped for the accelerated one."""
        serializer = super().many_init(*args, **kwargs)
        if type(serializer) is s.ListSerializer:
            serializer.__class__ = ListSerializer
        return serializer


class ListSerializerMixin:
    """For a `rest_framework.serializers.ListSerializer` subclass: the list's
    representation runs natively through its child."""

    def to_representation(self, data):
        compiled = _compiled(self, read=True)
        if compiled is None:
            return super().to_representation(data)
        return _represent_many(compiled, data)


class Serializer(SerializerMixin, s.Serializer):
    pass


class ModelSerializer(SerializerMixin, s.ModelSerializer):
    pass


class HyperlinkedModelSerializer(SerializerMixin, s.HyperlinkedModelSerializer):
    pass


class ListSerializer(ListSerializerMixin, s.ListSerializer):
    pass


# What install() puts on DRF's own classes: the same loops, with DRF's method
# as the fallback (these run on plain DRF classes, so there is no super()).

def installed_to_representation(self, instance):
    compiled = _compiled(self, read=True)
    if compiled is None:
        return DRF_TO_REPRESENTATION(self, instance)
    return compiled.to_representation(instance, current_timezone())


def installed_to_internal_value(self, data):
    if type(data) is dict:
        compiled = _compiled(self, read=False)
        if compiled is not None:
            return _validate(compiled, data)
    return DRF_TO_INTERNAL_VALUE(self, data)


def installed_list_to_representation(self, data):
    compiled = _compiled(self, read=True)
    if compiled is None:
        return DRF_LIST_TO_REPRESENTATION(self, data)
    return _represent_many(compiled, data)


kinds.STAND_INS.update({installed_to_representation: DRF_TO_REPRESENTATION,
                        installed_to_internal_value: DRF_TO_INTERNAL_VALUE,
                        installed_list_to_representation: DRF_LIST_TO_REPRESENTATION})
kinds.TRANSPARENT.update((SerializerMixin.to_representation, SerializerMixin.to_internal_value,
                          ListSerializerMixin.to_representation))
