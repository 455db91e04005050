"""The results as a text table, a Markdown table, JSON and a bar chart."""

import json

from .harness import OK, Result


def speedup(value):
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"


def duration(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def target_text(result):
    if result.target is None:
        return ""
    verdict = {True: "met", False: "MISSED", None: ""}[result.met]
    return f">= {speedup(result.target)} {verdict}".rstrip()


def _row(result):
    if result.status != OK:
        note = f"{result.status}: {result.note}" if result.note else result.status
        return [result.name, result.baseline, note]
    return [result.name, result.baseline, speedup(result.median),
            f"{speedup(result.low)} - {speedup(result.high)}",
            duration(result.baseline_seconds), duration(result.candidate_seconds),
            target_text(result)]


HEADER = ["case", "vs", "speed-up", "min - max", "baseline/call", "quorvel/call", "target"]


def text_table(results, title):
    rows = [_row(r) for r in results]
    full = [HEADER] + [r for r in rows if len(r) == len(HEADER)]
    widths = [max(len(r[i]) for r in full) for i in range(len(HEADER))]
    # Rows without figures still line up their case and baseline columns.
    widths[:2] = [max(len(r[i]) for r in [HEADER] + rows) for i in range(2)]
    lines = [title, ""]
    group = None
    for result, row in zip(results, rows):
        if result.group != group:
            group = result.group
            lines += ["", group, "  " + _cells(HEADER, widths)]
        if len(row) == len(HEADER):
            lines.append("  " + _cells(row, widths))
        else:
            lines.append("  " + _cells(row[:2], widths) + "  " + row[2])
    return "\n".join(lines).rstrip() + "\n"


def _cells(row, widths):
    right = {2, 3, 4, 5}  # numbers
    return "  ".join(cell.rjust(w) if i in right else cell.ljust(w)
                     for i, (cell, w) in enumerate(zip(row, widths))).rstrip()


def markdown_table(results):
    lines = ["| group | case | vs | speed-up | min - max | target |",
             "|---|---|---|---:|---:|---|"]
    for r in results:
        if r.status == OK:
            cells = [speedup(r.median), f"{speedup(r.low)} - {speedup(r.high)}", target_text(r)]
        else:
            cells = [r.status, "", ""]
        lines.append("| " + " | ".join([r.group, r.name, r.baseline] + cells) + " |")
    return "\n".join(lines) + "\n"


def write_json(path, results, meta):
    with open(path, "w") as out:
        json.dump({"meta": meta, "results": [r.as_dict() for r in results]}, out, indent=2)
        out.write("\n")


def read_json(path):
    """(results, meta) from a file written by `write_json`."""
    saved = json.loads(path.read_text())
    results = [
        Result(r["group"], r["case"], r["baseline"], r["candidate"], r["status"], r["note"],
               r["target"], r["speedups"], r["baseline_seconds_per_call"],
               r["candidate_seconds_per_call"], tuple(r["loops"]))
        for r in saved["results"]
    ]
    return results, saved["meta"]


def write_chart(path, results, title):
    """A horizontal bar per timed comparison (log scale), whiskers from the
    slowest to the fastest repeat, and the target as a tick. Returns False
    when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    timed = [r for r in results if r.status == OK]
    if not timed:
        return False
    groups = list(dict.fromkeys(r.group for r in timed))
    colours = plt.get_cmap("tab10")
    labels = [f"{r.group.split(',')[0]}: {r.name} vs {r.baseline}" for r in timed]
    ys = range(len(timed))[::-1]
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(timed) + 1.6))
    for y, r in zip(ys, timed):
        colour = colours(groups.index(r.group) % 10)
        ax.barh(y, r.median, color=colour, height=0.7)
        ax.plot([r.low, r.high], [y, y], color="black", linewidth=1)
        ax.text(max(r.median, r.high) * 1.05, y, speedup(r.median), va="center", fontsize=7)
        if r.target is not None:
            ax.plot([r.target, r.target], [y - 0.4, y + 0.4], color="red", linewidth=1.5)
    ax.set_yticks(list(ys), labels, fontsize=7)
    ax.set_xscale("log")
    ticks = [t for t in (0.1, 0.3, 1, 3, 10, 30, 100)
             if min(r.low for r in timed) / 3 <= t <= max(r.high for r in timed) * 3]
    ax.set_xticks(ticks, [f"{t:g}x" for t in ticks])
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle="--")
    ax.set_xlabel("speed-up of quorvel_core (baseline time / quorvel_core time), log scale;"
                  " red tick: target", fontsize=8)
    ax.set_title(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
