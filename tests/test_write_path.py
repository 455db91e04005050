"""The validation loop: paths, the hook protocol, set_value, nested serializers,
exceptions that end the call, and reference counts."""

import collections
import datetime
import gc
import sys
import threading

import pytest
from django.test import override_settings
from rest_framework import serializers as s
from rest_framework.fields import SkipField, empty

import quorvel_core
from tests.project.shop.models import Book

from . import write_support as ws
from .helpers import LOAD_NATIVE, run_isolated
from .write_support import (
    CS, ERROR, HOOKS, OK, SKIP, companion_result, drf_result, native_result, same,
)


@pytest.fixture(autouse=True)
def fresh_hooks():
    HOOKS.reset()
    yield
    HOOKS.reset()


class Field:
    """A stand-in DRF field: absent values are skipped, others kept as given."""

    def __init__(self, name):
        self.field_name = name

    def get_value(self, data):
        return data.get(self.field_name, empty)

    def run_validation(self, value):
        if value is empty:
            raise SkipField
        return value

    def run_validators(self, value):
        pass


def entry(name, val=None, source_attrs=None, **extra):
    return {"name": name, "field": Field(name),
            "source_attrs": [name] if source_attrs is None else source_attrs,
            "val": val or {"type": "int"}, **extra}


def answer(*outcome):
    """Hooks that answer every call with `outcome`."""
    HOOKS.run_field = lambda field, data, method: outcome
    HOOKS.finish_field = lambda field, value, method, run: outcome


def validate(entries, data, current_tz=None):
    return CS([], entries).to_internal_value(data, current_tz)


# ---------------------------------------------------------------------------
# Entry point.

def test_describe_lets_a_memory_error_through():
    pytest.importorskip("_testcapi")
    out = run_isolated(LOAD_NATIVE + """
import _testcapi
# The internal-error class is made on first use; a malformed row plan makes it
# now, so that a describe() that turned MemoryError into it would show it.
try:
    native.ModelRows((None, (object, ("a",), (0,), (-1,))) + (None,) * 9, [], None)
except BaseException as exc:
    assert type(exc).__name__ == "InternalError", exc
cs = native.CompiledSerializer([{"name": "a", "repr": {"type": "python"}}],
                               [{"name": "a", "field": None, "source_attrs": ["a"], "validate_method": None,
                                 "allow_null": False, "python_validators": True, "val": {"type": "python"}}])
kinds = set()
for start in range(40):
    _testcapi.set_nomemory(start, start + 1)
    try:
        cs.describe()
    except BaseException as exc:
        kinds.add(type(exc).__name__)
    else:
        kinds.add("ok")
    finally:
        _testcapi.remove_mem_hooks()
print(sorted(kinds))
""")
    assert out.strip() == "['MemoryError', 'ok']"


def test_empty_serializer_gives_empty_mapping_and_no_errors():
    validated, errors = CS([], []).to_internal_value({"x": 1})
    assert validated == {} and type(validated) is dict and errors is None


@pytest.mark.parametrize("data, name", [([], "list"), (None, "None"), ((), "tuple")])
def test_data_must_be_a_dict(data, name):
    with pytest.raises(TypeError) as exc:
        CS([], []).to_internal_value(data)
    wording = "'None' is not" if data is None else f"'{name}' object is not"
    assert str(exc.value) == f"argument 'data': {wording} an instance of 'dict'"


def test_argument_binding():
    cs = CS([], [])
    assert cs.to_internal_value(data={}, current_tz=None) == ({}, None)
    with pytest.raises(TypeError) as exc:
        cs.to_internal_value()
    assert str(exc.value) == (
        "CompiledSerializer.to_internal_value() missing 1 required positional argument: 'data'")
    with pytest.raises(TypeError):
        cs.to_internal_value({}, None, None, 1)


def test_unconfigured_module_refuses_after_checking_data():
    out = run_isolated(LOAD_NATIVE + """
cs = native.CompiledSerializer([], [])
for data in ([], {}):
    try:
        cs.to_internal_value(data)
    except Exception as exc:
        print(type(exc).__name__, exc)
""")
    assert out.splitlines() == [
        "TypeError argument 'data': 'list' object is not an instance of 'dict'",
        "RuntimeError quorvel_core.configure() has not been called",
    ]


