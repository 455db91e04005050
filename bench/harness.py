"""Side-by-side timing of (baseline, candidate) function pairs.

Machines here are shared and noisy, so no absolute time is reported as a
result: each repeat times the baseline and the candidate back to back (the
order alternating between repeats) and keeps their ratio; a case reports the
median ratio of its repeats and their spread. Before any timing the baseline
runs once and the candidate twice, and each answer must equal the baseline's: a
fast wrong answer is not a result. The candidate's second call is its warm one,
on whatever its first call cached (compiled plans), which the timed calls use.
"""

import decimal
import gc
import math
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable

OK = "ok"
NOT_INSTALLED = "not installed"  # a comparison library is missing
MISMATCH = "mismatch"
ERROR = "error"
FAILED = (MISMATCH, ERROR)


class Unavailable(Exception):
    """A comparison library is missing; the message names it."""


class Mismatch(Exception):
    """Raised by a case's setup when a side's answer is not the reference answer."""


@dataclass
class Case:
    group: str
    name: str
    baseline: str  # label of the baseline side, e.g. "DRF"
    # setup(fixtures) -> (baseline, candidate), two no-argument callables, or
    # (baseline, candidate, refresh): refresh() then runs untimed before every
    # single call, for inputs that a call changes (caches filled on first use).
    setup: Callable
    target: float | None = None  # minimum median speed-up (baseline time / candidate time)
    candidate: str = "quorvel_core"
    # compare(expected, got) -> None when equal, else a description of the difference
    compare: Callable | None = None
    # (baseline, candidate): two no-argument callables that put the process in
    # that side's state, for sides told apart by a process-wide switch
    # (quorvel_core.install() and uninstall()). Each runs untimed before its
    # side's calls; the baseline's also runs before setup and once the case is
    # done, so the cases that follow find the process as it was.
    modes: tuple | None = None

    @property
    def key(self):
        return f"{self.group} / {self.name} / {self.baseline}"


@dataclass
class Result:
    group: str
    name: str
    baseline: str
    candidate: str
    status: str
    note: str = ""
    target: float | None = None
    ratios: list = field(default_factory=list)
    baseline_seconds: float | None = None  # median time of one baseline call
    candidate_seconds: float | None = None
    loops: tuple = (0, 0)  # calls per timed sample, baseline and candidate

    @property
    def median(self):
        return statistics.median(self.ratios) if self.ratios else None

    @property
    def low(self):
        return min(self.ratios) if self.ratios else None

    @property
    def high(self):
        return max(self.ratios) if self.ratios else None

    @property
    def met(self):
        if self.target is None or self.median is None:
            return None
        return self.median >= self.target

    def as_dict(self):
        return {
            "group": self.group, "case": self.name, "baseline": self.baseline,
            "candidate": self.candidate, "status": self.status, "note": self.note,
            "speedup_median": self.median, "speedup_min": self.low, "speedup_max": self.high,
            "speedups": self.ratios, "target": self.target, "target_met": self.met,
            "baseline_seconds_per_call": self.baseline_seconds,
            "candidate_seconds_per_call": self.candidate_seconds,
            "loops": list(self.loops),
        }


def run_case(case, fixtures, *, repeats, min_time):
    """Checks and times one case; never raises for a case that cannot run."""
    modes = case.modes or (_stay, _stay)
    try:
        return _run_case(case, fixtures, modes, repeats, min_time)
    finally:
        modes[0]()


def _stay():
    pass


def _run_case(case, fixtures, modes, repeats, min_time):
    result = Result(case.group, case.name, case.baseline, case.candidate, OK, target=case.target)
    try:
        modes[0]()
        baseline, candidate, *refresh = case.setup(fixtures)
        refresh = refresh[0] if refresh else None
        expected, first_b = _timed_call(baseline, refresh)
    except Unavailable as exc:
        return _with(result, NOT_INSTALLED, str(exc))
    except Mismatch as exc:
        return _with(result, MISMATCH, str(exc))
    except Exception as exc:
        return _with(result, ERROR, f"baseline failed: {_describe(exc)}")
    try:
        modes[1]()
        got, _ = _timed_call(candidate, refresh)
        warm, first_c = _timed_call(candidate, refresh)
    except Exception as exc:
        return _with(result, ERROR, f"candidate failed: {_describe(exc)}")
    compare = case.compare or first_difference
    difference = compare(expected, got)
    if difference is None and (difference := compare(expected, warm)) is not None:
        difference = f"second call: {difference}"
    if difference is not None:
        return _with(result, MISMATCH, difference)
    del expected, got, warm
    # The fixtures are long-lived: frozen, they are not walked by the
    # collection that starts each sample (tens of milliseconds otherwise).
    gc.collect()
    gc.freeze()
    try:
        timing = measure(baseline, candidate, repeats=repeats, min_time=min_time,
                         first=(first_b, first_c), refresh=refresh, modes=case.modes)
    finally:
        gc.unfreeze()
    result.ratios, result.baseline_seconds, result.candidate_seconds, result.loops = timing
    return result


