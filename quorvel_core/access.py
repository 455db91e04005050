"""Value-access plans: the "get" entry of a read field.

A native chain is only built where its answer is certain to be the one DRF's
`get_attribute` gives. What the source raises on the way goes to the
`source_failed` hook, which ends it as `Field.get_attribute` does without
walking the source again. What the chain cannot decide (a related manager that
is not prefetched, a mapping test that fails) goes back to the field's own
`get_attribute`, which walks the whole source again; so every step but the last
must be free of user code (relation descriptors only, whose second walk reads
Django's caches), while the last step may be any attribute, property or method.
"""

import inspect
import weakref
from typing import Any

from django.core.exceptions import FieldDoesNotExist
from django.db import models
from django.db.models.fields import related_descriptors as descriptors
from django.db.models.fields.reverse_related import ManyToManyRel, ManyToOneRel, OneToOneRel
from django.db.models.query_utils import DeferredAttribute
from rest_framework.fields import Field, ModelField
from rest_framework.relations import (
    HyperlinkedIdentityField, HyperlinkedRelatedField, ManyRelatedField,
    PrimaryKeyRelatedField, RelatedField,
)

from .schema_keys import (
    AttrsGet, ForwardStep, ManyGet, ManyStep, PkAttnameGet, RelationStep, ReverseOneStep, StarGet,
)
from .snapshot import kept

# How a field class obtains its value, decided by which DRF get_attribute it runs.
PLAIN = "plain"              # Field.get_attribute: the source chain
RELATED = "related"          # RelatedField.get_attribute: the chain, or the pk shortcut
MANY_RELATED = "many"        # ManyRelatedField.get_attribute
WHOLE = "whole"              # ModelField.get_attribute: the instance itself

_PK_SHORTCUT_TESTS = {
    RelatedField.use_pk_only_optimization,
    PrimaryKeyRelatedField.use_pk_only_optimization,
    HyperlinkedRelatedField.use_pk_only_optimization,
    HyperlinkedIdentityField.use_pk_only_optimization,
}

_FORWARD_DESCRIPTORS = (
    descriptors.ForwardManyToOneDescriptor, descriptors.ForwardOneToOneDescriptor,
)


def access_kind(cls):
    """The access kind of a field class, or None when it runs its own code."""
    get_attribute = cls.get_attribute
    if get_attribute is Field.get_attribute:
        return PLAIN
    if get_attribute is RelatedField.get_attribute:
        return RELATED if cls.use_pk_only_optimization in _PK_SHORTCUT_TESTS else None
    if get_attribute is ManyRelatedField.get_attribute:
        return MANY_RELATED
    if get_attribute is ModelField.get_attribute:
        return WHOLE
    return None


def chain_plan(source_attrs, model, *, many_last) -> AttrsGet | StarGet | None:
    """The "attrs" plan for a source chain, or None for the python form.

    `model` is the class the instances are expected to be (None when unknown:
    then only a one-step chain is safe). `many_last` allows a to-many relation
    as the last step, read from the prefetch cache; only fields that iterate
    the related manager anyway may have it, since DRF hands every other field
    the manager itself.

    """
    if not source_attrs:
        return {"type": "star"}
    if model is None:
        return {"type": "attrs", "attrs": list(source_attrs)} if len(source_attrs) == 1 else None
    steps = []
    last = len(source_attrs) - 1
    for index, name in enumerate(source_attrs):
        relation = relation_step(model, name) if model is not None else None
        if relation is not None:
            step, to_many, model = relation
            if not to_many or (index == last and many_last):
                steps.append(step)
                continue
        if index != last:
            return None
        steps.append(name)
    return {"type": "attrs", "attrs": steps}


def many_plan(source_attrs, model) -> ManyGet | None:
    """The "many" plan of a ManyRelatedField: its single source step must be a
    to-many relation of the instance's own model, so that the cache test of the
    instance's primary key is the test DRF makes (an unsaved instance has no
    relations)."""
    if model is None or len(source_attrs) != 1:
        return None
    relation = relation_step(model, source_attrs[0])
    if relation is None or not relation[1]:
        return None
    return {"type": "many", "attrs": [relation[0]]}


