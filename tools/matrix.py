"""Runs the whole suite against each supported pair of Django and DRF.

    python3 tools/matrix.py [--pair DJANGO-DRF ...] [--pytest-django] [--no-django-tests]

Each pair gets a virtual environment of its own, build/matrix/<django>-<drf>,
without the system's site packages (the environment's Debian Django and DRF
would leak in), with Django, DRF, pytest and hypothesis from PyPI. An
environment that already has the right versions is reused. The extension is
the one `make build` made: the stable ABI is the same for every pair, so the
checkout is put on PYTHONPATH as it is. The suite runs twice per pair, plain
and with --quorvel-install, as `make test` runs it, the two passes side by
side; then a table of the counts is printed, and the exit status is non-zero
when anything failed.

Django's own tests of the ORM (tools/django_tests.py --orm, plain and with
install()) then run in one environment of each series of DJANGO_TESTS_SERIES,
the one with the newest DRF among the pairs run; --no-django-tests leaves
them out.

With --pytest-django the one lane is the environment's own Django and DRF
(system site packages) with pytest-django from PyPI in build/pytest-django,
to show that the suite keeps the plugin out of its way.
"""

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent



def _supported():
    """quorvel_core.versions, read by file: the package itself would load the
    extension and check the environment's own releases."""
    found = importlib.util.spec_from_file_location("versions", ROOT / "quorvel_core" / "versions.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def _pairs():
    # Every DRF release here requires only Django>=4.2 (3.16, 3.17) or >=5.2
    # (3.18), so pip installs each pairing; their classifiers name fewer (3.16
    # up to 5.2, 3.17 up to 6.0). Only Django 6.1 with 3.16 or 3.17 is left
    # out: DRF's views fail to import there (MINIMUM_DRF_FOR_DJANGO).
    v = _supported()

    def text(version):
        return ".".join(map(str, version))

    return tuple((text(django), text(drf)) for django in v.SUPPORTED_DJANGO
                 for drf in v.SUPPORTED_DRF if drf >= v.MINIMUM_DRF_FOR_DJANGO.get(django, drf))


PAIRS = _pairs()
TOOLS = ("pytest", "hypothesis")
MODES = (("plain", []), ("install", ["--quorvel-install"]))
# `make test-django` runs the whole of Django's suite for the environment's
# own release (5.2); the other releases' ORM apps run here.
DJANGO_TESTS_SERIES = ("6.0", "6.1")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def installed(python, names):
    """{distribution: version} in the environment of `python`, or None."""
    if not python.exists():
        return None
    code = ("import importlib.metadata as m, sys\n"
            "for n in sys.argv[1:]:\n"
            "    try: print(n, m.version(n))\n"
            "    except m.PackageNotFoundError: print(n, '-')\n")
    out = subprocess.run([python, "-c", code, *names], capture_output=True, text=True)
    if out.returncode:
        return None
    return dict(line.split(" ", 1) for line in out.stdout.splitlines())


def series_of(version):
    return ".".join(version.split(".")[:2])


def make_venv(path, requirements, want, system_site=False):
    """Creates (or reuses) the environment at `path`; `want` maps each
    distribution to the release series it must have (None: any)."""
    python = path / "bin" / "python"
    have = installed(python, list(want))
    if have and all(v != "-" and (s is None or series_of(v) == s) for n, s in want.items()
                    for v in [have[n]]):
        return python, False
    if path.exists():
        run(["rm", "-rf", str(path)])
    path.parent.mkdir(parents=True, exist_ok=True)
    run([sys.executable, "-m", "venv", *(["--system-site-packages"] if system_site else []),
         str(path)])
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
         "--retries", "2", "--timeout", "30", *requirements])
    have = installed(python, list(want))
    for name, series in want.items():
        if have is None or have[name] == "-" or (series and series_of(have[name]) != series):
            sys.exit(f"matrix: {path}: {name} is {have and have[name]}, not {series}")
    return python, True


def run_suites(python, lane):
    """The suite's passes (MODES) side by side, one per core, each one's
    output kept in lane/<mode>.log and printed whole once both are done, so
    that the log reads as if they had run one after the other.
    [(mode, counts, seconds)] in MODES' order."""
    with ThreadPoolExecutor(max_workers=len(MODES)) as pool:
        running = [(mode, pool.submit(run_suite, python, lane, mode, extra))
                   for mode, extra in MODES]
        results = [(mode, *future.result()) for mode, future in running]
    for mode, _, _ in results:
        print(f"{lane.name} ({mode}):", flush=True)
        sys.stdout.write((lane / f"{mode}.log").read_text())
        sys.stdout.flush()
    return results


def run_suite(python, lane, mode, extra):
    report = lane / f"{mode}.xml"
    report.unlink(missing_ok=True)
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    env.pop("DJANGO_SETTINGS_MODULE", None)
    start = time.monotonic()
    with open(lane / f"{mode}.log", "w") as log:
        code = subprocess.run(
            [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
             *extra, "tests"], cwd=ROOT, env=env, stdout=log, stderr=subprocess.STDOUT).returncode
    seconds = time.monotonic() - start
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    if report.exists():
        for suite in ET.parse(report).getroot().iter("testsuite"):
            tests, skipped = int(suite.get("tests")), int(suite.get("skipped"))
            bad = int(suite.get("failures")) + int(suite.get("errors"))
            counts["failed"] += bad
            counts["skipped"] += skipped
            counts["passed"] += tests - bad - skipped
    if code not in (0, 1) or (code == 1 and not counts["failed"]):
        counts["failed"] += 1  # pytest itself failed (usage, internal or collection error)
    return counts, seconds


