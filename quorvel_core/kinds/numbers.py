"""IntegerField, BigIntegerField and FloatField.

Representation is DRF's `int(value)` / `float(value)`; a BigIntegerField that
coerces to string (COERCE_BIGINT_TO_STRING or its own coerce_to_string) stays
with DRF. Validation matches IntegerField's parsing (integral text and floats
with no fraction, MAX_STRING_LENGTH) and FloatField's, and the min_value /
max_value bounds that DRF checks with MinValueValidator / MaxValueValidator,
which the native kind checks itself only where it can compare exactly.
"""

from rest_framework import fields as drf_fields
from rest_framework.settings import api_settings

from .bounds import _covered_values, _exact_number, _uncovered

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)

# Fields and settings that not every supported DRF release has (BigIntegerField
# and COERCE_BIGINT_TO_STRING came with 3.17): a kind stands in only for what
# the installed release does.
BIG_INTEGER_FIELD = getattr(drf_fields, "BigIntegerField", None)


def _repr_int(field, nested):
    return {"type": "int"}


def _repr_float(field, nested):
    return {"type": "float"}


def _repr_bigint(field, nested):
    if getattr(field, "coerce_to_string", api_settings.COERCE_BIGINT_TO_STRING):
        return None
    return {"type": "int"}


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
