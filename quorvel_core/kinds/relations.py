"""ManyRelatedField (`many=True` of a related field) over a
PrimaryKeyRelatedField, on the read side.

DRF represents each related object by its child's to_representation, which
for a PrimaryKeyRelatedField without a pk_field is the object's `pk`; the
pk_many kind reads the primary keys of the related objects itself. Other
related fields, and a child with a pk_field, stay with DRF. StringRelatedField
is represented as text, by the kind in `text`.
"""

from rest_framework import relations as drf_relations


def _repr_pk_many(field, nested):
    child = field.child_relation
    if type(child).to_representation is drf_relations.PrimaryKeyRelatedField.to_representation \
            and child.pk_field is None:
        return {"type": "pk_many"}
    return None
