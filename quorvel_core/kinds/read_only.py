"""ReadOnlyField, the unvalidated child of a ListField or DictField
(`_UnvalidatedField`), SerializerMethodField and ModelField, on the read side.

ReadOnlyField and `_UnvalidatedField` return the attribute's value as it is
(the passthrough kind). SerializerMethodField calls the parent serializer's
`get_<name>` method with the instance; a missing method is left for DRF to
report when the field is represented. ModelField gives the model field's
`value_from_object` (for Django's own, the instance's `attname` attribute)
when it is a protected type and its `value_to_string` otherwise; the
model_attr kind reads the attribute and leaves what it does not pass on
as it is to DRF.
"""

from django.db import models


def _repr_passthrough(field, nested):
    return {"type": "passthrough"}


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
