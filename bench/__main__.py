"""`python3 -m bench`: times every case and writes the table, JSON and chart.

    python3 -m bench                 # the short default run
    python3 -m bench --long          # more and longer repeats
    python3 -m bench -k json         # only the cases whose name holds "json"
    python3 -m bench --callgrind     # instruction counts of the main loops instead
"""

import argparse
import datetime
import os
import platform
import sys
import time
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python3 -m bench", description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5, help="timed repeats per case (5)")
    parser.add_argument("--min-time", type=float, default=0.04,
                        help="seconds each side of one repeat lasts at least (0.04)")
    parser.add_argument("--long", action="store_true", help="15 repeats of at least 0.25 s")
    parser.add_argument("-k", dest="filter", default="",
                        help="run only cases whose 'group / case / baseline' holds this text")
    parser.add_argument("--out", default=str(ROOT / "build" / "bench"),
                        help="directory for results.json, results.md and speedups.png")
    parser.add_argument("--no-chart", action="store_true", help="skip the PNG chart")
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions of the main loops under callgrind instead")
    parser.add_argument("--redraw", action="store_true",
                        help="only redraw the table, Markdown and chart from --out's results.json")
    args = parser.parse_args(argv)
    if args.long:
        args.repeats, args.min_time = 15, 0.25
    if args.repeats < 1 or args.min_time <= 0:
        parser.error("--repeats must be at least 1 and --min-time positive")
    return args


def setup_django():
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "bench.settings")
    import django

    django.setup()
    import quorvel_core  # noqa: F401  (configures the native module)

    from . import data

    data.create_rows()


def _version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def _cpu():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or None


def _commit():
    """The checkout's commit, read from .git directly: the environment has no git."""
    try:
        git = ROOT / ".git"
        if git.is_file():  # a worktree: "gitdir: <path>"
            git = Path(git.read_text().split(":", 1)[1].strip())
        head = (git / "HEAD").read_text().strip()
        if not head.startswith("ref: "):
            return head[:12]
        ref = head[5:]
        common = git / "commondir"
        base = (git / common.read_text().strip()).resolve() if common.exists() else git
        for root in (git, base):
            if (root / ref).exists():
                return (root / ref).read_text().strip()[:12]
        for line in (base / "packed-refs").read_text().splitlines():
            if line.endswith(" " + ref):
                return line.split()[0][:12]
    except (OSError, IndexError):
        pass
    return None


def meta(args):
    import quorvel_core

    from .accel import PATH

    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "commit": _commit(),
        "python": sys.version.split()[0],
        "cpu": _cpu(),
        "cores": os.cpu_count(),
        "repeats": args.repeats,
        "min_time": args.min_time,
        "quorvel_core": quorvel_core.__version__,
        "versions": {name: _version(name) for name in (
            "Django", "djangorestframework", "orjson", "msgspec", "serpy", "pydantic")},
        "speedup": "baseline time / quorvel_core time, per repeat; median and min-max of the repeats",
        "accelerated_side": PATH,
    }


def run(args):
    setup_django()
    from . import report
    from .cases import Fixtures, all_cases
    from .harness import FAILED, run_case

    needle = args.filter.lower()
    cases = [c for c in all_cases() if needle in c.key.lower()]
    if not cases:
        print(f"no case matches {args.filter!r}", file=sys.stderr)
        return 2
    fixtures = Fixtures()
    results = []
    started = time.perf_counter()
    for case in cases:
        print(f"  {case.key} ...", end="", flush=True, file=sys.stderr)
        case_start = time.perf_counter()
        result = run_case(case, fixtures, repeats=args.repeats, min_time=args.min_time)
        print(f" {result.status} ({time.perf_counter() - case_start:.1f} s)", file=sys.stderr)
        results.append(result)
    elapsed = time.perf_counter() - started

    info = meta(args)
    info["seconds"] = round(elapsed)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    report.write_json(out / "results.json", results, info)
    _publish(args, results, info)
    failed = [r for r in results if r.status in FAILED]
    for r in failed:
        print(f"FAILED {r.group} / {r.name} / {r.baseline}: {r.status}: {r.note}", file=sys.stderr)
    return 1 if failed else 0


def _publish(args, results, info):
    """Prints the table and writes the Markdown table and the chart."""
    from . import report

    title = (f"quorvel_core {info['quorvel_core']} against its baselines: speed-up = baseline "
             f"time / quorvel_core time,\nmedian of {info['repeats']} side-by-side repeats with "
             f"their min - max (Python {info['python']}, {info['cores']} cores, "
             f"{info.get('seconds', '?')} s)\naccelerated side: {info.get('accelerated_side', '?')}")
    print()
    print(report.text_table(results, title))
    out = Path(args.out)
    (out / "results.md").write_text(report.markdown_table(results))
    written = [out / "results.json", out / "results.md"]
    if not args.no_chart:
        chart_title = (f"quorvel_core speed-ups, median of {info['repeats']} repeats "
                       f"({info['date'][:10]})")
        if report.write_chart(out / "speedups.png", results, chart_title):
            written.append(out / "speedups.png")
        else:
            print("(no chart: matplotlib is not installed)")
    print("written: " + ", ".join(str(p) for p in written))


def redraw(args):
    from . import report

    path = Path(args.out) / "results.json"
    try:
        results, info = report.read_json(path)
    except (OSError, ValueError, KeyError) as exc:
        print(f"cannot read {path}: {exc}", file=sys.stderr)
        return 2
    _publish(args, results, info)
    return 0


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.callgrind:
        from . import callgrind

        return callgrind.main(args)
    if args.redraw:
        return redraw(args)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
