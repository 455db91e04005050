"""Reference leaks: every entry point, run many times on success and on each
failure path, leaves no object behind and no reference on what it was given.

`assert_no_leak` runs an operation in rounds after a warm-up (which fills the
process-wide caches: interned names, cached classes, the JSON key cache) and
measures each round: live memory blocks (the interpreter's allocator; traced
memory where another allocator is in use, as under the sanitizers), the
number of objects the garbage collector tracks, and the reference counts of
the objects the operation is given or handed back by hooks. A leak of one
object or one reference per call grows every round by at least the number
of calls; allocator noise does not survive all rounds."""

import datetime
import decimal
import gc
import sys
import tracemalloc
import uuid

import pytest
from rest_framework import fields as drf_fields

from quorvel_core import _quorvel_core as native

from . import write_support
from .compile_support import SCHEMA_ERRORS
from .write_support import ERROR, HOOKS, OK

CS = native.CompiledSerializer
CALLS = 60
ROUNDS = 4


def _memory():
    blocks = sys.getallocatedblocks()
    return blocks if blocks else tracemalloc.get_traced_memory()[0]


def _objects():
    return len(gc.get_objects())


def assert_no_leak(op, watch=()):
    """Fails when `op()` leaks memory, tracked objects, or references to any
    object of `watch`, or when it raises: a failure path goes through `raises`,
    so that a success path that starts failing is not measured as one."""

    def run():
        for _ in range(CALLS):
            op()

    traced = not sys.getallocatedblocks()
    if traced:
        tracemalloc.start()
    gc.collect()
    gc.freeze()  # later collections then look at this test's objects only
    try:
        run()
        run()
        refs = [sys.getrefcount(o) for o in watch]
        grown = []
        for _ in range(ROUNDS):
            gc.collect()
            memory, objects = _memory(), _objects()
            run()
            gc.collect()
            grown.append((_memory() - memory, _objects() - objects))
        after = [sys.getrefcount(o) for o in watch]
    finally:
        gc.unfreeze()
        if traced:
            tracemalloc.stop()
    assert after == refs, f"references grew on {watch}: {refs} -> {after}"
    # One leaked block is at least 16 traced bytes per call.
    limit = CALLS * 16 if traced else CALLS // 2
    assert min(m for m, _ in grown) < limit, f"memory grew every round: {grown}"
    assert min(o for _, o in grown) < CALLS // 2, f"tracked objects grew every round: {grown}"


def test_the_helper_sees_a_leak():
    kept = []
    assert_no_leak(lambda: None)  # nothing to find
    with pytest.raises(ZeroDivisionError):  # an unexpected failure is not a measured path
        assert_no_leak(lambda: 1 / 0)
    with pytest.raises(AssertionError, match="memory grew"):
        assert_no_leak(lambda: kept.append(object()))
    thing = object()
    with pytest.raises(AssertionError, match="references grew"):
        assert_no_leak(lambda: kept.append(thing), watch=[thing])


def raises(exc_type, op):
    """`op` checked to raise `exc_type`, for a failure path."""

    def run():
        try:
            op()
        except exc_type:
            return
        raise AssertionError(f"expected {exc_type.__name__}")

    run()
    return run


# ---------------------------------------------------------------------------
# Module functions and construction.

def test_configure_and_is_configured():
    args = dict(empty=object(), skip_field=KeyError, object_does_not_exist=KeyError,
                pk_only_object=KeyError, manager_class=KeyError, dict_factory=dict,
                resolve_callable=len, run_field=len, finish_field=len)
    watch = [args["empty"]]
    assert_no_leak(raises(RuntimeError, lambda: native.configure(**args)), watch)
    assert_no_leak(raises(TypeError, lambda: native.configure(**args | {"skip_field": 1})), watch)
    assert_no_leak(raises(TypeError, lambda: native.configure(empty=args["empty"])), watch)
    assert_no_leak(native.is_configured)