# ---------------------------------------------------------------------------
# Choosing the path.

def test_native_fields_make_no_python_calls():
    validated, errors = validate([entry("a"), entry("b", {"type": "char"})], {"a": "7", "b": " x "})
    assert (validated, errors) == ({"a": 7, "b": "x"}, None)
    assert HOOKS.calls == []


def test_missing_key_and_python_kind_go_to_run_field():
    data = {"b": 5}
    validate([entry("a"), entry("b", {"type": "python"})], data)
    assert HOOKS.names("run") == ["a", "b"]
    assert all(call[2] is data and call[3] is None for call in HOOKS.calls)


def test_lookup_ignores_dict_subclass_methods():
    class Odd(dict):
        def __missing__(self, key):
            raise AssertionError("not consulted")

        def __getitem__(self, key):
            raise AssertionError("not consulted")

        def get(self, key, default=None):
            raise AssertionError("not consulted")

    answer(SKIP, None)
    assert validate([entry("a"), entry("b")], Odd(b="3")) == ({"b": 3}, None)
    assert HOOKS.names("run") == ["a"]


def test_declined_value_goes_to_run_field_with_the_method():
    method = object()
    answer(OK, "from python")
    assert validate([entry("a", validate_method=method)], {"a": "x"}) == ({"a": "from python"}, None)
    assert [c[0] for c in HOOKS.calls] == ["run"] and HOOKS.calls[0][3] is method


@pytest.mark.parametrize("extra, source_attrs, expect", [
    ({"allow_null": True}, None, []),
    ({"allow_null": True, "validate_method": len}, None, [("finish", None, False)]),
    ({"allow_null": True, "python_validators": True}, None, []),
    ({"allow_null": True}, [], [("run",)]),
    ({}, None, [("run",)]),
])
def test_none_values(extra, source_attrs, expect):
    answer(SKIP, None)
    validated, _ = validate([entry("a", source_attrs=source_attrs, **extra)], {"a": None})
    assert [(c[0], c[2], c[4]) if c[0] == "finish" else (c[0],) for c in HOOKS.calls] == expect
    if not expect:
        assert validated == {"a": None}


@pytest.mark.parametrize("value, python_validators, method, expect", [
    ("", True, None, None),                    # blank: validators never run, no call
    ("   ", True, None, None),
    ("", True, "m", False),                    # blank with a method: finish without validators
    (" x ", True, None, True),
    (" x ", False, "m", False),
    (" x ", False, None, None),
])
def test_run_validators_decision_for_char(value, python_validators, method, expect):
    val = {"type": "char", "allow_blank": True}
    e = entry("a", val, python_validators=python_validators,
              validate_method=(lambda v: v) if method else None)
    validated, errors = validate([e], {"a": value})
    assert errors is None and validated == {"a": value.strip()}
    assert [c[4] for c in HOOKS.calls] == ([] if expect is None else [expect])


def test_untrimmed_whitespace_is_not_blank():
    val = {"type": "char", "trim_whitespace": False}
    validate([entry("a", val, python_validators=True)], {"a": "  "})
    assert [(c[0], c[2], c[4]) for c in HOOKS.calls] == [("finish", "  ", True)]


def test_other_kinds_run_validators_when_flagged():
    validate([entry("a", python_validators=True), entry("b", {"type": "bool", "allow_null": True},
                                                        python_validators=True)],
             {"a": 0, "b": ""})
    assert [(c[1].field_name, c[2], c[4]) for c in HOOKS.calls] == [("a", 0, True), ("b", None, True)]


def test_hooks_see_changes_to_data():
    def run_field(field, data, method):
        data.pop("b", None)
        data["c"] = "9"
        return SKIP, None

    HOOKS.run_field = run_field
    data = {"b": "2"}
    assert validate([entry("a"), entry("b"), entry("c")], data) == ({"c": 9}, None)
    assert HOOKS.names("run") == ["a", "b"]


# ---------------------------------------------------------------------------
# Outcomes and the hook protocol.

class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Pair(tuple):
    pass