def _timed_call(fn, refresh=None):
    if refresh is not None:
        refresh()
    start = time.perf_counter()
    value = fn()
    return value, time.perf_counter() - start


def _with(result, status, note):
    result.status, result.note = status, note
    return result


def _describe(exc):
    return f"{type(exc).__name__}: {exc}"


# --- Timing --------------------------------------------------------------------

def measure(baseline, candidate, *, repeats, min_time, first=(0.0, 0.0), refresh=None,
            modes=None):
    """(ratios, baseline seconds per call, candidate seconds per call, loops).

    Each side runs enough calls per sample to last about `min_time`, so that
    the clock's resolution does not matter for fast calls. `first` are the
    durations of a call of each side already made, if any: a slow side needs
    no calibration run. With `refresh`, only the calls themselves are timed.
    With `modes` (see Case), each side's mode is entered before its samples."""
    enter_b, enter_c = modes or (_stay, _stay)
    enter_b()
    loops_b = _calibrate(baseline, min_time, first[0], refresh)
    enter_c()
    loops_c = _calibrate(candidate, min_time, first[1], refresh)
    loops = (loops_b, loops_c)

    def sample_b():
        enter_b()
        return _per_call(baseline, loops_b, refresh)

    def sample_c():
        enter_c()
        return _per_call(candidate, loops_c, refresh)

    ratios, times_b, times_c = [], [], []
    for i in range(repeats):
        if i % 2 == 0:
            b = sample_b()
            c = sample_c()
        else:
            c = sample_c()
            b = sample_b()
        times_b.append(b)
        times_c.append(c)
        ratios.append(b / c if c > 0 else math.inf)
    return ratios, statistics.median(times_b), statistics.median(times_c), loops


def _calibrate(fn, min_time, first, refresh=None):
    """Calls per sample: grows 1, 2, 5, 10, 20... until a sample takes a
    tenth of `min_time`, then scales to `min_time`."""
    if first >= min_time / 10:
        return max(1, math.ceil(min_time / first))
    loops = 1
    while True:
        spent = _per_call(fn, loops, refresh) * loops
        if spent >= min_time / 10 or loops >= 1_000_000:
            break
        loops = loops * 5 // 2 if str(loops)[0] == "2" else loops * 2
    per_call = spent / loops
    return max(1, min(1_000_000, math.ceil(min_time / per_call))) if per_call > 0 else loops


def _per_call(fn, loops, refresh=None):
    """Seconds per call over `loops` calls, with the cyclic collector paused as
    timeit does, so that a collection caused by one side is not billed to the other."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        if refresh is None:
            start = time.perf_counter()
            for _ in range(loops):
                fn()
            elapsed = time.perf_counter() - start
        else:
            elapsed = 0.0
            for _ in range(loops):
                refresh()
                start = time.perf_counter()
                fn()
                elapsed += time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()
    return elapsed / loops


# --- Equality of answers ---------------------------------------------------------

_SCALARS = (type(None), bool, int, float, str, bytes, decimal.Decimal)


def first_difference(a, b, path="$"):
    """None when `a` and `b` are the same data, else where and how they differ.

    Stricter than ==: scalar types must match (1 is not 1.0 or True, since
    they encode differently) and mapping keys must come in the same order
    (it is the order of the JSON members). Mappings and sequences may differ in
    class: DRF's ReturnDict is a dict for every caller."""
    if isinstance(a, dict) and isinstance(b, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)} != {list(b)}"
        for key in a:
            found = first_difference(a[key], b[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        if len(a) != len(b):
            return f"{path}: length {len(a)} != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            found = first_difference(x, y, f"{path}[{i}]")
            if found:
                return found
        return None
    if type(a) in _SCALARS or type(b) in _SCALARS:
        same = type(a) is type(b) and a == b
    else:
        same = a == b
    return None if same else f"{path}: {_short(a)} != {_short(b)}"


def _short(value, limit=120):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."
