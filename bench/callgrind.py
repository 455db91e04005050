"""Instruction counts of the main loops under callgrind, free of timing noise.

`python3 -m bench --callgrind` runs this module under valgrind. The child
checks each loop's answers like the timed run, then counts one side at a time
between two markers: os.getpgrp(), whose call of libc's getpgrp() zeroes
callgrind's counters (--zero-before), and os.getppid(), whose getppid() dumps
them (--dump-before), so every dump holds exactly one measured segment. Nothing
else calls those two. (Called through ctypes they carry no symbol name here.)
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

# (loop, case key in the timed run, calls per counted segment)
LOOPS = (
    ("representation", "representation, many (1,000 rows) / flat, 10 fields / DRF", 1),
    ("validation", "validation, field loop only (to_internal_value) / flat, 10 fields / DRF", 1),
    ("to_json", "JSON out, to_json / representation / DRF JSONRenderer", 5),
    ("from_json", "JSON in, from_json / representation / json.loads", 5),
)
OUT_NAME = "callgrind.out"


def main(args):
    """The parent: runs the child under callgrind and prints the counts."""
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob(OUT_NAME + "*"):
        old.unlink()
    manifest = out / "callgrind-segments.json"
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out / OUT_NAME}",
        "--zero-before=getpgrp", "--dump-before=getppid", "--dump-instr=no",
        sys.executable, "-m", "bench.callgrind", str(manifest),
    ]
    print("running the loops under callgrind (about a minute) ...", file=sys.stderr)
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
    print(f"written: {out / 'callgrind.json'}")
    return 1 if any(row["status"] == "mismatch" for row in rows) else 0


def _rows(segments, out):
    """One row per loop, from the manifest and the numbered dumps."""
    rows, index = [], 0
    for segment in segments:
        row = {"loop": segment["loop"], "baseline": segment["baseline"],
               "status": segment["status"], "note": segment.get("note", "")}
        if segment["status"] == "ok":
            calls = segment["calls"]
            baseline = _total(out / f"{OUT_NAME}.{index + 1}") / calls
            candidate = _total(out / f"{OUT_NAME}.{index + 2}") / calls
            index += 2
            row.update(baseline_ir_per_call=round(baseline), candidate_ir_per_call=round(candidate),
                       ratio=baseline / candidate)
        rows.append(row)
    return rows


def _total(path):
    """The instruction count of one dump ("summary:" or "totals:" line)."""
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise ValueError(f"no instruction total in {path}")


def _table(rows):
    lines = ["instructions per call (callgrind Ir), baseline against quorvel_core", "",
             f"  {'loop':<16}{'baseline':<18}{'baseline Ir':>14}{'quorvel Ir':>14}{'ratio':>9}"]
    for r in rows:
        if r["status"] != "ok":
            lines.append(f"  {r['loop']:<16}{r['baseline']:<18}{r['status']}: {r['note']}")
            continue
        lines.append(f"  {r['loop']:<16}{r['baseline']:<18}{r['baseline_ir_per_call']:>14,}"
                     f"{r['candidate_ir_per_call']:>14,}{r['ratio']:>8.2f}x")
    return "\n".join(lines)


# --- The child, under valgrind --------------------------------------------------------

def child(manifest):
    from .__main__ import setup_django

    setup_django()
    from .cases import Fixtures, all_cases
    from .harness import first_difference

    zero, dump = os.getpgrp, os.getppid
    cases = {case.key: case for case in all_cases()}
    fixtures = Fixtures()
    segments = []
    for loop, key, calls in LOOPS:
        case = cases[key]
        segment = {"loop": loop, "baseline": case.baseline, "calls": calls, "status": "ok"}
        segments.append(segment)
        baseline, candidate = case.setup(fixtures)
        expected = baseline()
        try:
            got = candidate()
        except NotImplementedError as exc:
            segment.update(status="not available", note=str(exc))
            continue
        difference = (case.compare or first_difference)(expected, got)
        if difference is not None:
            segment.update(status="mismatch", note=difference)
            continue
        del expected, got
        for side in (baseline, candidate):
            zero()
            for _ in range(calls):
                side()
            dump()
    Path(manifest).write_text(json.dumps(segments))


if __name__ == "__main__":
    child(sys.argv[1])
