"""How the benchmark runs the accelerated side.

The loops are driven directly through `compile_serializer`, with the thin
wiring a view or serializer needs around them; everything that DRF itself
does around the field loops (serializer construction, `is_valid`, validators,
the view and renderer) stays in the measured path.
"""

from rest_framework.exceptions import ValidationError

from quorvel_core import compile_serializer, current_timezone


def compiled(serializer, **sides):
    result = compile_serializer(serializer, **sides)
    if result is None:
        raise RuntimeError(f"{type(serializer).__name__} cannot be compiled")
    return result


def represent_many(serializer_class, instances):
    """The list representation of `instances`, compiled once (1,000 rows make
    the compile cost negligible)."""
    plan = compiled(serializer_class(many=True), write=False)
    return lambda: plan.to_representation_many(instances, current_timezone())


def represent_one(serializer_class, instance):
    """A single-object representation, compiled for every call as a detail
    view would have to without a per-class cache."""
    def run():
        plan = compiled(serializer_class(instance), write=False)
        return plan.to_representation(instance, current_timezone())
    return run


def validating(serializer_class):
    """`serializer_class` with its field loop run natively. The compiled write
    side comes from one instance: the benchmark's serializers keep no state
    per instance (no `validate_<field>` methods, no context)."""
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


def list_response(view, queryset):
    """What `ListModelMixin.list` returns, represented natively."""
    from rest_framework.response import Response

    plan = compiled(view.get_serializer(queryset, many=True), write=False)
    return Response(plan.to_representation_many(queryset, current_timezone()))