class Field:
    """A stand-in DRF field that hands back fixed objects."""

    default = drf_fields.empty  # what source_failed reads: a missing source is None
    allow_null = True

    def __init__(self, value="v", fail=False):
        self.value = value
        self.fail = fail

    def get_attribute(self, instance):
        if self.fail:
            raise LookupError("get_attribute failed")
        return self.value

    def to_representation(self, value):
        if self.fail:
            raise LookupError("to_representation failed")
        return self.value


WHOLE_SCHEMA = [
    {"name": "a", "field": Field(), "get": {"type": "attrs", "attrs": ["a"]}, "repr": {"type": "str"}},
    {"name": "b", "field": Field(), "repr": {"type": "list", "child": {"type": "int"},
                                             "child_field": Field()}},
    {"name": "c", "field": Field(), "get": {"type": "star"},
     "repr": {"type": "nested", "serializer": CS([], [])}},
    {"name": "d", "field": Field(), "repr": {"type": "decimal", "max_digits": 5, "decimal_places": 2}},
    {"name": "e", "field": Field(), "repr": {"type": "choice", "map": {"1": "one"}}},
]


def test_construction_describe_and_repr():
    fields = [entry["field"] for entry in WHOLE_SCHEMA]
    assert_no_leak(lambda: CS(WHOLE_SCHEMA, []), fields)
    compiled = CS(WHOLE_SCHEMA, [])
    assert_no_leak(compiled.describe, [compiled])
    assert_no_leak(lambda: repr(compiled), [compiled])


# Every schema error of the compile tests, each on its own path.
@pytest.mark.parametrize("read, write, error, message", SCHEMA_ERRORS)
def test_schema_errors(read, write, error, message):
    assert_no_leak(raises(error, lambda: CS(read, write)), [read, write])


def test_argument_errors():
    compiled = CS([], [])
    assert_no_leak(raises(TypeError, lambda: CS([])))
    assert_no_leak(raises(TypeError, lambda: CS([], [], x=1)))
    assert_no_leak(raises(TypeError, lambda: compiled.to_representation(1, 2, 3, 4)), [compiled])
    assert_no_leak(raises(TypeError, lambda: compiled.to_internal_value([])), [compiled])
    assert_no_leak(raises(TypeError, lambda: CS.to_representation(object(), 1)))


# ---------------------------------------------------------------------------
# The representation loop, on the package's configuration.

class Instance:
    def __init__(self, a="text"):
        self.a = a


class Raising:
    @property
    def a(self):
        raise LookupError("attribute failed")


def read_serializer(field, get, rep):
    return CS([{"name": "f", "field": field, "get": get, "repr": rep}], [])


ATTR_A = {"type": "attrs", "attrs": ["a"]}


@pytest.mark.parametrize("get, rep, field, instance, error", [
    (ATTR_A, {"type": "str"}, Field(), Instance(), None),
    (ATTR_A, {"type": "python"}, Field(["x"]), Instance(), None),
    (None, {"type": "python"}, Field(), Instance(), None),
    (ATTR_A, {"type": "int"}, Field(), Instance(10 ** 30), None),
    (ATTR_A, {"type": "uuid"}, Field(), Instance(uuid.UUID(int=5)), None),
    (ATTR_A, {"type": "datetime"}, Field(), Instance(datetime.datetime(2020, 1, 2, 3, 4, 5, 6)),
     None),
    (ATTR_A, {"type": "decimal", "coerce_to_string": True}, Field(),
     Instance(decimal.Decimal("1.50")), None),
    (ATTR_A, {"type": "list", "child": {"type": "str"}, "child_field": Field()}, Field(),
     Instance(["a", "b"]), None),
    (None, {"type": "python"}, Field(fail=True), Instance(), LookupError),  # get_attribute raises
    (ATTR_A, {"type": "python"}, Field(fail=True), Instance(), LookupError),  # to_representation
    # What the source raises goes to the source_failed hook, which passes it
    # on, or makes a missing attribute None as DRF does for a nullable field.
    (ATTR_A, {"type": "str"}, Field(), Raising(), LookupError),
    (ATTR_A, {"type": "str"}, Field(), object(), None),
    (ATTR_A, {"type": "str"}, Field(fail=True), Raising(), LookupError),
])
def test_to_representation(get, rep, field, instance, error):
    compiled = read_serializer(field, get, rep)
    op = lambda: compiled.to_representation(instance)  # noqa: E731
    watch = [compiled, field, instance, field.value]
    assert_no_leak(raises(error, op) if error else op, watch)