def run_django_tests(python, lane):
    """tools/django_tests.py --orm against the lane's Django: its table rows
    and whether it passed (no test failed only with install(), and some
    querysets took the native path). The plain pass runs only the modules
    that had failures with install(), as in `make test-django`."""
    summary = lane / "django-tests.json"
    summary.unlink(missing_ok=True)
    code = subprocess.run([sys.executable, str(ROOT / "tools" / "django_tests.py"),
                           "--python", str(python), "--orm",
                           "--summary", str(summary)],
                          cwd=ROOT).returncode
    rows = []
    passes = json.loads(summary.read_text())["passes"] if summary.exists() else {}
    for name, mode in (("plain", "plain"), ("accelerated", "install")):
        outcome = passes.get(name)
        if outcome is None and name == "plain" and "accelerated" in passes:
            continue  # no test failed with install(): nothing to run plain
        if outcome is None:
            counts, seconds = {"passed": 0, "failed": 1, "skipped": 0}, 0
        else:
            counts = {"passed": outcome["run"] - outcome["failed"] - outcome["skipped"],
                      "failed": outcome["failed"], "skipped": outcome["skipped"]}
            seconds = outcome["seconds"]
        rows.append((mode, counts, seconds))
    return rows, code == 0


def table(rows, labels=("Django", "DRF", "mode")):
    """Rows of (*labels, counts, seconds) as aligned text."""
    head = (*labels, "passed", "failed", "skipped", "time")
    lines = [head] + [(*names, str(c["passed"]), str(c["failed"]), str(c["skipped"]),
                       f"{s:.0f}s") for *names, c, s in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip()
                     for line in lines)


def exit_status(rows, problems):
    """Prints each problem; 1 when there is one or a test of `rows` failed."""
    for problem in problems:
        print(problem)
    return 1 if problems or any(c["failed"] for *_, c, _ in rows) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pair", action="append", metavar="DJANGO-DRF",
                        help="run only this pair (repeatable), e.g. 6.0-3.17")
    parser.add_argument("--pytest-django", action="store_true",
                        help="run the one lane with pytest-django installed instead")
    parser.add_argument("--no-django-tests", action="store_true",
                        help="leave out Django's own ORM tests")
    args = parser.parse_args()

    lanes = []
    if args.pytest_django:
        import django
        import rest_framework

        pair = (series_of(django.__version__), series_of(rest_framework.__version__))
        lanes.append((pair, ROOT / "build" / "pytest-django", ["pytest-django"],
                      {"pytest-django": None}, True))
    else:
        pairs = PAIRS
        if args.pair:
            pairs = [tuple(p.split("-", 1)) for p in args.pair]
            unknown = [p for p in pairs if p not in PAIRS]
            if unknown:
                parser.error(f"not a pair of the matrix: {unknown}")
        for django, drf in pairs:
            requirements = [f"Django=={django}.*", f"djangorestframework=={drf}.*", *TOOLS]
            want = {"Django": django, "djangorestframework": drf, "pytest": None,
                    "hypothesis": None}
            lanes.append(((django, drf), ROOT / "build" / "matrix" / f"{django}-{drf}",
                          requirements, want, False))

    # The lane of each series that runs Django's ORM tests: the last, whose
    # DRF is the newest.
    django_tests = {} if args.pytest_django or args.no_django_tests else {
        django: path for (django, _), path, *_ in lanes if django in DJANGO_TESTS_SERIES}

    rows, django_rows, django_failed = [], [], []
    for (django, drf), path, requirements, want, system_site in lanes:
        start = time.monotonic()
        python, created = make_venv(path, requirements, want, system_site)
        have = installed(python, ["Django", "djangorestframework"])
        print(f"matrix: Django {have['Django']}, DRF {have['djangorestframework']} in {path}"
              f" ({f'created in {time.monotonic() - start:.0f}s' if created else 'reused'})",
              flush=True)
        rows += [(django, drf, mode, counts, seconds)
                 for mode, counts, seconds in run_suites(python, path)]
        if django_tests.get(django) == path:
            results, passed = run_django_tests(python, path)
            django_rows += [(django, drf, mode, counts, seconds)
                            for mode, counts, seconds in results]
            if not passed:
                django_failed.append(f"{django}-{drf}")
    print()
    print(table(rows))
    if django_rows:
        # A test may fail in both passes (one that cannot pass as root): only
        # tools/django_tests.py's comparison decides.
        print("\nDjango's own ORM tests (tools/django_tests.py --orm):")
        print(table(django_rows))
    return exit_status(rows, [f"matrix: Django's ORM tests failed with {pair}; see the output above"
                              for pair in django_failed])


if __name__ == "__main__":
    sys.exit(main())
