"""Instruction counts of the main loops under callgrind, free of timing noise.

`python3 -m bench --callgrind` runs this module under valgrind. The child
checks each loop's answers like the timed run, then counts one side at a time
between two markers: os.getpgrp(), whose call of libc's getpgrp() zeroes
callgrind's counters (--zero-before), and os.getppid(), whose getppid() dumps
them (--dump-before), so every dump holds exactly one measured segment. Nothing
else calls those two. (Called through ctypes they carry no symbol name here.)

The dumps stay in the output directory (callgrind.out.1, .2, ...: baseline
then quorvel_core for each loop in turn) for callgrind_annotate or kcachegrind.
"""

import collections
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

# (loop, case key in the timed run, calls per counted segment)
LOOPS = (
    ("representation", "representation, many (1,000 rows) / flat, 10 fields / DRF", 1),
    ("validation", "field loop only, to_internal_value of 1,000 payloads / flat, 10 fields / DRF", 1),
    ("to_json", "JSON out, to_json / representation / DRF JSONRenderer", 5),
    ("from_json", "JSON in, from_json / representation / json.loads", 5),
)
OUT_NAME = "callgrind.out"
TOP_FUNCTIONS = 8


def main(args):
    """The parent: runs the child under callgrind and prints the counts."""
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob(OUT_NAME + "*"):
        old.unlink()
    plan, manifest = out / "callgrind-plan.json", out / "callgrind-segments.json"
    plan.write_text(json.dumps(_loops(args.filter)))
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out / OUT_NAME}",
        "--zero-before=getpgrp", "--dump-before=getppid", "--dump-instr=no",
        sys.executable, "-m", "bench.callgrind", str(plan), str(manifest),
    ]
    print("running the loops under callgrind (a minute or two) ...", file=sys.stderr)
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(command, cwd=Path(__file__).resolve().parent.parent, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-4000:])
        return done.returncode
    segments = json.loads(manifest.read_text())
    dumps = len(list(out.glob(OUT_NAME + ".*")))
    expected = 2 * sum(segment["status"] == "ok" for segment in segments)
    if dumps != expected:
        print(f"expected {expected} callgrind dumps, found {dumps}: something else called "
              "getpgrp() or getppid()", file=sys.stderr)
        return 1
    rows = _rows(segments, out)
    print(_table(rows))
    (out / "callgrind.json").write_text(json.dumps(rows, indent=2) + "\n")
    print(f"written: {out / 'callgrind.json'} and the dumps {out / OUT_NAME}.N")
    return 1 if any(row["status"] == "mismatch" for row in rows) else 0


def _loops(needle):
    """The main loops, or with -k every timed case that matches (one call each)."""
    if not needle:
        return [list(loop) for loop in LOOPS]
    return [[needle, needle, 1]]  # resolved against the case table in the child


def _rows(segments, out):
    """One row per loop, from the manifest and the numbered dumps."""
    rows, index = [], 0
    for segment in segments:
        row = {"loop": segment["loop"], "baseline": segment["baseline"],
               "status": segment["status"], "note": segment.get("note", "")}
        if segment["status"] == "ok":
            calls = segment["calls"]
            baseline_file = out / f"{OUT_NAME}.{index + 1}"
            candidate_file = out / f"{OUT_NAME}.{index + 2}"
            index += 2
            baseline, candidate = _total(baseline_file) / calls, _total(candidate_file) / calls
            row.update(baseline_ir_per_call=round(baseline), candidate_ir_per_call=round(candidate),
                       ratio=baseline / candidate, dumps=[baseline_file.name, candidate_file.name],
                       candidate_top=_top(candidate_file, TOP_FUNCTIONS))
        rows.append(row)
    return rows


def _total(path):
    """The instruction count of one dump ("summary:" or "totals:" line)."""
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise ValueError(f"no instruction total in {path}")


_NAMED = re.compile(r"^(c?fn)=\((\d+)\)(?: (.*))?$")