def test_to_representation_skip_field():
    class Skipping(Field):
        def get_attribute(self, instance):
            raise drf_fields.SkipField()

    field, instance = Skipping(), Instance()
    compiled = read_serializer(field, None, {"type": "python"})
    assert compiled.to_representation(instance) == {}
    assert_no_leak(lambda: compiled.to_representation(instance), [field, instance])


def test_to_representation_many_and_failing_iterators():
    field = Field()
    compiled = read_serializer(field, ATTR_A, {"type": "str"})
    items = [Instance(), Instance("b")]

    def broken():
        yield items[0]
        raise LookupError("iteration failed")

    assert_no_leak(lambda: compiled.to_representation_many(items), [compiled, *items])
    assert_no_leak(raises(LookupError, lambda: compiled.to_representation_many(broken())), items)
    assert_no_leak(raises(TypeError, lambda: compiled.to_representation_many(5)), [compiled])
    assert_no_leak(lambda: compiled.to_representation_many([items[0], object()]), items)
    failing = read_serializer(Field(fail=True), ATTR_A, {"type": "str"})
    assert_no_leak(raises(LookupError, lambda: failing.to_representation_many([Raising()])))


# ---------------------------------------------------------------------------
# The validation loop, on the write tests' private copy with swappable hooks.

@pytest.fixture
def hooks():
    HOOKS.reset()
    HOOKS.record = False  # the call log would grow like a leak
    yield HOOKS
    HOOKS.reset()


def write_serializer(val, **extra):
    entry = {"name": "f", "field": drf_fields.CharField(), "source_attrs": ["f"], "val": val,
             **extra}
    return write_support.CS([], [entry])


RESULT = object()
DETAIL = ["bad"]


@pytest.mark.parametrize("val, data, run_field, error", [
    ({"type": "char"}, {"f": "text"}, None, None),  # native, no hook
    ({"type": "int"}, {"f": "12"}, None, None),
    ({"type": "list", "child": {"type": "uuid"}}, {"f": [str(uuid.UUID(int=1))]}, None, None),
    ({"type": "python"}, {"f": 1}, lambda *a: (OK, RESULT), None),
    ({"type": "python"}, {"f": 1}, lambda *a: (ERROR, DETAIL), None),
    ({"type": "python"}, {"f": 1}, lambda *a: (1, RESULT), None),  # skip
    ({"type": "python"}, {}, lambda *a: (7, RESULT), None),  # other status: skip
    ({"type": "int"}, {"f": "x"}, lambda *a: (ERROR, DETAIL), None),  # declined
    ({"type": "python"}, {"f": 1}, lambda *a: [OK, RESULT], TypeError),  # not a tuple
    ({"type": "python"}, {"f": 1}, lambda *a: (OK,), ValueError),  # wrong length
    ({"type": "python"}, {"f": 1}, lambda *a: (256, RESULT), OverflowError),
    ({"type": "python"}, {"f": 1}, lambda *a: ("0", RESULT), TypeError),
    ({"type": "python"}, {"f": 1}, lambda *a: 1 / 0, ZeroDivisionError),  # the hook raises
])
def test_to_internal_value(hooks, val, data, run_field, error):
    if run_field is not None:
        hooks.run_field = run_field
    compiled = write_serializer(val)
    op = lambda: compiled.to_internal_value(data)  # noqa: E731
    assert_no_leak(raises(error, op) if error else op, [compiled, data, RESULT, DETAIL])


