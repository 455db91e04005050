"""ListField, DictField (and HStoreField) and JSONField.

A list or dict is represented item by item with its child field's own kind,
as DRF calls `child.to_representation` on each item and keeps None items as
None (a dict's keys as their text). A ListField validates natively only when
its child does so wholly, with no Python validators: the list kind refuses
text, mappings and non-iterables, checks allow_empty and the length bounds,
and runs the child's kind on each item, collecting the errors by index as
run_child_validation does. A DictField or JSONField validates in DRF's code.
A JSONField's value is represented as it is, unless the field is binary.
"""

from . import PYTHON, repr_plan, val_plan
from .bounds import _count_or_none, _covered_lengths, _uncovered


def _repr_list(field, nested):
    return {"type": "list", "child": repr_plan(field.child, nested), "child_field": field.child}


def _repr_dict(field, nested):
    return {"type": "dict", "child": repr_plan(field.child, nested), "child_field": field.child}


def _repr_json(field, nested):
    return None if field.binary else {"type": "passthrough"}


def _val_list(field, nested):
    child = field.child
    child_val, child_python = val_plan(child, nested)
    # The native list runs the child's kind on each item and nothing else.
    if child_val["type"] == PYTHON or child_python:
        return None
    lo, hi = _count_or_none(field.min_length), _count_or_none(field.max_length)
    plan = {"type": "list", "child": child_val, "child_allow_null": bool(child.allow_null),
            "allow_empty": bool(field.allow_empty), "max_length": hi, "min_length": lo}
    return plan, _uncovered(field, lambda v: _covered_lengths(v, lo, hi))
