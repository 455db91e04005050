"""Django's own test suite, with quorvel_core.install() active and plain.

    python3 tools/django_tests.py [--python PYTHON] [--orm] [--parallel N] [--full-plain]
                                  [runtests.py arguments and test labels ...]

The suite is the one of the Django release that PYTHON (default: this
interpreter) imports, from that release's sdist on PyPI; its tests/ folder is
unpacked once into build/django-tests/<version>/ and reused. runtests.py runs
it on SQLite with install() called right after Django's own setup in every
process that runs tests (tools/django_tests/sitecustomize.py does that, and
records the outcome). Then the modules of the tests that failed run again
without install(): a test that fails there too (one that cannot pass as root)
is not the native path's doing. With --full-plain the plain pass runs the
whole suite first instead, as the accelerated one does; that doubles the time
of a full run, whose plain results depend on Django and the machine alone.

The run fails when a test fails with install() and not without it, when the
processes' quorvel_core.rows.counts() cannot be read, or when no queryset
took the native path.

--orm runs only the test apps that read rows through the ORM (ORM_APPS);
tools/matrix.py runs those against the other Django releases' environments.
Any other argument goes to runtests.py as it is: test labels, -k, --failfast.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HOOKS = ROOT / "tools" / "django_tests"
CACHE = ROOT / "build" / "django-tests"
# tblib lets a parallel worker send a failing test's traceback back to the
# runner; without it Django's worker gives up on the first failure it meets.
SITE = CACHE / "site"
SITE_PACKAGES = ("tblib",)

# Django's test apps that turn rows into model instances: plain and related
# rows, deferred fields, inheritance, custom and composite primary keys, field
# conversions, time zones, annotations, managers and signals on the way.
ORM_APPS = (
    "basic", "queries", "select_related", "select_related_onetoone",
    "select_related_regress", "prefetch_related", "defer", "defer_regress",
    "model_fields", "model_inheritance", "model_inheritance_regress", "one_to_one",
    "many_to_one", "many_to_one_null", "custom_managers", "signals", "annotations",
    "timezones", "proxy_models", "known_related_objects", "from_db_value",
    "composite_pk", "custom_pk", "custom_columns", "generic_relations", "many_to_many",
    "m2m_through", "null_fk", "foreign_object", "lookup", "aggregation", "ordering",
    "queryset_pickle", "async",
)

# Tests whose outcome depends on the machine's load: this one compares the
# times of growing inputs, and fails now and then beside a second worker, in
# either pass. Such a failure is shown but not held against install().
TIMING_TESTS = frozenset({
    "serializers.test_deserialization.TestDeserializer.test_crafted_xml_performance",
})


def say(*parts):
    print("test-django:", *parts, flush=True)


def django_of(python):
    """(version, package folder) of the Django that `python` imports."""
    out = subprocess.run([python, "-c", "import django, os; print(django.__version__); "
                          "print(os.path.dirname(django.__file__))"],
                         capture_output=True, text=True)
    if out.returncode:
        sys.exit(f"test-django: {python} cannot import Django:\n{out.stderr}")
    version, folder = out.stdout.split("\n")[:2]
    return version, Path(folder)


def pip(*args):
    return subprocess.run([sys.executable, "-m", "pip", *args, "-q", "--disable-pip-version-check",
                           "--retries", "2", "--timeout", "30"]).returncode


def test_suite(version, package):
    """build/django-tests/<version>/tests, unpacked from the sdist once."""
    folder = CACHE / version
    tests = folder / "tests"
    if not (tests / "runtests.py").exists():
        unpack(version, folder)
    # The suite looks for Django's sources next to tests/ (tests/sphinx reads
    # them, admin_scripts puts that folder on its subprocesses' path): there
    # they are the ones under test.
    link = folder / "django"
    if not (link.is_symlink() and link.readlink() == package):
        link.unlink(missing_ok=True)
        link.symlink_to(package)
    return tests


def unpack(version, folder):
    folder.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        say(f"downloading the sdist of Django {version} (once)")
        if pip("download", "--no-deps", "--no-binary", ":all:", "-d", tmp, f"django=={version}"):
            sys.exit(f"test-django: cannot download the sdist of Django {version}")
        sdist = next(Path(tmp).glob("*.tar.gz"))
        top = sdist.name.removesuffix(".tar.gz") + "/"
        unpacked = Path(tmp) / "unpacked"
        with tarfile.open(sdist) as tar:
            members = []
            for member in tar.getmembers():
                name = member.name.removeprefix(top)
                # Only the tests and the documentation's Sphinx extensions,
                # which tests/sphinx imports: never the sdist's copy of the
                # package, so that the suite tests the Django PYTHON imports.
                if name.startswith(("tests/", "docs/_ext/")):
                    member.name = name
                    members.append(member)
            tar.extractall(unpacked, members=members, filter="data")
        if not (unpacked / "tests" / "runtests.py").exists():
            sys.exit(f"test-django: {sdist.name} has no tests/runtests.py")
        shutil.rmtree(folder / "docs", ignore_errors=True)
        (unpacked / "docs").rename(folder / "docs")
        # Last: tests/runtests.py is the sign of a complete copy.
        (unpacked / "tests").rename(folder / "tests")


def site_packages():
    if all((SITE / name).exists() for name in SITE_PACKAGES):
        return SITE
    say("installing", ", ".join(SITE_PACKAGES), "into", SITE.relative_to(ROOT), "(once)")
    shutil.rmtree(SITE, ignore_errors=True)
    if pip("install", "--no-deps", "--target", str(SITE), *SITE_PACKAGES):
        sys.exit("test-django: cannot install " + ", ".join(SITE_PACKAGES))
    return SITE


def run_pass(python, tests, out, mode, runtests_args):
    """Runs runtests.py once; returns (outcome or None, seconds)."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    runtests = tests / "runtests.py"
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join(map(str, (HOOKS, ROOT, site_packages()))),
               QUORVEL_DJANGO_TESTS_RUNTESTS=str(runtests.resolve()),
               QUORVEL_DJANGO_TESTS_OUT=str(out.resolve()),
               QUORVEL_DJANGO_TESTS_MODE=mode)
    env.pop("DJANGO_SETTINGS_MODULE", None)
    log = out / "output.log"
    start = time.monotonic()
    with open(log, "w") as f:
        # A session of its own, so that whatever the run leaves behind (a
        # worker orphaned by a crash) can be ended with it.
        run = subprocess.Popen([python, str(runtests), "--settings=test_sqlite", "--noinput",
                                *runtests_args], cwd=tests, env=env, stdout=f,
                               stderr=subprocess.STDOUT, start_new_session=True)
        try:
            run.wait()
        finally:
            try:
                os.killpg(run.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            run.wait()
    seconds = time.monotonic() - start
    results = out / "results.json"
    if not results.exists():
        return None, seconds
    return json.loads(results.read_text()), seconds


def failed(outcome):
    """{test id: [texts]} of every failure, error and unexpected success."""
    merged = {}
    for kind in ("failures", "errors", "unexpected_successes"):
        for test, texts in outcome[kind].items():
            merged.setdefault(test, []).extend(texts)
    return merged


def read_counts(out):
    """The counts summed over the processes, the processes, the errors."""
    total, processes, errors = {}, 0, []
    for path in sorted((out / "counts").glob("*.json")):
        data = json.loads(path.read_text())
        processes += 1
        if "error" in data:
            errors.append(data["error"])
            continue
        for key, value in data.items():
            if key != "pid":
                total[key] = total.get(key, 0) + value
    return total, processes, sorted(set(errors))


def module_of(test):
    """The test module of a test id as failed() gives it."""
    if test.startswith("unittest.loader._FailedTest."):
        return test.removeprefix("unittest.loader._FailedTest.")
    if test.endswith(")") and " (" in test:
        # An error outside a test: "setUpClass (app.tests.Class)" or
        # "setUpModule (app.tests)".
        name = test[test.index(" (") + 2:-1]
        module, _, last = name.rpartition(".")
        return module if last[:1].isupper() else name
    return test.rsplit(".", 2)[0]


def failed_again(python, tests, version, new):
    """Runs the modules of the tests that failed only with install() again,
    alone and with install(): the tests that fail again."""
    if not new:
        return []
    modules = sorted({module_of(test) for test in new})
    out = CACHE / version / "accelerated-again"
    say(f"running their modules again with install(): {' '.join(modules)}")
    outcome, _ = run_pass(python, tests, out, "install", ["--parallel=1", *modules])
    if outcome is None:
        say("that run ended without a result; the end of its output:")
        print(tail(out / "output.log"), flush=True)
        return []
    again = failed(outcome)
    return [test for test in new if test in again]


def tail(path, lines=40):
    text = path.read_text(errors="replace").splitlines()
    return "\n".join(text[-lines:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter whose Django is tested (default: this one)")
    parser.add_argument("--orm", action="store_true",
                        help="only the test apps that read rows through the ORM")
    parser.add_argument("--parallel", type=int, default=2, metavar="N",
                        help="runtests.py's worker processes (default: 2)")
    parser.add_argument("--full-plain", action="store_true",
                        help="run the plain pass over the same tests, not only the failed ones")
    parser.add_argument("--summary", type=Path, metavar="FILE",
                        help="also write the summary as JSON to FILE")
    args, runtests_args = parser.parse_known_args()

    python = str(Path(args.python).absolute()) if os.sep in args.python else args.python
    version, package = django_of(python)
    tests = test_suite(version, package)
    labels = list(ORM_APPS) if args.orm else []
    runtests_args = [f"--parallel={args.parallel}", *runtests_args, *labels]
    say(f"Django {version} ({python}), tests from {tests.relative_to(ROOT)},",
        "runtests.py", " ".join(runtests_args))

    outcomes, seconds = {}, {}

    def run(name, mode, arguments):
        out = CACHE / version / name
        say(f"{name} pass: running (output in {(out / 'output.log').relative_to(ROOT)})")
        outcomes[name], seconds[name] = run_pass(python, tests, out, mode, arguments)
        if outcomes[name] is None:
            say(f"{name} pass: runtests.py ended without a result; the end of its output:")
            print(tail(out / "output.log"), flush=True)

    if args.full_plain:
        run("plain", "plain", runtests_args)
    run("accelerated", "install", runtests_args)
    accelerated = outcomes["accelerated"]
    modules = sorted({module_of(test) for test in failed(accelerated)}) if accelerated else []
    if not args.full_plain and modules:
        say(f"{len(modules)} modules had failures with install(); running them plain")
        run("plain", "plain", [f"--parallel={args.parallel}", *modules])
    plain = outcomes.get("plain")

    problems = []
    summary = {"django": version, "python": python, "args": runtests_args, "passes": {}}
    print()
    for name in ("plain", "accelerated"):
        if name not in outcomes:
            say(f"{'plain':12} not needed: no test failed with install()")
            continue
        outcome = outcomes[name]
        dead = CACHE / version / name / "dead-workers"
        if dead.exists():
            codes = ", ".join(sorted(set(dead.read_text().split())))
            problems.append(f"a worker of the {name} pass died (exit code {codes}); "
                            f"see {(dead.parent / 'output.log').relative_to(ROOT)}")
        if outcome is None:
            problems.append(f"the {name} pass did not finish")
            summary["passes"][name] = None
            continue
        bad = failed(outcome)
        summary["passes"][name] = {"run": outcome["run"], "skipped": outcome["skipped"],
                                   "failed": len(bad), "seconds": round(seconds[name])}
        what = "" if name == "accelerated" or args.full_plain else " (the failed modules)"
        say(f"{name:12} {outcome['run']} tests run{what}, {len(bad)} failed, "
            f"{outcome['skipped']} skipped, {seconds[name]:.0f}s")
        if outcome["run"] == 0 and name == "accelerated":
            problems.append("the accelerated pass ran no test")

    if accelerated and (plain or "plain" not in outcomes):
        plain_bad, accelerated_bad = failed(plain) if plain else {}, failed(accelerated)
        for test in sorted(set(plain_bad) | set(accelerated_bad)):
            if test in plain_bad:
                say("  failed in both passes:" if test in accelerated_bad
                    else "  failed in the plain pass only:", test)
        new = sorted(set(accelerated_bad) - set(plain_bad))
        summary["new_failures"] = new
        say(f"failed only with install(): {len(new)}")
        for test in new[:10]:
            print(f"\n{'=' * 70}\n{test}\n{'-' * 70}")
            print("\n".join(accelerated_bad[test]), flush=True)
        # Each counts: a fault of the native path may show only after what
        # ran before it in the full pass. Running the modules again tells a
        # reader which failures stand alone.
        again = failed_again(python, tests, version, new)
        summary["failed_again"] = again
        for test in new:
            say("  " + test, "(failed again when its module ran alone)" if test in again
                else "(passed when its module ran alone: test order or timing?)")
        counted = [test for test in new if test not in TIMING_TESTS]
        if len(counted) < len(new):
            say("  not counted: tests that measure time,",
                " ".join(test for test in new if test in TIMING_TESTS))
        if counted:
            problems.append(f"{len(counted)} tests failed only with install()")
        if args.full_plain and plain["run"] != accelerated["run"]:
            problems.append(f"the passes ran different numbers of tests "
                            f"({plain['run']} and {accelerated['run']})")

    total, processes, errors = read_counts(CACHE / version / "accelerated")
    summary["counts"] = total
    if accelerated is not None:
        for error in errors:
            problems.append(f"the accelerated pass could not count its querysets: {error}")
        if not processes:
            problems.append("no process of the accelerated pass reported its counts")
        elif not errors:
            say(f"querysets in the accelerated pass: {total.get('native', 0)} native, "
                f"{total.get('django', 0)} by Django, over {processes} processes")
            say(f"prefetch levels in the accelerated pass: {total.get('prefetch native', 0)} "
                f"shortened, {total.get('prefetch django', 0)} by Django")
            if not total.get("native"):
                problems.append("no queryset took the native path in the accelerated pass")

    if args.summary:
        summary["problems"] = problems
        args.summary.write_text(json.dumps(summary, indent=1))
    for problem in problems:
        say("FAILED:", problem)
    if not problems:
        say("OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