@pytest.mark.parametrize("finish_field, error", [
    (lambda *a: (OK, RESULT), None),
    (lambda *a: (ERROR, DETAIL), None),
    (lambda *a: {}, TypeError),
    (lambda *a: 1 / 0, ZeroDivisionError),
])
def test_finish_field_outcomes(hooks, finish_field, error):
    hooks.finish_field = finish_field
    compiled = write_serializer({"type": "char"}, validate_method=len)
    data = {"f": "text"}
    op = lambda: compiled.to_internal_value(data)  # noqa: E731
    assert_no_leak(raises(error, op) if error else op, [compiled, data, RESULT, DETAIL])


def test_nested_and_dotted_sources(hooks):
    inner = write_serializer({"type": "char"})
    entry = {"name": "n", "field": drf_fields.CharField(), "source_attrs": ["a", "b"],
             "val": {"type": "nested", "many": True, "serializer": inner}}
    compiled = write_support.CS([], [entry])
    data = {"n": [{"f": "x"}, {"f": "y"}]}
    assert_no_leak(lambda: compiled.to_internal_value(data), [compiled, inner, data])
    bad = {"n": [{"f": "x"}, None]}  # declined as a whole: the hook decides
    hooks.run_field = lambda *a: (ERROR, DETAIL)
    assert_no_leak(lambda: compiled.to_internal_value(bad), [compiled, bad, DETAIL])


def test_whole_object_source_update_failure(hooks):
    hooks.run_field = lambda *a: (OK, RESULT)  # update() refuses a non-mapping
    compiled = write_support.CS([], [{"name": "f", "field": None, "source_attrs": [],
                                      "val": {"type": "python"}}])
    data = {"f": 1}
    assert_no_leak(raises(TypeError, lambda: compiled.to_internal_value(data)), [data, RESULT])


# ---------------------------------------------------------------------------
# JSON.

class Unknown:
    pass


DEEP = [1]
for _ in range(600):
    DEEP = [DEEP]


def hook(value):
    if isinstance(value, Unknown):
        raise TypeError("unknown")
    return [value.isoformat()]


@pytest.mark.parametrize("value, kw, error", [
    ({"a": [1, 2.5, "é", None, True], "b": {"c": 10 ** 40}}, {}, None),
    ([decimal.Decimal("1.5"), uuid.UUID(int=3), datetime.date(2020, 1, 2)], {}, None),
    ([datetime.time(1, 2)], {"default": hook}, None),
    (["\ud800"], {}, native.JsonFallback),
    (DEEP, {}, native.JsonFallback),
    ([Unknown()], {}, TypeError),  # no hook: json.dumps's own TypeError
    ([Unknown()], {"default": hook}, TypeError),
    ({(1,): 1}, {}, TypeError),
    ([float("nan")], {}, ValueError),
    ([1], {"ensure_ascii": []}, TypeError),
])
def test_to_json(value, kw, error):
    op = lambda: native.to_json(value, **kw)  # noqa: E731
    assert_no_leak(raises(error, op) if error else op, [value])


@pytest.mark.parametrize("data", [
    b'{"name": [1, 2.5, "text", null, true], "nested": {"key": 12345678901234567890123}}',
    '{"keys": ["\\ud83d\\ude00"]}', bytearray(b"[1e400]"),
])
def test_from_json(data):
    assert_no_leak(lambda: native.from_json(data), [data])


@pytest.mark.parametrize("data", [
    b'{"name": [1, 2', b'{"a" 1}', b'"\\ud800"', b"[" * 300, b'"\xff"', b"1" * 4301, b"[1,]",
    memoryview(b"1"), 5, "\ud800",
])
def test_from_json_errors(data):
    assert_no_leak(raises((ValueError, TypeError), lambda: native.from_json(data)), [data])
