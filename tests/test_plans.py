"""Plans shared by the instances of a class: which classes share them, that
they keep nothing of an instance alive, when they are dropped, and that an
instance's fields are built only when Python code needs one."""

import gc
import weakref

import pytest
from django.test import override_settings
from rest_framework import fields as drf_fields
from rest_framework import serializers as s

from quorvel_core import explain, plans
from quorvel_core._quorvel_core import CompiledSerializer
from tests.project.shop.models import Author, Book, Publisher

from .dropin_support import installed


class Plain(s.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class Loud(s.CharField):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)


class OwnFields(Plain):
    def get_fields(self):
        return super().get_fields()


class OwnInit(Plain):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)


class WithLoud(s.Serializer):
    a = Loud()


class FolderChoices(s.Serializer):
    path = s.FilePathField(path=".")


class Books(s.ModelSerializer):
    class Meta:
        model = Book
        fields = ["title", "pages"]


class Nested(s.Serializer):
    inner = OwnFields()
    c = s.IntegerField()


@pytest.mark.parametrize("cls, reason", [
    (Plain, None),
    (Books, None),
    (Nested, None),  # its nested serializer is left to DRF, the class still shares
    (OwnFields, "get_fields is overridden by OwnFields"),
    (OwnInit, "__init__ is overridden by OwnInit"),
    (WithLoud, "field 'a' of WithLoud: __init__ is overridden by Loud"),
    (FolderChoices, "field 'path' of FolderChoices: its choices are made when the field is built"),
])
def test_which_classes_share_plans(cls, reason):
    assert plans.reuse_reason(cls) == reason
    line = explain(cls()).splitlines()[1]
    if reason is None:
        assert line == f"  plans: compiled once for {cls.__name__}, shared by all its instances"
    else:
        assert line == f"  plans: compiled per instance, since {reason}"


@pytest.mark.parametrize("make, answer", [
    (lambda: Plain({"a": 1, "b": "x"}), {"a": 1, "b": "x"}),
    (lambda: Plain(data={"a": "1", "b": "x"}), {"a": 1, "b": "x"}),
    (lambda: Plain(data={"a": "1"}), {"a": 1}),  # an optional key left out
    (lambda: Plain(data={"b": "x"}, partial=True), {"b": "x"}),
    (lambda: Books(data={"title": "t", "pages": "3"}), {"title": "t", "pages": 3}),
])
def test_native_values_build_no_field_objects(make, answer):
    with installed(True):
        for _ in range(2):  # the first instance compiles, the second reuses
            serializer = make()
            if hasattr(serializer, "initial_data"):
                assert serializer.is_valid() and serializer.validated_data == answer
            else:
                assert serializer.data == answer
            assert "fields" not in serializer.__dict__


def test_a_field_is_built_when_python_must_run():
    with installed(True):
        serializer = Plain(data={"b": "x"})  # 'a' missing: DRF's field reports it
        assert not serializer.is_valid()
        assert "fields" in serializer.__dict__
        assert serializer.errors["a"][0].code == "required"


def test_plans_keep_no_instance_alive():
    class Context(dict):
        pass

    with installed(True):
        context = Context(request=object())
        serializer = Plain({"a": 1, "b": "x"}, context=context)
        assert serializer.data == {"a": 1, "b": "x"}
        assert Plain(data={"b": "x"}, context=context).is_valid() is False
        refs = weakref.ref(serializer), weakref.ref(context)
        del serializer, context
        gc.collect()
        assert [ref() for ref in refs] == [None, None]


def test_a_collected_class_leaves_the_cache():
    with installed(True):
        cls = type("Temporary", (Plain,), {})
        assert cls({"a": 1}).data == {"a": 1}
        assert cls in plans.cached_classes()
        ref = weakref.ref(cls)
        del cls
        gc.collect()
        assert ref() is None
        assert all(c.__name__ != "Temporary" for c in plans.cached_classes())


def test_a_setting_change_drops_every_plan():
    with installed(True):
        assert Plain({"a": 1}).data == {"a": 1}
        assert Plain in plans.cached_classes()
        with override_settings(USE_THOUSAND_SEPARATOR=True):
            assert plans.cached_classes() == []


def test_a_shared_plan_needs_the_serializer_for_python():
    plan = CompiledSerializer([{"name": "a", "repr": {"type": "python"}}], [])
    with pytest.raises(TypeError, match="pass the serializer it runs for as 'serializer'"):
        plan.to_representation({"a": 1})
    field = drf_fields.IntegerField()
    field.bind("a", Plain())
    out = plan.to_representation({"a": 1}, None, type("Holder", (), {"fields": {"a": field}})())
    assert out == {"a": 1}


class PublisherWrite(s.ModelSerializer):
    class Meta:
        model = Publisher
        fields = ["id", "name"]


class AuthorWithBooks(s.ModelSerializer):
    books = Books(many=True, required=False)

    class Meta:
        model = Author
        fields = ["id", "name", "books"]


def test_saving_needs_no_field_objects_and_keeps_drfs_nested_write_error(db):
    with installed(True):
        serializer = PublisherWrite(data={"name": "Ink"})
        assert serializer.is_valid()
        serializer.save()
        assert serializer.data == {"id": serializer.instance.pk, "name": "Ink"}
        assert "fields" not in serializer.__dict__
    errors = []
    for state in (False, True):
        with installed(state):
            serializer = AuthorWithBooks(data={"name": "A", "books": [{"title": "t"}]})
            assert serializer.is_valid(), serializer.errors
            with pytest.raises(AssertionError) as exc:
                serializer.save()
            errors.append(str(exc.value))
    assert errors[0] == errors[1] and "writable nested" in errors[0]


class Defaults(s.Serializer):
    a = s.IntegerField(required=False)
    b = s.IntegerField(default=5)
    c = s.ListField(child=s.IntegerField(), required=False)
    d = s.CharField(required=False, allow_blank=True)


@pytest.mark.parametrize("partial", [False, True])
def test_absent_keys_give_drfs_answer(partial):
    answers = []
    for state in (False, True):
        with installed(state):
            serializer = Defaults(data={"d": ""}, partial=partial)
            answers.append((serializer.is_valid(), serializer.validated_data))
    assert answers[0] == answers[1] == (True, {"d": ""} if partial else {"b": 5, "d": ""})


class BookUid(s.ModelSerializer):
    class Meta:
        model = Book
        fields = ["uid", "title"]


def test_uniqueness_checks_run_without_the_field_objects(db):
    taken = Book.objects.create(title="kept")
    fresh = "12345678-1234-5678-1234-567812345678"
    cases = [({"uid": fresh, "title": "new"}, None), ({"uid": str(taken.uid), "title": "x"}, None),
             ({"uid": str(taken.uid), "title": "same"}, taken)]
    answers = []
    for state in (False, True):
        with installed(state):
            run = []
            for data, instance in cases:
                serializer = BookUid(instance, data=data)
                run.append((serializer.is_valid(), serializer.errors, "fields" in vars(serializer)))
            answers.append(run)
    assert [a[:2] for a in answers[0]] == [a[:2] for a in answers[1]]
    assert answers[0][1][1]["uid"][0].code == answers[1][1][1]["uid"][0].code == "unique"
    assert [built for _, _, built in answers[1]] == [False, False, False]
