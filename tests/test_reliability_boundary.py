"""The module's edges with the interpreter: other interpreters are refused,
and no C++ exception escapes into Python, whatever allocation fails."""

import pytest

import quorvel_core
from quorvel_core import _quorvel_core as native
from rest_framework import serializers

from .helpers import run_isolated


def test_other_interpreters_cannot_import_it_and_the_main_one_keeps_working():
    out = run_isolated("""
    import django
    django.setup()
    import _interpreters
    import quorvel_core
    from rest_framework import serializers

    for config in ("isolated", "legacy"):
        for name in ("quorvel_core._quorvel_core", "quorvel_core"):
            interp = _interpreters.create(config)
            try:
                failure = _interpreters.exec(interp, "import " + name)
            finally:
                _interpreters.destroy(interp)
            print(config, name, failure.type.__name__, failure.msg)

    class Note(serializers.Serializer):
        title = serializers.CharField(required=False)

    compiled = quorvel_core.compile_serializer(Note())
    print(compiled.to_internal_value({}, quorvel_core.current_timezone()))
    """)
    *imports, result = out.splitlines()
    assert len(imports) == 4
    for line in imports:
        assert line.endswith(" ImportError module quorvel_core._quorvel_core "
                             "does not support loading in subinterpreters"), line
    assert result == "({}, None)"


@pytest.fixture
def failing_allocations():
    """Counts the module's C++ allocations of `call()`, then fails each in
    turn; yields the outcomes, one per attempt."""
    def attempts(call):
        native._fail_allocations(1 << 40)
        expected = call()
        count = native._fail_allocations(1 << 40)
        assert count > 0, "the call makes no C++ allocation to fail"
        outcomes = []
        for allowed in range(count):
            native._fail_allocations(allowed)
            try:
                outcomes.append(call())
            except MemoryError:
                outcomes.append(MemoryError)
            finally:
                native._fail_allocations(-1)
        return expected, outcomes
    yield attempts
    native._fail_allocations(-1)


class Book(serializers.Serializer):
    title = serializers.CharField(max_length=20)
    pages = serializers.IntegerField(required=False)
    tags = serializers.ListField(child=serializers.CharField())


def _error_text(call):
    try:
        call()
    except TypeError as e:
        return str(e)
    raise AssertionError("no TypeError")


CALLS = {
    "compile and describe": lambda: quorvel_core.compile_serializer(Book()).describe(),
    "binder error of to_json": lambda: _error_text(lambda: native.to_json(ensure_ascii=False)),
    "binder error of from_json": lambda: _error_text(lambda: native.from_json()),
    "binder error of to_internal_value": lambda: _error_text(
        lambda: native.CompiledSerializer([], []).to_internal_value()),
}


@pytest.mark.parametrize("name", CALLS)
def test_every_failed_cpp_allocation_is_a_memory_error(failing_allocations, name):
    expected, outcomes = failing_allocations(CALLS[name])
    assert MemoryError in outcomes
    assert all(o is MemoryError or o == expected for o in outcomes)


def test_configure_fails_cleanly_when_its_record_cannot_be_made(failing_allocations):
    # The record is made before the check that the module is configured
    # already, so its allocation fails first; the configuration stays as it was.
    def again():
        try:
            native.configure(empty=0, skip_field=KeyError, object_does_not_exist=KeyError,
                             pk_only_object=int, manager_class=list, dict_factory=list,
                             resolve_callable=len, run_field=len, finish_field=len)
        except RuntimeError as e:
            return str(e)
    expected, outcomes = failing_allocations(again)
    assert expected == "quorvel_core is already configured"
    assert outcomes == [MemoryError]
    compiled = quorvel_core.compile_serializer(Book())
    assert compiled.to_internal_value({"title": "t", "tags": []}) == ({"title": "t", "tags": []}, None)
