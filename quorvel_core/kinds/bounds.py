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
    return _covered_by_bounds(validator, lo, hi, (int,), django_validators.MaxLengthValidator,
                              django_validators.MinLengthValidator)


def _covered_values(validator, lo, hi):
    # The native bounds are exact, and Python compares ints and floats exactly,
    # so a validator is implied by a native bound at least as strict.
    return _covered_by_bounds(validator, lo, hi, (int, float), django_validators.MaxValueValidator,
                              django_validators.MinValueValidator)


def _covered_by_bounds(validator, lo, hi, limit_types, max_kind, min_kind):
    """True when `validator` is exactly a `max_kind` or `min_kind` whose limit
    (of an exact type in `limit_types`) the native bounds `lo`/`hi` imply."""
    kind = type(validator)
    limit = getattr(validator, "limit_value", None)
    if type(limit) not in limit_types:
        return False
    if kind is max_kind:
        return hi is not None and hi <= limit
    if kind is min_kind:
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
