"""install() and uninstall(), the Django app that calls install(), and how the
compiler sees the accelerated methods."""

import random
import threading

import pytest
from rest_framework import serializers as s

import quorvel_core
from quorvel_core import compile_serializer, installation, kinds
from quorvel_core import serializers as fast

from . import companion_cases as cases
from .dropin_support import installed
from .helpers import run_isolated

METHODS = [(cls, name, drf) for cls, name, drf, _ in installation._METHODS]


def current():
    return [vars(cls)[name] for cls, name, _ in METHODS]


def test_install_and_uninstall_switch_every_method_and_are_idempotent():
    with installed(False):
        drf = current()
        assert drf == [method for _, _, method in METHODS]
        assert quorvel_core.install() is True and quorvel_core.install() is False
        assert quorvel_core.is_installed()
        accelerated = current()
        assert all(a is not d for a, d in zip(accelerated, drf))
        assert quorvel_core.uninstall() is True and quorvel_core.uninstall() is False
        assert current() == drf and not quorvel_core.is_installed()


def test_concurrent_switching_leaves_a_consistent_state():
    with installed(False):
        drf = current()
        barrier = threading.Barrier(8)

        def worker(seed):
            rng = random.Random(seed)
            barrier.wait()
            for _ in range(300):
                rng.choice([quorvel_core.install, quorvel_core.uninstall])()

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        methods = current()
        if quorvel_core.is_installed():
            assert all(m is not d for m, d in zip(methods, drf))
        else:
            assert methods == drf


def test_a_method_replaced_by_someone_else_is_left_alone():
    def theirs(self, data):
        return {"theirs": data}

    with installed(False):
        s.Serializer.to_internal_value = theirs
        try:
            quorvel_core.install()
            assert vars(s.Serializer)["to_internal_value"] is theirs
            assert (vars(s.ListSerializer)["to_representation"]
                    is fast.installed_list_to_representation)
            quorvel_core.uninstall()
            assert vars(s.Serializer)["to_internal_value"] is theirs
        finally:
            s.Serializer.to_internal_value = fast.DRF_TO_INTERNAL_VALUE


class Pair(s.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class OwnLoop(Pair):
    def to_internal_value(self, data):
        return {"own": super().to_internal_value(data)}


class FastPair(fast.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class CustomBase(s.Serializer):
    a = s.IntegerField()

    def to_internal_value(self, data):
        return {"custom": dict(data)}


class MixinOverCustom(fast.SerializerMixin, CustomBase):
    pass


@pytest.mark.parametrize("state", [False, True])
def test_a_class_that_overrides_keeps_its_own(state):
    with installed(state):
        serializer = OwnLoop(data={"a": "1"})
        assert serializer.is_valid(), serializer.errors
        assert serializer.validated_data == {"own": {"a": 1}}
        assert quorvel_core.build_schema(OwnLoop())[1] is None
        serializer = MixinOverCustom(data={"a": "x"})
        assert serializer.is_valid() and serializer.validated_data == {"custom": {"a": "x"}}
        assert quorvel_core.build_schema(MixinOverCustom())[1] is None


@pytest.mark.parametrize("state", [False, True])
@pytest.mark.parametrize("name", ["Book", "AllFields", "Author"])
def test_the_compiler_sees_through_the_accelerated_methods(state, name):
    """A serializer on the accelerated classes, or on DRF's while installed,
    compiles to the plans of the plain DRF one."""
    with installed(False):
        expected = compile_serializer(cases.serializers()[name]).describe()
    with installed(state):
        plain = cases.serializers()[name]
        mixed = type(name, (fast.SerializerMixin, type(plain)), {})()
        listed = fast.ListSerializer(child=type(plain)())
        for serializer in (plain, mixed, listed):
            assert compile_serializer(serializer).describe() == expected


@pytest.mark.parametrize("state", [False, True])
def test_class_attribute_sees_drfs_methods_through_the_accelerated_ones(state):
    with installed(state):
        for cls in (s.Serializer, s.ModelSerializer, fast.Serializer, fast.ModelSerializer, Pair):
            assert kinds.class_attribute(cls, "to_internal_value") is fast.DRF_TO_INTERNAL_VALUE
        for cls in (s.ListSerializer, fast.ListSerializer):
            assert (kinds.class_attribute(cls, "to_representation")
                    is fast.DRF_LIST_TO_REPRESENTATION)
        assert kinds.class_attribute(OwnLoop, "to_internal_value") is vars(OwnLoop)[
            "to_internal_value"]
        assert kinds.class_attribute(MixinOverCustom, "to_internal_value") is vars(CustomBase)[
            "to_internal_value"]


def test_accelerated_methods_carry_drfs_docs():
    for cls, name, drf, accelerated in installation._METHODS + installation._ORM_METHODS:
        assert accelerated.__doc__ == drf.__doc__


APP = """
import django
from django.conf import settings
settings.configure(INSTALLED_APPS=["django.contrib.contenttypes", "django.contrib.auth",
                                   "rest_framework", "quorvel_core"]{extra})
django.setup()
import quorvel_core
from rest_framework import renderers
from django.db.models.query import ModelIterable
print(quorvel_core.is_installed(), renderers.JSONRenderer.render.__module__,
      ModelIterable.__iter__.__module__)
"""


@pytest.mark.parametrize("extra, expected", [
    ("", "False rest_framework.renderers django.db.models.query"),
    (", QUORVEL_CORE_INSTALL=True", "True quorvel_core.installation quorvel_core.rows"),
    (", QUORVEL_CORE_INSTALL=True, QUORVEL_CORE_ORM=False",
     "True quorvel_core.installation django.db.models.query"),
    (", QUORVEL_CORE_INSTALL=False", "False rest_framework.renderers django.db.models.query"),
])
def test_the_app_installs_on_its_setting(extra, expected):
    assert run_isolated(APP.format(extra=extra)).strip() == expected
