"""Loaded into Django's own test run by tools/django_tests.py (PYTHONPATH).

It acts only in the process that runs the runtests.py named by
QUORVEL_DJANGO_TESTS_RUNTESTS, and in the workers that process forks; any
other Python started with this directory on its path (a test's subprocess,
pip) gets nothing but the next sitecustomize on the path, as it would without
this one. In that process it

- makes `fork` the start method of multiprocessing: Python 3.14 defaults to
  `forkserver`, whose SQLite test-database cloning Django 5.2 refuses, and a
  forked worker inherits the parent's state, install() included;
- records the outcome of the whole run (the test ids that failed, errored or
  unexpectedly passed) in QUORVEL_DJANGO_TESTS_OUT/results.json, from the
  result object itself rather than from the console output;
- stops the run when a parallel worker dies, where Django's runner would
  wait for it forever;
- with QUORVEL_DJANGO_TESTS_MODE=install, calls quorvel_core.install() right
  after Django's own setup, and has every process that runs tests write its
  quorvel_core.rows.counts() to QUORVEL_DJANGO_TESTS_OUT/counts/ as it exits.

Both passes run with the first three, so that the one difference between them
is install().
"""

import importlib.machinery
import importlib.util
import os
import sys


def _chain():
    # This file shadows any other sitecustomize (Debian ships one); run the
    # next one on the path as if this one were not there.
    here = os.path.dirname(os.path.abspath(__file__))
    rest = [p for p in sys.path if os.path.abspath(p or os.curdir) != here]
    found = importlib.machinery.PathFinder.find_spec("sitecustomize", rest)
    if found is not None and found.loader is not None:
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)


_chain()

_RUNTESTS = os.environ.get("QUORVEL_DJANGO_TESTS_RUNTESTS")
_OUT = os.environ.get("QUORVEL_DJANGO_TESTS_OUT")
_MODE = os.environ.get("QUORVEL_DJANGO_TESTS_MODE", "plain")
# The longest failure text kept per test in results.json.
_TEXT_LIMIT = 20000


def _ours():
    argv0 = sys.argv[0] if sys.argv else ""
    return bool(_RUNTESTS and _OUT and argv0) and os.path.realpath(argv0) == _RUNTESTS


def _write_json(path, data):
    import json

    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, sort_keys=True)
    os.replace(tmp, path)


def _test_id(test):
    # A failed subtest is reported under its test; an error outside any test
    # (setUpClass, a module that fails to import) under its holder's text.
    case = getattr(test, "test_case", None)
    if case is not None:
        return case.id()
    return test.id()


def _write_results(result):
    outcome = {"run": result.testsRun, "skipped": len(result.skipped),
               "expected_failures": len(result.expectedFailures),
               "failures": {}, "errors": {}, "unexpected_successes": {}}
    for kind, entries in (("failures", result.failures), ("errors", result.errors)):
        for entry in entries:
            # Django's result classes may append more (the SQL of --debug-sql).
            test, text = entry[0], entry[1]
            texts = outcome[kind].setdefault(_test_id(test), [])
            texts.append(text[:_TEXT_LIMIT])
    for test in result.unexpectedSuccesses:
        outcome["unexpected_successes"][_test_id(test)] = ["unexpected success"]
    _write_json(os.path.join(_OUT, "results.json"), outcome)


def _record_results(main_pid):
    from django.test.runner import DiscoverRunner

    run_suite = DiscoverRunner.run_suite
    depth = 0

    def recording_run_suite(self, suite, **kwargs):
        # Some of Django's tests run suites of their own, in this process or
        # in a worker: only the outermost run, runtests.py's, is recorded.
        nonlocal depth
        if os.getpid() != main_pid or depth:
            return run_suite(self, suite, **kwargs)
        depth += 1
        try:
            result = run_suite(self, suite, **kwargs)
        finally:
            depth -= 1
        _write_results(result)
        return result

    recording_run_suite.__wrapped__ = run_suite
    DiscoverRunner.run_suite = recording_run_suite


def _watch_workers(main_pid):
    # multiprocessing.Pool replaces a worker that dies (a crash in native
    # code) but never finishes the task it held, so Django's runner would wait
    # for that result forever: stop the run instead. Django's runner has
    # faulthandler print the dead worker's stack to the output.
    import _thread
    import threading
    from multiprocessing.pool import Pool

    join_exited_workers = Pool._join_exited_workers
    stopping = False

    def watching_join_exited_workers(pool):
        nonlocal stopping
        dead = [worker.exitcode for worker in pool if worker.exitcode not in (None, 0)]
        if dead and os.getpid() == main_pid and not stopping:
            stopping = True
            print(f"\nsitecustomize: a test worker died (exit code {dead[0]}); "
                  "stopping the run", file=sys.stderr, flush=True)
            with open(os.path.join(_OUT, "dead-workers"), "a") as f:
                f.write("".join(f"{code}\n" for code in dead))
            # As Ctrl-C does: unittest's handler stops the run, which reports
            # what it has.
            _thread.interrupt_main()
            threading.Thread(target=_exit_soon, daemon=True).start()
        return join_exited_workers(pool)

    Pool._join_exited_workers = staticmethod(watching_join_exited_workers)


def _exit_soon():
    # A worker that died holding the pool's task queue lock leaves the other
    # workers, and the pool's own shutdown, waiting for it: end the process
    # (tools/django_tests.py ends what is left of its process group).
    import time

    time.sleep(60)
    print("sitecustomize: the run did not stop; exiting", file=sys.stderr, flush=True)
    os._exit(70)


def _counts():
    from quorvel_core import prefetch, rows

    counts = dict(rows.counts())
    counts.update({f"prefetch {key}": value for key, value in prefetch.counts().items()})
    return counts


class _Counter:
    """What this process has counted since it began or was forked."""

    def __init__(self):
        self.baseline = {}

    def after_fork(self):
        # A forked worker starts with its parent's counts, which the parent
        # reports itself; atexit's handlers were cleared by the fork.
        import atexit

        try:
            self.baseline = _counts()
        except Exception:
            self.baseline = {}
        atexit.register(self.write)

    def write(self):
        import secrets

        try:
            now = _counts()
            data = {key: value - self.baseline.get(key, 0) for key, value in now.items()}
        except Exception as exc:
            data = {"error": f"quorvel_core.rows.counts() failed: {type(exc).__name__}: {exc}"}
        data["pid"] = os.getpid()
        folder = os.path.join(_OUT, "counts")
        os.makedirs(folder, exist_ok=True)
        # Process ids are reused in a long run: each file gets a name of its own.
        _write_json(os.path.join(folder, f"{os.getpid()}-{secrets.token_hex(4)}.json"), data)


_counter = _Counter()


def _after_setup():
    import atexit
    import multiprocessing.util

    _record_results(os.getpid())
    _watch_workers(os.getpid())
    if _MODE == "install":
        import quorvel_core

        quorvel_core.install()
        atexit.register(_counter.write)
        # Runs in each multiprocessing child right after the fork (Django's
        # parallel workers), after multiprocessing has cleared atexit there.
        multiprocessing.util.register_after_fork(_counter, _Counter.after_fork)


def _start():
    import multiprocessing

    import django

    multiprocessing.set_start_method("fork", force=True)
    setup = django.setup
    done = False

    def quorvel_setup(*args, **kwargs):
        nonlocal done
        result = setup(*args, **kwargs)
        if not done:
            done = True
            _after_setup()
        return result

    quorvel_setup.__wrapped__ = setup
    django.setup = quorvel_setup


if _ours():
    _start()
