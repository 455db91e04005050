"""The module's face: attributes, classes, docs, and argument binding."""

import inspect
import json

import pytest

from quorvel_core import _quorvel_core as native

from .helpers import LOAD_NATIVE, run_isolated

CS = native.CompiledSerializer


def test_attributes_in_order():
    names = [n for n in vars(native) if not n.startswith("__") or n == "__version__"]
    assert names == [
        "__version__", "STATUS_OK", "STATUS_SKIP", "STATUS_ERROR", "CompiledSerializer",
        "JsonFallback", "ModelRows", "configure", "is_configured", "to_json", "from_json",
        "_parse_body", "watch", "changes", "configure_rows", "cursor_converter",
        "configure_queryset_chain", "deferred_filter", "chained", "configure_prefetch",
        "reverse_level", "many_level", "related_by_key", "filter_keys", "level_keys",
        "cache_reverse", "_fail_allocations",
    ]
    assert native.__version__ == "0.1.0"
    assert (native.STATUS_OK, native.STATUS_SKIP, native.STATUS_ERROR) == (0, 1, 2)
    assert all(type(v) is int for v in (native.STATUS_OK, native.STATUS_SKIP, native.STATUS_ERROR))


def test_json_fallback_class():
    jf = native.JsonFallback
    assert jf.__mro__ == (jf, Exception, BaseException, object)
    assert (jf.__module__, jf.__name__) == ("_quorvel_core", "JsonFallback")


def test_compiled_serializer_class():
    assert (CS.__module__, CS.__name__) == ("quorvel_core._quorvel_core", "CompiledSerializer")
    methods = [n for n, v in vars(CS).items() if callable(v) and not n.startswith("__")]
    assert methods == ["to_representation", "to_representation_many", "to_internal_value", "describe",
                       "_take_plans"]
    with pytest.raises(TypeError):
        type("Sub", (CS,), {})
    with pytest.raises(TypeError):
        CS.extra = 1
    assert CS.__dictoffset__ == 0 and CS.__weakrefoffset__ == 0


@pytest.mark.parametrize("func, signature", [
    (native.to_json, "(obj, *, ensure_ascii=True, compact=True, allow_nan=False, default=None)"),
    (native.from_json, "(data, *, allow_nan=False)"),
    (native.configure,
     "(*, empty, skip_field, object_does_not_exist, pk_only_object, manager_class, "
     "dict_factory, resolve_callable, run_field, finish_field, source_failed=None)"),
    (native.is_configured, "()"),
    (CS, "(read_fields, write_fields)"),
    (CS.to_representation, "(self, /, instance, current_tz=None, serializer=None)"),
    (CS.to_representation_many, "(self, /, iterable, current_tz=None, serializer=None)"),
    (CS.to_internal_value, "(self, /, data, current_tz=None, serializer=None)"),
    (CS.describe, "(self, /)"),
])
def test_signatures(func, signature):
    assert str(inspect.signature(func)) == signature


def test_functions_belong_to_the_module():
    for f in (native.configure, native.is_configured, native.to_json, native.from_json):
        assert f.__module__ == native.__name__ == "quorvel_core._quorvel_core"


