"""Runs the C++ tests and the whole suite under each supported CPython.

    python3 tools/pythons.py python3.13 python3.14 python3.15

For each interpreter: `make PYTHON=<it> test-cpp` builds the extension for
it (objects under build/dev/<its EXT_SUFFIX>, the module beside the other
interpreters' builds in quorvel_core/) and runs the C++ tests; then the suite
runs twice, plain and with --quorvel-install, as `make test` runs it (the two
passes side by side), with the environment's own Django and DRF. A table of
the counts follows, and the exit status is non-zero when anything failed.
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

from matrix import ROOT, exit_status, run_suites, table


def describe(python):
    """(version, tag) of an interpreter: 3.13.18 and cpython-313-x86_64-linux-gnu."""
    code = ("import platform, sysconfig; print(platform.python_version()); "
            "print(sysconfig.get_config_var('EXT_SUFFIX').strip('.').removesuffix('.so'))")
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    version, tag = out.stdout.split()
    return version, tag


def run_cpp_tests(python):
    """Builds the extension and the C++ tests for `python` and runs them."""
    start = time.monotonic()
    code = subprocess.run(["make", "--no-print-directory", "-j2", f"PYTHON={python}", "test-cpp"],
                          cwd=ROOT).returncode
    return code == 0, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pythons", nargs="+", help="interpreters on PATH, e.g. python3.13")
    args = parser.parse_args()

    rows, broken = [], []
    for python in args.pythons:
        version, tag = describe(python)
        print(f"pythons: {python} ({version})", flush=True)
        built, seconds = run_cpp_tests(python)
        cpp = "passed" if built else "failed"
        if not built:
            broken.append(python)
            rows.append((version, cpp, "-", {"passed": 0, "failed": 0, "skipped": 0}, seconds))
            continue
        lane = ROOT / "build" / "pythons" / tag
        lane.mkdir(parents=True, exist_ok=True)
        rows += [(version, cpp, mode, counts, seconds)
                 for mode, counts, seconds in run_suites(python, lane)]
    print()
    print(table(rows, labels=("Python", "C++ tests", "mode")))
    return exit_status(rows, [f"pythons: the build or the C++ tests failed under {python}; "
                              "see the output above" for python in broken])


if __name__ == "__main__":
    sys.exit(main())
