"""Bounds and validators that several native kinds check themselves.

A kind that checks a length or value bound natively lets DRF's validator for
that bound go unrun only when the native check implies it; every other
validator, and a `run_validators` of the class's own, still runs in Python on
the native value (the `python_validators` flag of a val plan).
"""

from django.core import validators as django_validators
from rest_framework import fields as drf_fields

# The largest int a double holds exactly, and all the smaller ones with it.
EXACT_FLOAT_INT = 2**53


def _covered_lengths(validator, lo, hi):
    kind = type(validator)
    limit = getattr(validator, "limit_value", None)
    if type(limit) is not int:
        return False
    if kind is django_validators.MaxLengthValidator:
        return hi is not None and hi <= limit
    if kind is django_validators.MinLengthValidator:
        return lo is not None and lo >= limit
    return False


def _covered_values(validator, lo, hi):
    # The native bounds are exact, and Python compares ints and floats exactly,
    # so a validator is implied by a native bound at least as strict.
    kind = type(validator)
    limit = getattr(validator, "limit_value", None)
    if type(limit) is not int and type(limit) is not float:
        return False
    if kind is django_validators.MaxValueValidator:
        return hi is not None and hi <= limit
    if kind is django_validators.MinValueValidator:
        return lo is not None and lo >= limit
    return False


def _exact_number(value):
    return type(value) is float or (type(value) is int and abs(value) <= EXACT_FLOAT_INT)


def _is_count(value):
    return type(value) is int and value >= 0


def _count_or_none(value):
    return value if _is_count(value) else None


def _uncovered(field, covered):
    """True when the field's validators hold something the native kind does
    not check itself, so Python must run them on the native value."""
    if type(field).run_validators is not drf_fields.Field.run_validators:
        return True
    return any(not covered(v) for v in field.validators)


def _none(validator):
    return False
