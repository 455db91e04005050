"""BooleanField.

DRF looks the value up in TRUE_VALUES, FALSE_VALUES and NULL_VALUES (text
lowered first, by `_lower_if_str`) on both sides. Validation is native only
with DRF's own three sets, which the native kind holds; representation is
native while the field's sets still read True as true and False as false.
"""

from rest_framework import fields as drf_fields

from .bounds import _none, _uncovered


def _repr_bool(field, nested):
    values = field.TRUE_VALUES, field.FALSE_VALUES
    if True in values[0] and False not in values[0] and False in values[1]:
        return {"type": "bool"}
    return None


def _val_bool(field, nested):
    defaults = drf_fields.BooleanField
    if (field.TRUE_VALUES != defaults.TRUE_VALUES or field.FALSE_VALUES != defaults.FALSE_VALUES
            or field.NULL_VALUES != defaults.NULL_VALUES):
        return None
    return {"type": "bool", "allow_null": bool(field.allow_null)}, _uncovered(field, _none)
