"""ChoiceField and the subclasses that keep its methods (FilePathField).

Both sides read the field's `choice_strings_to_values` map, keyed by the
text of each choice: representation gives '' and None as they are and
otherwise the mapped value, or the value itself when it is no choice;
validation accepts '' when allow_blank and otherwise the mapped value of
the input's text, refusing the rest with DRF's invalid_choice message. An
Enum member whose text differs from its value's is looked up by its value.
"""

from .bounds import _none, _uncovered


def _repr_choice(field, nested):
    choices = field.choice_strings_to_values
    return {"type": "choice", "map": choices} if isinstance(choices, dict) else None


def _val_choice(field, nested):
    choices = field.choice_strings_to_values
    if not isinstance(choices, dict):
        return None
    plan = {"type": "choice", "map": choices, "allow_blank": bool(field.allow_blank)}
    return plan, _uncovered(field, _none)
