"""Serializer and field classes changed after their first use, as test suites
do with mock.patch and projects by hand: with install() on and the class's
plans already in use, the next call must give what plain DRF gives for the
class as it is then, and again once the change is undone."""

from contextlib import contextmanager
from unittest import mock

import pytest
from django.core.validators import MinLengthValidator
from rest_framework import serializers as s

import quorvel_core
from tests.project.shop.models import Publisher

from .dropin_support import installed
from .read_support import assert_same, outcome


class PublisherOut(s.ModelSerializer):
    class Meta:
        model = Publisher
        fields = ["name"]


A_CHECKS = []  # DRF hands this very list to every instance's field


class Plain(s.Serializer):
    a = s.CharField(max_length=5, validators=A_CHECKS)
    b = s.IntegerField(required=False)


class Holder(s.Serializer):
    publisher = PublisherOut()
    items = Plain(many=True)


PUBLISHER = Publisher(id=7, name="ann", website="https://a.example")
ITEM = {"a": "x", "b": 5}


@contextmanager
def by_hand(set_, undo):
    set_()
    try:
        yield
    finally:
        undo()


def _set_item(mapping, key, value):
    missing = object()
    old = mapping.get(key, missing)

    def undo():
        if old is missing:
            mapping.pop(key, None)
        else:
            mapping[key] = old
    return by_hand(lambda: mapping.__setitem__(key, value), undo)


def _drop_item(mapping, key):
    old = mapping[key]
    return by_hand(lambda: mapping.pop(key), lambda: mapping.__setitem__(key, old))


def _append(sequence, value):
    return by_hand(lambda: sequence.append(value), lambda: sequence.remove(value))


CHANGES = {
    "Meta.fields patched": lambda: mock.patch.object(PublisherOut.Meta, "fields",
                                                     ["website", "name"]),
    "Meta.fields appended to": lambda: _append(PublisherOut.Meta.fields, "website"),
    "Meta.exclude": lambda: mock.patch.multiple(PublisherOut.Meta, fields=None,
                                                exclude=["id"], create=True),
    "Meta.extra_kwargs": lambda: mock.patch.object(
        PublisherOut.Meta, "extra_kwargs", {"name": {"write_only": True}}, create=True),
    "Meta.read_only_fields": lambda: mock.patch.object(
        PublisherOut.Meta, "read_only_fields", ["name"], create=True),
    "_declared_fields entry added": lambda: _set_item(
        Plain._declared_fields, "c", s.CharField(source="a", required=False)),
    "_declared_fields entry replaced": lambda: _set_item(
        Plain._declared_fields, "b", s.CharField(required=False)),
    "_declared_fields entry removed": lambda: _drop_item(Plain._declared_fields, "a"),
    "get_fields patched": lambda: mock.patch.object(
        Plain, "get_fields", lambda self: {"b": s.IntegerField(required=False)}, create=True),
    "to_representation patched": lambda: mock.patch.object(
        Plain, "to_representation", lambda self, item: {"patched": item["a"]}),
    "to_internal_value patched": lambda: mock.patch.object(
        Plain, "to_internal_value", lambda self, data: {"patched": data.get("a")}),
    "validate_<name> added": lambda: mock.patch.object(
        Plain, "validate_a", lambda self, value: value.upper(), create=True),
    "DRF field class method": lambda: mock.patch.object(
        s.IntegerField, "to_representation", lambda self, value: f"#{value}"),
    "DRF field class message": lambda: mock.patch.dict(
        s.CharField.default_error_messages, {"max_length": "too long: {max_length}"}),
    "declared field's validators appended to": lambda: _append(
        A_CHECKS, MinLengthValidator(2)),
    "model field patched": lambda: mock.patch.object(
        Publisher._meta.get_field("name"), "max_length", 1),
    "ModelSerializer field mapping": lambda: _set_item(
        s.ModelSerializer.serializer_field_mapping, Publisher._meta.get_field("name").__class__,
        s.ReadOnlyField),
}

CALLS = {
    "one object": lambda: PublisherOut(PUBLISHER).data,
    "one payload": lambda: _validated(Plain(data={"a": "toolong", "b": "3"})),
    "valid payload": lambda: _validated(Plain(data=ITEM)),
    "list of 3": lambda: Plain([ITEM] * 3, many=True).data,
    "list payload": lambda: _validated(Plain(data=[ITEM, {"a": "toolong"}, ITEM], many=True)),
    "nested": lambda: Holder({"publisher": PUBLISHER, "items": [ITEM] * 3}).data,
    "nested payload": lambda: _validated(Holder(data={
        "publisher": {"name": "bo"}, "items": [ITEM, {"a": "toolong"}, {"a": "y"}]})),
}


def _validated(serializer):
    valid = serializer.is_valid()
    return valid, serializer.errors, serializer.validated_data if valid else None


def _same(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert_same(got[1], want[1])
    else:
        assert got[1] == want[1]


@pytest.mark.parametrize("change", CHANGES)
def test_change_after_first_use(change):
    with installed(True):
        for call in CALLS.values():
            call(), call()  # the plans are compiled and in use
        with CHANGES[change]():
            changed = {name: outcome(call) for name, call in CALLS.items()}
        restored = {name: outcome(call) for name, call in CALLS.items()}
    with installed(False):
        with CHANGES[change]():
            want_changed = {name: outcome(call) for name, call in CALLS.items()}
        want_restored = {name: outcome(call) for name, call in CALLS.items()}
    assert changed.keys() == want_changed.keys()
    for name in CALLS:
        _same(changed[name], want_changed[name])
        _same(restored[name], want_restored[name])


def test_plans_are_kept_while_nothing_changes():
    with installed(True):
        Plain(ITEM).data
        first = quorvel_core.plans._plans[Plain]
        for _ in range(3):
            Plain(ITEM).data
            s.CharField()  # DRF counts its fields in a class attribute: not a change
        assert quorvel_core.plans._plans[Plain] is first


@pytest.mark.parametrize("name, counted", [
    ("_creation_counter", False), ("creation_counter", False), ("creation_count", True)])
def test_instance_counters_are_not_changes(name, counted):
    # DRF's and Django's fields and managers bump a class counter per instance
    # made, a save included: were those changes, no plan would stay kept.
    from quorvel_core import _quorvel_core as native

    watched = type("Watched", (), {name: 0})
    native.watch((watched,))
    before = native.changes()
    setattr(watched, name, 1)
    assert (native.changes() != before) is counted


@pytest.mark.parametrize("change, counted", [
    ("collect a class", False), ("clear a dict", True), ("delete a class attribute", True)])
def test_a_collected_class_is_not_a_change(change, counted):
    # The collector clears a freed class's dict; a serializer class made per
    # request and then freed must not drop every kept decision.
    import gc

    from quorvel_core import _quorvel_core as native

    watched = type("Watched", (), {"a": 1})
    extra = {"a": 1}
    native.watch((watched, extra))
    before = native.changes()
    if change == "collect a class":
        del watched
        gc.collect()
    elif change == "clear a dict":
        extra.clear()
    else:
        del watched.a
    assert (native.changes() != before) is counted
