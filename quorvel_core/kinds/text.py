"""CharField and the subclasses that keep its methods (EmailField, RegexField,
SlugField, URLField), and StringRelatedField on the read side.

Representation is DRF's `str(value)`. Validation matches CharField's
run_validation and to_internal_value: the empty string against allow_blank
(after trim_whitespace), bools and non-scalar input refused, numbers turned
into text, then the length bounds and the null / surrogate character checks
that DRF adds as validators, which the native kind makes itself, as it does
an EmailField's EmailValidator.
"""

from django.core import validators as django_validators
from rest_framework.validators import ProhibitSurrogateCharactersValidator

from .bounds import _count_or_none, _covered_lengths, _uncovered


def _repr_str(field, nested):
    return {"type": "str"}


def _val_char(field, nested):
    lo, hi = _count_or_none(field.min_length), _count_or_none(field.max_length)
    email = False

    def covered(v):
        nonlocal email
        kind = type(v)
        if kind is django_validators.ProhibitNullCharactersValidator \
                or kind is ProhibitSurrogateCharactersValidator:
            return True
        if kind is django_validators.EmailValidator:
            email = True
            return True
        return _covered_lengths(v, lo, hi)

    python_validators = _uncovered(field, covered)
    plan = {"type": "char", "allow_blank": bool(field.allow_blank),
            "trim_whitespace": bool(field.trim_whitespace), "email": email,
            "max_length": hi, "min_length": lo}
    return plan, python_validators
