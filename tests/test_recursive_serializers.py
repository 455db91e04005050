"""Serializers that nest themselves, directly or through others, against plain
DRF at several depths of data: one object, lists, and validation with an
error at the deepest level. DRF builds each level's fields lazily, so a tree
works at any depth there; with install() the answers must be DRF's, and a
RecursionError may come only where DRF's own code raises one."""

import sys

import pytest
from rest_framework import serializers as s

import quorvel_core
from tests.project.shop.models import Category

from .dropin_support import installed
from .read_support import assert_same, outcome


class ByGetFields(s.Serializer):
    label = s.CharField(max_length=10)

    def get_fields(self):
        fields = super().get_fields()
        fields["children"] = ByGetFields(many=True, required=False)
        return fields


class ByDeclaredFields(s.Serializer):
    label = s.CharField(max_length=10)


ByDeclaredFields._declared_fields["children"] = ByDeclaredFields(many=True, required=False)


class Outer(s.Serializer):
    label = s.CharField(max_length=10)


class Inner(s.Serializer):
    label = s.CharField(max_length=10)
    children = Outer(many=True, required=False)


Outer._declared_fields["children"] = Inner(many=True, required=False)


class Lazy(s.Field):
    """The recursive-field packages' pattern: a field that makes its
    parent's serializer class only once it is bound, and hands DRF's calls
    and attribute lookups to it."""

    PROXIED = ("get_value", "get_attribute", "run_validation", "to_representation",
               "required", "default", "source_attrs")

    def __init__(self, **kwargs):
        self.init_kwargs = kwargs
        self.proxied = None
        super().__init__(**kwargs)

    def bind(self, field_name, parent):
        super().bind(field_name, parent)
        owner = parent.parent if isinstance(parent, s.ListSerializer) else parent
        self.proxied = type(owner)(many=True, **self.init_kwargs)
        self.proxied.bind(field_name, parent)

    def __getattribute__(self, name):
        if name in Lazy.PROXIED:
            proxied = object.__getattribute__(self, "proxied")
            if proxied is not None:
                return getattr(proxied, name)
        return object.__getattribute__(self, name)


class ByLazyField(s.Serializer):
    label = s.CharField(max_length=10)
    children = Lazy(required=False)


class CategoryTree(s.ModelSerializer):
    class Meta:
        model = Category
        fields = ["id", "name", "children"]

    def get_fields(self):
        fields = super().get_fields()
        fields["children"] = CategoryTree(many=True, read_only=True)
        return fields


FORMS = [ByGetFields, ByDeclaredFields, Outer, ByLazyField]


def tree(depth, bad=False):
    """A chain `depth` levels deep below the root, with two leaves beside
    each link (three children: enough for a list to run natively); with
    `bad`, the deepest label is too long."""
    node = {"label": "x" * 11 if bad else "end", "children": []}
    for level in range(depth):
        leaves = [{"label": f"{level}{side}", "children": []} for side in "ab"]
        node = {"label": str(level), "children": leaves + [node]}
    return node


def drf_answer(call):
    """Plain DRF's outcome, and its outcome with room for any depth: the
    answer a RecursionError stands in for."""
    with installed(False):
        at_limit = outcome(call)
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(20_000)
        try:
            unlimited = outcome(call)
        finally:
            sys.setrecursionlimit(limit)
    return at_limit, unlimited


def assert_drfs(call):
    at_limit, unlimited = drf_answer(call)
    assert unlimited[0] == "ok" or unlimited[1][0] is not RecursionError
    with installed(True):
        got = outcome(call)
    if got[0] == "raised" and got[1][0] is RecursionError:
        assert at_limit == got, "a RecursionError that DRF does not raise"
    elif got[0] == "ok":
        assert_same(got[1], unlimited[1])
    else:
        assert got == unlimited


@pytest.mark.parametrize("depth", [0, 1, 5, 200])
@pytest.mark.parametrize("form", FORMS, ids=lambda c: c.__name__)
def test_one_object_and_its_validation(form, depth):
    assert_drfs(lambda: form(tree(depth)).data)
    for bad in (False, True):
        data = tree(depth, bad)

        def validate():
            serializer = form(data=data)
            return serializer.is_valid(), serializer.errors, serializer.validated_data
        assert_drfs(validate)


@pytest.mark.parametrize("count", [1, 3, 1000])
@pytest.mark.parametrize("form", FORMS, ids=lambda c: c.__name__)
def test_lists(form, count):
    items = [tree(index % 4) for index in range(count)]
    assert_drfs(lambda: form(items, many=True).data)
    items[-1] = tree(3, bad=True)

    def validate():
        serializer = form(data=items, many=True)
        return serializer.is_valid(), serializer.errors
    assert_drfs(validate)


def test_model_tree_list(db):
    root = Category.objects.create(name="root")
    for name in "abc":
        child = Category.objects.create(name=name, parent=root)
        Category.objects.create(name=name * 2, parent=child)
    assert_drfs(lambda: CategoryTree(Category.objects.order_by("id"), many=True).data)


def test_explain_ends():
    for form in FORMS:
        text = quorvel_core.explain(form(tree(1)))
        assert text.startswith(form.__name__)