MISSING_ALL = (
    "configure() missing 9 required keyword arguments: 'empty', 'skip_field', "
    "'object_does_not_exist', 'pk_only_object', 'manager_class', 'dict_factory', "
    "'resolve_callable', 'run_field', and 'finish_field'"
)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: native.configure(), MISSING_ALL),
        (lambda: native.configure(1), "configure() takes 0 positional arguments but 1 was given"),
        (lambda: native.configure(empty=1, bogus=2), "configure() got an unexpected keyword argument 'bogus'"),
        (lambda: native.configure(empty=1),
         "configure() missing 8 required keyword arguments: 'skip_field', 'object_does_not_exist', "
         "'pk_only_object', 'manager_class', 'dict_factory', 'resolve_callable', 'run_field', "
         "and 'finish_field'"),
        (lambda: native.configure(**{k: 1 for k in ["empty", "skip_field", "object_does_not_exist",
                                                     "pk_only_object", "manager_class", "dict_factory",
                                                     "resolve_callable"]}),
         "configure() missing 2 required keyword arguments: 'run_field' and 'finish_field'"),
        (lambda: native.to_json(1, 2), "to_json() takes 1 positional arguments but 2 were given"),
        (lambda: native.to_json(), "to_json() missing 1 required positional argument: 'obj'"),
        (lambda: native.to_json(1, obj=1), "to_json() got multiple values for argument 'obj'"),
        (lambda: native.to_json(1, indent=2), "to_json() got an unexpected keyword argument 'indent'"),
        (lambda: native.from_json(b"1", True), "from_json() takes 1 positional arguments but 2 were given"),
        (lambda: CS(), "CompiledSerializer.__new__() missing 2 required positional arguments: "
                       "'read_fields' and 'write_fields'"),
        (lambda: CS([]), "CompiledSerializer.__new__() missing 1 required positional argument: 'write_fields'"),
        (lambda: CS([], [], []), "CompiledSerializer.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: CS([], read_fields=[]), "CompiledSerializer.__new__() got multiple values for argument 'read_fields'"),
        (lambda: CS((), []), "argument 'read_fields': 'tuple' object is not an instance of 'list'"),
        (lambda: CS([], None), "argument 'write_fields': 'None' is not an instance of 'list'"),
        (lambda: CS(1, None), "argument 'read_fields': 'int' object is not an instance of 'list'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_is_configured_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        native.is_configured(1)


def test_methods_reject_a_foreign_self():
    with pytest.raises(TypeError, match="CompiledSerializer"):
        CS.to_representation(object(), 1)


def test_configure_is_set_once():
    out = run_isolated(LOAD_NATIVE + """
import json
results = {"before": native.is_configured()}
class Skip(Exception): pass
args = dict(empty=object(), skip_field=Skip, object_does_not_exist=LookupError,
            pk_only_object=object, manager_class=object, dict_factory=dict,
            resolve_callable=print, run_field=print, finish_field=print)
try:
    native.configure(**dict(args, skip_field=Skip()))
except TypeError as e:
    results["instance_as_class"] = str(e)
results["after_type_error"] = native.is_configured()
for name in ["object_does_not_exist", "pk_only_object", "manager_class"]:
    try:
        native.configure(**dict(args, **{name: None}))
    except TypeError as e:
        results[name] = str(e)
results["first"] = native.configure(**args)
try:
    native.configure(**args)
except RuntimeError as e:
    results["second"] = str(e)
try:
    native.configure(**dict(args, manager_class=3))
except TypeError as e:
    results["second_bad"] = str(e)
results["after"] = native.is_configured()
print(json.dumps(results))
""")
    assert json.loads(out) == {
        "before": False,
        "instance_as_class": "argument 'skip_field': 'Skip' object is not an instance of 'type'",
        "after_type_error": False,
        "object_does_not_exist": "argument 'object_does_not_exist': 'None' is not an instance of 'type'",
        "pk_only_object": "argument 'pk_only_object': 'None' is not an instance of 'type'",
        "manager_class": "argument 'manager_class': 'None' is not an instance of 'type'",
        "first": None,
        "second": "quorvel_core is already configured",
        "second_bad": "argument 'manager_class': 'int' object is not an instance of 'type'",
        "after": True,
    }


def test_configure_accepts_metaclass_instances_and_concurrent_calls_store_once():
    out = run_isolated(LOAD_NATIVE + """
import abc, threading
class Meta(abc.ABC): pass
args = dict(empty=None, skip_field=Meta, object_does_not_exist=Meta, pk_only_object=Meta,
            manager_class=Meta, dict_factory=dict, resolve_callable=None, run_field=None,
            finish_field=None)
barrier = threading.Barrier(8)
outcomes = []
def worker():
    barrier.wait()
    try:
        native.configure(**args)
        outcomes.append("ok")
    except RuntimeError:
        outcomes.append("already")
threads = [threading.Thread(target=worker) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(sorted(outcomes).count("ok"), len(outcomes))
""")
    assert out.split() == ["1", "8"]


def test_reimport_shares_classes_and_configuration():
    out = run_isolated(LOAD_NATIVE + """
first = native
exec(%r)
print(first is native, first.CompiledSerializer is native.CompiledSerializer,
      first.JsonFallback is native.JsonFallback)
""" % LOAD_NATIVE)
    assert out.split() == ["False", "True", "True"]
