"""DecimalField.

Representation matches DRF's quantize to decimal_places and its text or
Decimal output (coerce_to_string, COERCE_DECIMAL_TO_STRING); validation
matches to_internal_value's parsing (MAX_STRING_LENGTH, no NaN or infinity)
and validate_precision's max_digits / decimal_places checks. Localized
fields, normalize_output, and digit counts that leave the result to the
thread's decimal context stay with DRF.
"""

from rest_framework import fields as drf_fields
from rest_framework.settings import api_settings

from .bounds import _is_count, _none, _uncovered


def _decimal_digits(field):
    """(decimal_places, max_digits) of a DecimalField that the native decimal
    kinds can stand in for on either side, or None."""
    if field.localize:
        return None
    places, digits = field.decimal_places, field.max_digits
    if not (_is_count(places) or places is None) or not (_is_count(digits) or digits is None):
        return None
    if places is not None and digits is None:
        # DRF then quantizes in the thread's decimal context, whose precision
        # can make it fail on input that the digit counts accept.
        return None
    return places, digits


def _repr_decimal(field, nested):
    counts = _decimal_digits(field)
    if counts is None or field.normalize_output:
        return None
    places, digits = counts
    coerce = getattr(field, "coerce_to_string", api_settings.COERCE_DECIMAL_TO_STRING)
    return {"type": "decimal", "decimal_places": places, "max_digits": digits,
            "coerce_to_string": bool(coerce)}


def _val_decimal(field, nested):
    counts = _decimal_digits(field)
    if counts is None or field.MAX_STRING_LENGTH != drf_fields.DecimalField.MAX_STRING_LENGTH:
        return None
    places, digits = counts
    plan = {"type": "decimal", "max_digits": digits, "decimal_places": places}
    return plan, _uncovered(field, _none)
