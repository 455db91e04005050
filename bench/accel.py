"""How the benchmark runs the accelerated side.

With the drop-in layer (`quorvel_core.serializers`) a case measures what a
project gets: its serializer class with `SerializerMixin` in front, used as DRF
is used. Without it, the compiled loops are driven directly through
`compile_serializer` with the thin wiring a view or serializer needs. Either
way everything DRF does around the field loops (serializer construction, the
rest of `is_valid()`, the view and renderer) stays in the measured path.
"""

import functools

from rest_framework.exceptions import ValidationError

from quorvel_core import compile_serializer, current_timezone

try:
    from quorvel_core.serializers import SerializerMixin
except ImportError:  # the drop-in layer is not built yet
    SerializerMixin = None

DROP_IN = SerializerMixin is not None
PATH = ("drop-in serializers (quorvel_core.serializers.SerializerMixin)" if DROP_IN
        else "compiled loops driven directly (bench/accel.py)")


def compiled(serializer, **sides):
    result = compile_serializer(serializer, **sides)
    if result is None:
        raise RuntimeError(f"{type(serializer).__name__} cannot be compiled")
    return result


@functools.cache
def drop_in(serializer_class):
    """`serializer_class` with the drop-in mixin in front, as a project writes it."""
    return type(f"Accelerated{serializer_class.__name__}", (SerializerMixin, serializer_class), {})


def represent_many(serializer_class, instances):
    """The list representation of `instances`. Driven directly, the plan is
    compiled once: 1,000 rows make the compile cost negligible."""
    if DROP_IN:
        accelerated = drop_in(serializer_class)
        return lambda: accelerated(instances, many=True).data
    plan = compiled(serializer_class(many=True), write=False)
    return lambda: plan.to_representation_many(instances, current_timezone())


def represent_one(serializer_class, instance):
    """A single-object representation through the drop-in class (whose plans are
    compiled once per class), or compiled per call without it."""
    if DROP_IN:
        accelerated = drop_in(serializer_class)
        return lambda: accelerated(instance).data

    def run():
        plan = compiled(serializer_class(instance), write=False)
        return plan.to_representation(instance, current_timezone())
    return run


def validating(serializer_class):
    """`serializer_class` with its field loop run natively."""
    if DROP_IN:
        return drop_in(serializer_class)
    # Driven directly, the write side is compiled from one instance: the
    # benchmark's serializers keep no state per instance (no `validate_<field>`
    # methods, no context).
    plan = compiled(serializer_class(), read=False)

    class Accelerated(serializer_class):
        def to_internal_value(self, data):
            if type(data) is not dict:
                return super().to_internal_value(data)
            validated, errors = plan.to_internal_value(data, current_timezone())
            if errors:
                raise ValidationError(errors)
            return validated

    Accelerated.__name__ = f"Accelerated{serializer_class.__name__}"
    return Accelerated


def list_view(view_class):
    """A list view class answering through the accelerated serializer."""
    if DROP_IN:
        return type(f"Accelerated{view_class.__name__}", (view_class,),
                    {"serializer_class": drop_in(view_class.serializer_class)})

    def list(self, request, *args, **kwargs):
        from rest_framework.response import Response

        queryset = self.filter_queryset(self.get_queryset())
        plan = compiled(self.get_serializer(queryset, many=True), write=False)
        return Response(plan.to_representation_many(queryset, current_timezone()))

    return type(f"Accelerated{view_class.__name__}", (view_class,), {"list": list})