def pk_attname_plan(source_attrs, model) -> PkAttnameGet | None:
    """The "pk_attname" plan for a primary-key related field: DRF reads the
    foreign key's column through `serializable_value`, which for a forward
    relation is the attribute named by the field's attname."""
    if model is None or len(source_attrs) != 1:
        return None
    if model.serializable_value is not models.Model.serializable_value:
        return None
    field = _model_field(model, source_attrs[0])
    if field is None or not _is_forward(model, field):
        return None
    attname = field.attname
    column = inspect.getattr_static(model, attname, None)
    # Reading the instance dict is what the column descriptor does itself.
    from_dict = type(column).__get__ is DeferredAttribute.__get__
    return {"type": "pk_attname", "attname": attname, "from_dict": from_dict}


# {model: {name: (step or None, Snapshot)}}: decided once per relation, and
# again when a model class it read (or a base) changes.
_relations = weakref.WeakKeyDictionary()


def relation_step(model, name):
    """(step, to_many, related model) for a relation `name` of `model` whose
    caches the native chain may read, or None."""
    per_model = _relations.get(model)
    if per_model is None:
        per_model = _relations.setdefault(model, {})
    return kept(per_model, name, lambda recorder: _decide_step(model, name, recorder))


def _decide_step(model, name, recorder):
    recorder.add_class(model)
    step = _relation_step(model, name)
    if step is not None and isinstance(step[2], type):
        recorder.add_class(step[2])
    return step


def _relation_step(model, name) -> tuple[RelationStep, bool, Any] | None:
    field = _model_field(model, name)
    if field is None:
        return None
    if _is_forward(model, field):
        if field.name != name:
            return None  # the column's attname: get_field() finds the relation by it too
        forward: ForwardStep = {"kind": "forward", "cache_name": field.cache_name,
                                "null": bool(field.null), "name": name, "model": model}
        return forward, False, field.related_model
    descriptor = inspect.getattr_static(model, name, None)
    if type(field) is OneToOneRel and type(descriptor) is descriptors.ReverseOneToOneDescriptor:
        if field.get_accessor_name() != name:
            return None
        reverse_one: ReverseOneStep = {"kind": "reverse_one", "cache_name": field.cache_name,
                                       "name": name, "model": model}
        return reverse_one, False, field.related_model
    required = _many_required(model, field, name, descriptor)
    if required is None:
        return None
    cache_name, required = required
    many: ManyStep = {"kind": "many", "cache_name": cache_name, "required": required,
                      "name": name, "model": model}
    return many, True, field.related_model


def _many_required(model, field, name, descriptor):
    """(prefetch cache name, attributes the related manager needs set), or None."""
    if getattr(model._meta, "is_composite_pk", False):
        return None
    if type(field) is ManyToOneRel:
        if type(descriptor) is not descriptors.ReverseManyToOneDescriptor:
            return None
        if field.get_accessor_name() != name:
            return None
        # The reverse manager refuses an instance without a primary key.
        return field.cache_name, ["pk"]
    if type(field) is models.ManyToManyField:
        reverse = False
        cache_name = field.name
        source = field.m2m_field_name()
    elif type(field) is ManyToManyRel:
        if field.get_accessor_name() != name:
            return None
        reverse = True
        cache_name = field.field.related_query_name()
        source = field.field.m2m_reverse_field_name()
    else:
        return None
    if type(descriptor) is not descriptors.ManyToManyDescriptor or descriptor.reverse != reverse:
        return None
    # The many-to-many manager also refuses an instance whose own side of the
    # through table's foreign key is unset.
    through = field.remote_field.through if not reverse else field.through
    source_field = through._meta.get_field(source)
    required = ["pk"]
    for _, target in source_field.related_fields:
        if not target.primary_key:
            required.append(target.attname)
    return cache_name, required


def _model_field(model, name):
    try:
        return model._meta.get_field(name)
    except FieldDoesNotExist:
        return None


def _is_forward(model, field):
    if not (field.concrete and field.is_relation and (field.many_to_one or field.one_to_one)):
        return False
    return type(inspect.getattr_static(model, field.name, None)) in _FORWARD_DESCRIPTORS
