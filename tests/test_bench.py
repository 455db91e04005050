"""The benchmark harness: what it reports for cases that cannot run or give
different answers, and how strictly it compares answers. No timing is checked."""

import decimal
import json

import pytest

from bench import report
from bench.harness import (
    ERROR, MISMATCH, NOT_INSTALLED, OK, Case, Mismatch, Unavailable,
    first_difference, run_case,
)


def _case(setup, **kw):
    return Case("group", "name", "base", setup, **kw)


def _pair(baseline, candidate):
    return lambda fixtures: (baseline, candidate)


def _missing(fixtures):
    raise Unavailable("serpy is not installed")


def _wrong(fixtures):
    raise Mismatch("not DRF's output: $[0].id: 1 != 2")


def _broken():
    raise KeyError("x")


@pytest.mark.parametrize("setup, status, note", [
    (_missing, NOT_INSTALLED, "serpy is not installed"),
    (_wrong, MISMATCH, "$[0].id"),
    (_pair(lambda: {"a": 1}, lambda: {"a": 1.0}), MISMATCH, "$.a: 1 != 1.0"),
    (_pair(_broken, lambda: 1), ERROR, "baseline failed: KeyError"),
    (_pair(lambda: 1, _broken), ERROR, "candidate failed: KeyError"),
    (_pair(lambda: 0, iter([0, 1]).__next__), MISMATCH, "second call: $: 0 != 1"),
])
def test_cases_that_cannot_be_timed_are_reported_not_timed(setup, status, note):
    result = run_case(_case(setup, target=2.0), None, repeats=3, min_time=1e-4)
    assert (result.status, result.ratios, result.median, result.met) == (status, [], None, None)
    assert note in result.note


def test_a_timed_case_keeps_one_ratio_per_repeat_and_calls_each_side_often():
    calls = {"baseline": 0, "candidate": 0}

    def side(name):
        def run():
            calls[name] += 1
            return [1, "x"]
        return run

    result = run_case(_case(_pair(side("baseline"), side("candidate")), target=0.0), None,
                      repeats=4, min_time=1e-3)
    assert result.status == OK and len(result.ratios) == 4
    assert result.low <= result.median <= result.high and result.met is True
    assert min(result.loops) > 1  # calibrated beyond one call for a sub-microsecond side
    assert calls["baseline"] >= 4 * result.loops[0] and calls["candidate"] >= 4 * result.loops[1]


@pytest.mark.parametrize("setup_fails", [False, True])
def test_each_side_runs_in_its_own_mode_and_the_baseline_mode_is_restored(setup_fails):
    mode = {"now": "start"}
    seen = {"baseline": set(), "candidate": set()}

    def side(name):
        def run():
            seen[name].add(mode["now"])
            return 1
        return run

    def setup(fixtures):
        if setup_fails:
            raise KeyError("x")
        return side("baseline"), side("candidate")

    modes = (lambda: mode.update(now="plain"), lambda: mode.update(now="fast"))
    run_case(_case(setup, modes=modes), None, repeats=2, min_time=1e-4)
    assert mode["now"] == "plain"
    if not setup_fails:
        assert seen == {"baseline": {"plain"}, "candidate": {"fast"}}


def test_refresh_runs_before_every_call_of_either_side():
    """A side that consumes its input (here: a list it empties) sees a fresh one each call."""
    state = {"input": None, "refreshes": 0, "calls": 0}

    def refresh():
        state["input"] = [1, 2, 3]
        state["refreshes"] += 1

    def side():
        assert state["input"] == [1, 2, 3]
        state["input"].clear()
        state["calls"] += 1
        return "done"

    result = run_case(_case(lambda fixtures: (side, side, refresh)), None, repeats=3,
                      min_time=1e-3)
    assert result.status == OK and len(result.ratios) == 3
    assert state["calls"] == state["refreshes"] > 6


class ListSubclass(list):
    pass


@pytest.mark.parametrize("a, b, where", [
    ({"a": 1, "b": 2}, {"a": 1, "b": 2}, None),
    ([{"a": [1, None]}], ListSubclass([{"a": (1, None)}]), None),
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}, "$: keys"),
    ({"a": {"b": [1, 2]}}, {"a": {"b": [1, 3]}}, "$.a.b[1]: 2 != 3"),
    ([1], [True], "$[0]: 1 != True"),
    ([decimal.Decimal("1.50")], ["1.50"], "$[0]"),
    ([1, 2], [1], "$: length 2 != 1"),
    (b"ab", b"ac", "$: b'ab' != b'ac'"),
    (float("nan"), float("nan"), "$: nan != nan"),
])
def test_first_difference_is_stricter_than_equality(a, b, where):
    found = first_difference(a, b)
    assert found == where if where is None else found.startswith(where)


def test_long_values_are_shortened_in_the_difference():
    found = first_difference("x" * 1000, "y")
    assert len(found) < 300 and found.endswith("'y'")


def test_reports_show_figures_for_timed_cases_and_the_reason_for_the_others(tmp_path):
    timed = run_case(_case(_pair(lambda: 1, lambda: 1), target=1e9), None, repeats=2,
                     min_time=1e-4)
    skipped = run_case(_case(_missing), None, repeats=2, min_time=1e-4)
    table = report.text_table([timed, skipped], "title")
    assert "MISSED" in table and "not installed: serpy is not installed" in table
    report.write_json(tmp_path / "r.json", [timed, skipped], {"repeats": 2})
    saved = json.loads((tmp_path / "r.json").read_text())
    assert [r["status"] for r in saved["results"]] == [OK, NOT_INSTALLED]
    assert saved["results"][0]["target_met"] is False and len(saved["results"][0]["speedups"]) == 2
    again, meta = report.read_json(tmp_path / "r.json")
    assert again == [timed, skipped] and meta == {"repeats": 2}
    markdown = report.markdown_table([timed, skipped])
    assert markdown.count("\n") == 4 and "| not installed |" in markdown