def _top(path, count):
    """[(function, share of the dump's instructions)] of the costliest
    functions by their own (exclusive) instructions."""
    names, own, current, skip_next = {}, collections.Counter(), None, False
    for line in path.read_text().splitlines():
        named = _NAMED.match(line)
        if named:
            kind, ident, name = named.groups()
            if name:
                names[ident] = name
            if kind == "fn":
                current = ident
            continue
        if line.startswith("calls="):
            skip_next = True  # the next cost line is the callee's inclusive cost
            continue
        if line[:1].isdigit() or line[:1] in "+-*":
            if skip_next:
                skip_next = False
            elif current is not None:
                parts = line.split()
                if len(parts) > 1:
                    own[current] += int(parts[1])
    total = sum(own.values()) or 1
    return [(names.get(ident, "?")[:100], round(cost / total, 3))
            for ident, cost in own.most_common(count)]


def _table(rows):
    loop_w = max([len("loop")] + [len(r["loop"]) for r in rows]) + 2
    base_w = max([len("baseline")] + [len(r["baseline"]) for r in rows]) + 2
    lines = ["instructions per call (callgrind Ir), baseline against quorvel_core", "",
             f"  {'loop':<{loop_w}}{'baseline':<{base_w}}{'baseline Ir':>14}{'quorvel Ir':>14}"
             f"{'ratio':>9}"]
    for r in rows:
        if r["status"] != "ok":
            lines.append(f"  {r['loop']:<{loop_w}}{r['baseline']:<{base_w}}{r['status']}: {r['note']}")
            continue
        lines.append(f"  {r['loop']:<{loop_w}}{r['baseline']:<{base_w}}"
                     f"{r['baseline_ir_per_call']:>14,}{r['candidate_ir_per_call']:>14,}"
                     f"{r['ratio']:>8.2f}x")
    for r in rows:
        if r["status"] == "ok":
            lines += ["", f"  quorvel_core's own instructions, {r['loop']} vs {r['baseline']}:"]
            lines += [f"    {share:6.1%}  {name}" for name, share in r["candidate_top"]]
    return "\n".join(lines)


# --- The child, under valgrind --------------------------------------------------------

def child(plan, manifest):
    from .__main__ import setup_django

    setup_django()
    from .cases import Fixtures, all_cases
    from .harness import first_difference

    zero, dump = os.getpgrp, os.getppid
    cases = all_cases()
    fixtures = Fixtures()
    segments = []
    for loop, key, calls in _resolve(json.loads(Path(plan).read_text()), cases):
        case = next(c for c in cases if c.key == key)
        segment = {"loop": loop, "baseline": case.baseline, "calls": calls, "status": "ok"}
        segments.append(segment)
        # A case's modes (install() and uninstall()) switch outside the counted segments.
        enter_b, enter_c = case.modes or (_stay, _stay)
        try:
            enter_b()
            baseline, candidate = case.setup(fixtures)
            expected = baseline()
        except Exception as exc:
            segment.update(status="error", note=f"{type(exc).__name__}: {exc}")
            continue
        try:
            enter_c()
            got = candidate()
        finally:
            enter_b()
        difference = (case.compare or first_difference)(expected, got)
        if difference is not None:
            segment.update(status="mismatch", note=difference)
            continue
        del expected, got
        for enter, side in ((enter_b, baseline), (enter_c, candidate)):
            enter()
            zero()
            for _ in range(calls):
                side()
            dump()
        enter_b()
    Path(manifest).write_text(json.dumps(segments))


def _stay():
    pass


def _resolve(plan, cases):
    """Plan entries whose key is a filter become one entry per matching case."""
    keys = {c.key for c in cases}
    for loop, key, calls in plan:
        if key in keys:
            yield loop, key, calls
            continue
        for case in cases:
            if key.lower() in case.key.lower():
                yield f"{case.group.split(',')[0]}: {case.name}", case.key, calls


if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2])
