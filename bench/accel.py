"""How the benchmark runs the accelerated side: the project's serializer class
with the drop-in `SerializerMixin` in front, used as DRF is used, so that a case
measures what a project gets. Everything DRF does around the field loops
(serializer construction, the rest of `is_valid()`, the view and renderer)
stays in the measured path.
"""

import functools

from quorvel_core import compile_serializer
from quorvel_core.serializers import SerializerMixin

PATH = "drop-in serializers (quorvel_core.serializers.SerializerMixin)"


def compiled(serializer, **sides):
    """The plan of `serializer`, for the cases that drive the field loop alone."""
    result = compile_serializer(serializer, **sides)
    if result is None:
        raise RuntimeError(f"{type(serializer).__name__} cannot be compiled")
    return result


@functools.cache
def drop_in(serializer_class):
    """`serializer_class` with the drop-in mixin in front, as a project writes it."""
    return type(f"Accelerated{serializer_class.__name__}", (SerializerMixin, serializer_class), {})


def represent_many(serializer_class, instances):
    """The list representation of `instances`; the class's plans are compiled once."""
    accelerated = drop_in(serializer_class)
    return lambda: accelerated(instances, many=True).data


def represent_one(serializer_class, instance):
    """A single object's representation through the drop-in class."""
    accelerated = drop_in(serializer_class)
    return lambda: accelerated(instance).data


def validating(serializer_class):
    """`serializer_class` with its field loop run natively."""
    return drop_in(serializer_class)


def list_view(view_class):
    """A list view class answering through the accelerated serializer."""
    return type(f"Accelerated{view_class.__name__}", (view_class,),
                {"serializer_class": drop_in(view_class.serializer_class)})
