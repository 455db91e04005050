"""`make demo ARGS=--parts`: where each GET's time goes with quorvel_core on.

The endpoints run once more, instrumented: Django compiling the SQL
(`SQLCompiler.as_sql`), running it and fetching the rows (the rest of
`execute_sql`), the rows becoming instances (`ModelIterable`'s iteration,
native where it may be), and prefetch_related's levels (without the querysets
they evaluate). Each part is timed exclusive of the parts inside it; "the
rest" is Django's and DRF's request handling, the serializer and the JSON.
The last two columns are the most the speed-up could be if one part cost
nothing: they show which goals no work on the rows alone can reach.
"""

import gc
import time
from contextlib import contextmanager

PARTS = ("compiling SQL", "running SQL", "rows to instances", "prefetch levels")


class _Clock:
    """Exclusive time per part: a part's time less that of the parts inside it."""

    def __init__(self):
        self.spent = dict.fromkeys(PARTS, 0.0)
        self._inner = []  # the time of nested parts, per open part

    @contextmanager
    def part(self, name):
        self._inner.append(0.0)
        start = time.perf_counter()
        try:
            yield
        finally:
            took = time.perf_counter() - start
            inner = self._inner.pop()
            self.spent[name] += took - inner
            if self._inner:
                self._inner[-1] += took


@contextmanager
def _instrumented(clock):
    from django.db.models import query as django_query
    from django.db.models.sql.compiler import SQLCompiler

    as_sql, execute_sql = SQLCompiler.as_sql, SQLCompiler.execute_sql
    iterate = django_query.ModelIterable.__iter__
    level = django_query.prefetch_one_level

    def timed(function, name):
        def run(*args, **kwargs):
            with clock.part(name):
                return function(*args, **kwargs)
        return run

    def timed_rows(iterable):
        # list() consumes the rows with no Python code in between: one part.
        with clock.part("rows to instances"):
            rows = list(iterate(iterable))
        yield from rows

    SQLCompiler.as_sql = timed(as_sql, "compiling SQL")
    SQLCompiler.execute_sql = timed(execute_sql, "running SQL")
    django_query.ModelIterable.__iter__ = timed_rows
    django_query.prefetch_one_level = timed(level, "prefetch levels")
    try:
        yield
    finally:
        SQLCompiler.as_sql, SQLCompiler.execute_sql = as_sql, execute_sql
        django_query.ModelIterable.__iter__ = iterate
        django_query.prefetch_one_level = level


def _native_runs(native_rows, run):
    before = native_rows.counts()["native"]
    run()
    return native_rows.counts()["native"] - before


def report(times, request, table):
    """The table for the GET endpoints of `times`, (endpoint, seconds per
    request with DRF, with quorvel_core) each; `request(endpoint)` makes one."""
    import quorvel_core
    from quorvel_core import rows as native_rows

    lines = []
    for endpoint, drf, fast in times:
        if endpoint[1] != "get":
            continue
        quorvel_core.install()
        count = 20
        plain = _native_runs(native_rows, lambda: [request(endpoint) for _ in range(count)])
        # Each part's share of the instrumented pass, from its quickest of five
        # rounds, the collector paused; applied to the uninstrumented time.
        rounds = []
        for _ in range(5):
            clock = _Clock()
            gc.collect()
            gc.disable()
            try:
                with _instrumented(clock):
                    start = time.perf_counter()
                    instrumented = _native_runs(
                        native_rows, lambda: [request(endpoint) for _ in range(count)])
                    rounds.append((time.perf_counter() - start, clock.spent))
            finally:
                gc.enable()
            if instrumented != plain:  # the timing wrappers must not change which path runs
                raise AssertionError(f"{endpoint[0]}: {instrumented} native querysets "
                                     f"instrumented, {plain} without")
        quorvel_core.uninstall()
        total, spent = min(rounds, key=lambda r: r[0])
        spent = {name: fast * value / total for name, value in spent.items()}
        rest = fast - sum(spent.values())
        rows_free = fast - spent["rows to instances"] - spent["prefetch levels"]
        lines.append((f"GET {endpoint[2]}", f"{drf * 1e3:.3f} ms", f"{fast * 1e3:.3f} ms",
                     *(f"{spent[name] * 1e3:.3f} ms" for name in PARTS),
                     f"{rest * 1e3:.3f} ms",
                     f"{drf / (fast - spent['compiling SQL']):.2f}x", f"{drf / rows_free:.2f}x"))
    print("\nWhere the time of each GET goes with quorvel_core.install(): its time above, shared "
          "out as an instrumented pass spends it (each part without the parts inside it), and the "
          "most its speed-up could be with one part free:\n")
    table(("request", "DRF", "quorvel_core", *PARTS, "the rest", "SQL compiled free",
           "rows free"), lines)