@pytest.mark.parametrize("outcome, validated, errors", [
    ((OK, "v"), {"a": "v"}, None),
    ((ERROR, ["bad"]), {}, {"a": ["bad"]}),
    ((SKIP, None), {}, None),
    ((7, "ignored"), {}, None),
    ((255, "ignored"), {}, None),
    ((True, "ignored"), {}, None),
    ((False, "v"), {"a": "v"}, None),
    ((Index(2), "e"), {}, {"a": "e"}),
    (Pair((OK, "v")), {"a": "v"}, None),
])
def test_outcomes(outcome, validated, errors):
    answer(*outcome) if type(outcome) is tuple else setattr(HOOKS, "run_field", lambda *a: outcome)
    assert validate([entry("a")], {}) == (validated, errors)


@pytest.mark.parametrize("result, exc, message", [
    ([OK, 1], TypeError, "'list' object is not an instance of 'tuple'"),
    (None, TypeError, "'None' is not an instance of 'tuple'"),
    ((OK,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((OK, 1, 2), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((256, 1), OverflowError, "out of range integral type conversion attempted"),
    ((-1, 1), OverflowError, "out of range integral type conversion attempted"),
    ((2**80, 1), OverflowError, "out of range integral type conversion attempted"),
    (("0", 1), TypeError, "'str' object cannot be interpreted as an integer"),
    ((0.0, 1), TypeError, "'float' object cannot be interpreted as an integer"),
])
@pytest.mark.parametrize("hook", ["run", "finish"])
def test_invalid_outcomes_end_the_call(result, exc, message, hook):
    setattr(HOOKS, hook + "_field", lambda *args: result)
    if hook == "run":
        HOOKS.finish_field = lambda *args: pytest.fail("not reached")
    e = entry("a", python_validators=True)
    with pytest.raises(exc) as info:
        validate([e, entry("b")], {"a": "x" if hook == "run" else "1"})
    assert str(info.value) == message
    assert HOOKS.names("run") + HOOKS.names("finish") == ["a"]  # b never ran


def test_hook_exceptions_propagate_unchanged():
    boom = KeyError("boom")

    def run_field(*args):
        raise boom

    HOOKS.run_field = run_field
    with pytest.raises(KeyError) as info:
        validate([entry("a"), entry("b")], {})
    assert info.value is boom and HOOKS.names("run") == ["a"]


def test_errors_collect_per_field_and_the_loop_goes_on():
    HOOKS.run_field = lambda field, data, method: (ERROR, [field.field_name + "!"])
    validated, errors = validate([entry("a"), entry("b"), entry("c")], {"b": "2"})
    assert validated == {"b": 2} and errors == {"a": ["a!"], "c": ["c!"]}
    assert list(errors) == ["a", "c"]


# ---------------------------------------------------------------------------
# set_value.

def test_nested_source_attrs_share_plain_inner_dicts():
    entries = [entry("x", source_attrs=["a", "b"]), entry("y", source_attrs=["a", "c"]),
               entry("z", source_attrs=["d", "e", "f"])]
    validated, _ = validate(entries, {"x": 1, "y": 2, "z": 3})
    assert validated == {"a": {"b": 1, "c": 2}, "d": {"e": {"f": 3}}}
    assert type(validated["a"]) is dict


def test_later_fields_win_at_the_same_path():
    validated, _ = validate([entry("x", source_attrs=["a"]), entry("y", source_attrs=["a"])],
                            {"x": 1, "y": 2})
    assert validated == {"a": 2}


def test_whole_object_source_updates_the_mapping():
    answer(OK, {"p": 1, "q": 2})
    assert validate([entry("a", source_attrs=[])], {}) == ({"p": 1, "q": 2}, None)
    answer(OK, 5)
    with pytest.raises(TypeError):
        validate([entry("a", source_attrs=[])], {})


def test_set_value_walks_into_an_existing_non_dict_value():
    answer(OK, "text")
    with pytest.raises(TypeError):  # "a" holds a str: its item assignment fails
        validate([entry("a"), entry("b", source_attrs=["a", "b"])], {})


FACTORY = [dict]
factory_native = ws.configured_copy(lambda: FACTORY[0]())


@pytest.fixture
def factory():
    yield FACTORY
    FACTORY[0] = dict


def factory_validate(entries, data):
    return factory_native.CompiledSerializer([], entries).to_internal_value(data)


def test_mappings_come_from_the_factory(factory):
    factory[0] = collections.OrderedDict
    HOOKS.run_field = lambda field, data, method: (ERROR, ["no"])
    validated, errors = factory_validate(
        [entry("x", source_attrs=["a", "b"]), entry("y")], {"x": 1})
    assert type(validated) is collections.OrderedDict and type(errors) is collections.OrderedDict
    assert type(validated["a"]) is dict and validated == {"a": {"b": 1}}


def test_membership_is_tested_as_drf_does(factory):
    factory[0] = lambda: collections.defaultdict(lambda: "auto")
    validated, _ = factory_validate([entry("x", source_attrs=["a", "b"])], {"x": 1})
    assert dict(validated) == {"a": {"b": 1}}

    class Refusing(dict):
        def __contains__(self, key):
            raise MemoryError("refused")

    factory[0] = Refusing
    with pytest.raises(MemoryError, match="refused"):
        factory_validate([entry("x", source_attrs=["a", "b"])], {"x": 1})


def test_factory_failure_ends_the_call(factory):
    def broken():
        raise ZeroDivisionError

    factory[0] = broken
    with pytest.raises(ZeroDivisionError):
        factory_validate([], {})


# ---------------------------------------------------------------------------
# Exceptions from native validators.

def test_validator_exceptions_end_the_call():
    huge = 10**5000  # str() of it fails: the choice key cannot be made
    with pytest.raises(ValueError):
        validate([entry("a", {"type": "choice", "map": {}}), entry("b")], {"a": huge})
    assert HOOKS.calls == []


# ---------------------------------------------------------------------------
# Nested serializers, against DRF.

class Inner(s.Serializer):
    n = s.IntegerField(max_value=10)
    tag = s.CharField(required=False)


class Outer(s.Serializer):
    name = s.CharField()
    inner = Inner()
    items = Inner(many=True, allow_empty=False, max_length=3)


def compare_nested(data, native_fields):
    serializer = Outer()
    got = native_result(serializer, data)
    want = drf_result(serializer, data)
    assert same(got, want), f"compiled {got!r}, DRF {want!r}"
    through_package = companion_result(serializer, data)
    assert same(through_package, want), f"package {through_package!r}, DRF {want!r}"
    assert sorted(set(HOOKS.names("run")) - {"n", "tag"}) == sorted(
        {"name", "inner", "items"} - set(native_fields))
    return got


GOOD = {"name": "x", "inner": {"n": "3"}, "items": [{"n": 1, "tag": " t "}, {"n": 2.0}]}


@pytest.mark.parametrize("data, native_fields", [
    (GOOD, ["name", "inner", "items"]),
    ({**GOOD, "inner": {"n": "11"}}, ["name", "items"]),
    ({**GOOD, "inner": {"tag": "t"}}, ["name", "items"]),
    ({**GOOD, "inner": collections.OrderedDict(n=1)}, ["name", "items"]),
    ({**GOOD, "inner": [{"n": 1}]}, ["name", "items"]),
    ({**GOOD, "inner": None}, ["name", "items"]),
    ({**GOOD, "items": []}, ["name", "inner"]),
    ({**GOOD, "items": [{"n": 1}] * 4}, ["name", "inner"]),
    ({**GOOD, "items": [{"n": 1}, None]}, ["name", "inner"]),
    ({**GOOD, "items": [{"n": 1}, {"n": "x"}, {"n": 99}]}, ["name", "inner"]),
    ({**GOOD, "items": ({"n": 1},)}, ["name", "inner"]),
    ({"inner": {"n": {"deep": 1}}, "items": [{}]}, []),
])
def test_nested_against_drf(data, native_fields):
    compare_nested(data, native_fields)


def test_nested_mappings_are_the_nested_loops():
    (validated, errors) = native_result(Outer(), GOOD)
    assert errors is None and type(validated["inner"]) is dict
    assert validated["items"] == [{"n": 1, "tag": "t"}, {"n": 2}]
    assert HOOKS.names("run") == ["tag", "tag"] and HOOKS.names("finish") == []  # absent tags


def test_hook_exception_inside_nested_loop_ends_the_outer_call():
    inner = CS([], [entry("n", {"type": "python"})])

    def run_field(field, data, method):
        raise LookupError("deep")

    HOOKS.run_field = run_field
    for val in ({"type": "nested", "serializer": inner},
                {"type": "nested", "many": True, "serializer": inner}):
        with pytest.raises(LookupError, match="deep"):
            validate([entry("a", val), entry("b")], {"a": {} if "many" not in val else [{}]})
        assert HOOKS.names("run") == ["n"]
        HOOKS.calls.clear()


def test_current_tz_reaches_nested_validators():
    zone = datetime.timezone(datetime.timedelta(hours=3))
    inner = CS([], [entry("at", {"type": "datetime", "use_tz": True})])
    validated, _ = validate([entry("a", {"type": "nested", "serializer": inner})],
                            {"a": {"at": "2024-01-01T00:00Z"}}, zone)
    assert validated["a"]["at"].utcoffset() == datetime.timedelta(hours=3) and HOOKS.calls == []


def test_items_stay_alive_while_python_code_empties_the_list():
    items = [{"n": 1}, {"n": 2}, {"n": 3}]

    def run_field(field, data, method):
        items.clear()  # drops the list's references to every item
        return OK, data["n"]

    HOOKS.run_field = run_field
    inner = CS([], [entry("n", {"type": "python"})])
    for val in ({"type": "nested", "many": True, "serializer": inner},
                {"type": "list", "child": {"type": "nested", "serializer": inner}}):
        items[:] = [{"n": 1}, {"n": 2}, {"n": 3}]
        validated, errors = validate([entry("a", val)], {"a": items})
        assert errors is None and validated == {"a": [{"n": 1}]}


# 3.14 and later measure the C stack itself, so a thread with a small stack
# must get a RecursionError; 3.13 counts C calls (10,000 in a release build),
# which a thread's default stack must hold.
MEASURES_STACK = sys.version_info >= (3, 14)


def test_deep_nesting_raises_recursion_error_instead_of_crashing():
    depth = 5000 if MEASURES_STACK else 12000
    chain = CS([], [])
    for _ in range(depth):
        chain = CS([], [entry("a", {"type": "nested", "serializer": chain})])
    data = {}
    for _ in range(depth):
        data = {"a": data}
    result = []
    threading.stack_size(1 << 19 if MEASURES_STACK else 0)
    try:
        worker = threading.Thread(target=lambda: result.append(_catch(chain, data)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(0)
    assert result == [RecursionError]
    del chain  # released level by level by the interpreter's own deallocation


def _catch(cs, data):
    try:
        cs.to_internal_value(data)
    except RecursionError:
        return RecursionError
    return None


# ---------------------------------------------------------------------------
# Reference counts over many validations.

def test_reference_counts_stay_flat():
    HOOKS.record = False
    method = lambda value: value  # noqa: E731
    inner = CS([], [entry("n"), entry("t", {"type": "char"})])
    entries = [
        entry("i"), entry("c", {"type": "char", "email": True}, validate_method=method),
        entry("d", {"type": "decimal", "max_digits": 5, "decimal_places": 2}),
        entry("u", {"type": "uuid"}), entry("day", {"type": "date"}),
        entry("ch", {"type": "choice", "map": {"1": "one"}}),
        entry("l", {"type": "list", "child": {"type": "int"}}, python_validators=True),
        entry("nest", {"type": "nested", "serializer": inner}),
        entry("many", {"type": "nested", "many": True, "serializer": inner}),
        entry("p", {"type": "python"}, source_attrs=["x", "p"]), entry("missing"),
    ]
    cs = CS([], entries)
    good = {"i": "12", "c": "a@b.co", "d": "1.5", "u": "0" * 32, "day": "2024-02-29", "ch": 1,
            "l": [1, "2"], "nest": {"n": 1, "t": "x"}, "many": [{"n": 2, "t": " y "}], "p": 1}
    bad = {"i": "x", "c": "a@b", "d": "1e5", "u": "{}", "day": "2024-02-30", "ch": 2,
           "l": [None], "nest": {"n": "x"}, "many": [None], "p": None}
    HOOKS.run_field = lambda field, data, m: (ERROR, ["e"]) if field.field_name != "p" else (OK, 1)
    watched = [*good.values(), *bad.values(), method, inner, *(e["field"] for e in entries)]

    def run(n):
        for _ in range(n):
            assert cs.to_internal_value(good)[1] == {"missing": ["e"]}
            assert len(cs.to_internal_value(bad)[1]) == 10
        with pytest.raises(TypeError):
            HOOKS.run_field = lambda *a: None
            cs.to_internal_value(bad)
        HOOKS.run_field = lambda field, data, m: (ERROR, ["e"]) if field.field_name != "p" else (OK, 1)

    run(100)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    run(5000)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert sys.getallocatedblocks() - blocks < 500


# ---------------------------------------------------------------------------
# A model serializer through the package, against DRF.

class ReviewWrite(s.Serializer):
    body = s.CharField(max_length=20)
    stars = s.IntegerField(min_value=1, max_value=5)


class BookWrite(s.ModelSerializer):
    reviews = ReviewWrite(many=True, required=False)
    tags = s.ListField(child=s.CharField(max_length=5), max_length=2, required=False)
    contact = s.EmailField(required=False, allow_null=True)

    class Meta:
        model = Book
        fields = ["uid", "title", "pages", "price", "rating", "in_print", "format", "published",
                  "updated", "reviews", "tags", "contact"]


BOOK = {"uid": "3fa85f6457174562b3fc2c963f66afa6", "title": " Dune ", "pages": "412",
        "price": "9.5", "rating": 4, "in_print": "yes", "format": "pb", "published": "1965-08-01",
        "updated": "2024-01-05T10:00:00+02:00", "reviews": [{"body": "great", "stars": 5}],
        "tags": ["sf", " old "], "contact": None}


def test_model_serializer_fields_get_native_kinds():
    kinds = quorvel_core.compile_serializer(BookWrite(), read=False).describe()["write"]
    assert {name: kind for name, (kind, _) in kinds.items()} == {
        "uid": "uuid", "title": "char", "pages": "int", "price": "decimal", "rating": "float",
        "in_print": "bool", "format": "choice", "published": "date", "updated": "datetime",
        "reviews": "nested_many", "tags": "list[char]", "contact": "char"}


@pytest.mark.parametrize("change", [
    {}, {"pages": 412.0}, {"pages": "412.5"}, {"pages": True}, {"pages": 2**70},
    {"price": "1e3"}, {"price": "1234567.5"}, {"price": "9.999"}, {"price": " 9 "},
    {"rating": None}, {"rating": "4.5"}, {"rating": float("nan")},
    {"in_print": "nope"}, {"in_print": 0}, {"format": "hc"}, {"format": "xx"},
    {"published": "1965-02-30"}, {"published": "1965-8-1"}, {"updated": "2024-01-05T10:00:00"},
    {"updated": "2024-01-05 10:00Z"}, {"uid": "{3fa85f64-5717-4562-b3fc-2c963f66afa6}"},
    {"uid": "urn:uuid:3fa85f64-5717-4562-b3fc-2c963f66afa6"},
    {"uid": "3fa85f64-5717-4562-b3fc-2c963f66afa6"}, {"uid": 5}, {"title": "   "},
    {"title": "x" * 201}, {"reviews": [{"body": "ok", "stars": 9}, {"body": "", "stars": 1}]},
    {"reviews": [{"body": "ok", "stars": "3"}, None]}, {"reviews": []},
    {"tags": ["a", "b", "c"]}, {"tags": ["toolong"]}, {"tags": [None]},
    {"contact": "a@b.co"}, {"contact": "a@b"}, {"contact": ""},
])
@pytest.mark.parametrize("use_tz", [True, False])
def test_model_serializer_through_the_package(db, change, use_tz):
    data = {**BOOK, **change}
    with override_settings(USE_TZ=use_tz):
        want = drf_result(BookWrite(), data)
        got = companion_result(BookWrite(), data, quorvel_core.current_timezone())
    assert same(got, want), f"package {got!r}, DRF {want!r}"
