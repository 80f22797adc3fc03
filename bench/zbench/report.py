"""The results as a Markdown table, JSON and a chart, after the honesty
checks: no time is negative, and no floor is slower than what it bounds.

Cells show the median of the samples; a floor row (Row.floor_of set) shows
its best sample, since a floor is the least the work can cost, and is
compared with the best sample of the row it bounds.
"""

from __future__ import annotations

import statistics
from pathlib import Path
from typing import Any

from .harness import Results

COLUMNS = ["_zelkor", "dict", "pickle", "sqlite3", "dbm.gnu", "lmdb", "marisa-trie"]

ROW_NOTES = {
    "build (from Python data, to disk)": "dict: in memory only; pickle: dict + dump + fsync; sqlite3, lmdb: "
                                         "includes sorting the rows",
    "open (ready for lookups)": "_zelkor: verify=True (default); sqlite3: connect + first query; "
                                "pickle: load",
    "all keys (keys())": "dict: list(d); lmdb: cursor + decode; marisa-trie: trie order",
    "all items (items_raw())": "dict: list(d.items()); lmdb: cursor + decode",
    "deep verification (verify())": "sqlite3: PRAGMA integrity_check",
}

TIME_UNITS = {"ms", "µs/scan", "ns/op", "ns/call", "ns/key"}

MICRO_ORDER = ["empty Python method, 1", "list.append", "add_object_raw", "empty Python method, 2", "dict.__setitem__",
               "add_key", "build(path)", "raw write", "same writes", "open per key", "empty for-loop", "keys()",
               "[k.decode()", "items_raw()", "[(k, v)", "[(k.decode(), v)", "prefix_raw()", "same list"]


def order_micro_rows(res: Results) -> None:
    """Puts the micro-benchmark rows in reading order (each call beside its yardstick)."""
    def rank(key: tuple[str, str]) -> tuple[int, int]:
        sec, row = key
        if not sec.startswith("Micro"):
            return (0, 0)
        for i, p in enumerate(MICRO_ORDER):
            if row.startswith(p):
                return (1, i)
        return (1, len(MICRO_ORDER))

    micro = sorted((k for k in res.order if k[0].startswith("Micro")), key=rank)
    if not micro:
        return
    first = next(i for i, k in enumerate(res.order) if k[0].startswith("Micro"))
    rest = [k for k in res.order if not k[0].startswith("Micro")]
    res.order = rest[:first] + micro + rest[first:]


def shown(res: Results, key: tuple[str, str], system: str) -> float | None:
    """The figure a cell shows: the best sample of a floor, else the median."""
    if res.rows[key].floor_of:
        return res.best(*key, system)
    return res.median(*key, system)


def honesty_flags(res: Results) -> dict[tuple[str, str], list[str]]:
    """Per row, what makes its figures untrustworthy: a negative time, or a
    floor whose best is slower than the best of the row it bounds (then the
    floor measures something else than the least that row's work costs)."""
    flags: dict[tuple[str, str], list[str]] = {}
    for key in res.order:
        r = res.rows[key]
        for system, samples in r.cells.items():
            if r.unit in TIME_UNITS and min(samples) < 0:
                flags.setdefault(key, []).append(f"{system}: negative time {min(samples):.4g} {r.unit}")
        if r.floor_of:
            bounded = (key[0], r.floor_of)
            if bounded not in res.rows:
                flags.setdefault(key, []).append(f"bounds a row that was not measured: {r.floor_of!r}")
                continue
            for system in r.cells:
                floor, measured = res.best(*key, system), res.best(*bounded, system)
                if floor is not None and measured is not None and floor > measured:
                    flags.setdefault(key, []).append(
                        f"{system}: floor {floor:.4g} {r.unit} is slower than {r.floor_of!r} at its best "
                        f"({measured:.4g} {r.unit})")
    return flags


def fmt(v: float | None) -> str:
    if v is None:
        return "—"
    a = abs(v)
    if a >= 1000:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def _label(res: Results, key: tuple[str, str], flags: dict[tuple[str, str], list[str]]) -> str:
    r = res.rows[key]
    label = key[1]
    if r.floor_of:
        n = max(len(v) for v in r.cells.values())
        label += f", best of {n}"
    return label + (" ⚠" if key in flags else "")


def to_markdown(res: Results, meta: dict[str, Any]) -> str:
    flags = honesty_flags(res)
    out = []
    d = meta["data"]
    out.append("# _zelkor against the stores a Python user would pick instead\n")
    out.append(f"{meta['date']} · {meta['machine']} · Linux {meta['kernel']} · commit {meta['commit']}  ")
    out.append("Versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()) + "  ")
    if d:
        out.append(
            f"Data: {d['keys']:,} keys ({d['key_bytes_mean']} B mean, {d['non_ascii_keys']:,} non-ASCII), "
            f"{d['objects']:,} objects ({d['object_bytes_mean']} B mean MessagePack, "
            f"{d['unreferenced_objects']:,} unreferenced, up to {d['max_keys_per_object']:,} keys on one), "
            f"{d['probes']:,} probes per lookup loop.  ")
    if meta.get("loadavg_start"):
        out.append(f"Load average at start {meta['loadavg_start'][0]}, at end {meta['loadavg_end'][0]} "
                   f"(1 min; {meta['machine'].split(',')[1].strip()}).  ")
    out.append(f"Median of {meta['reps']} interleaved runs ({meta['build_reps']} for builds); page cache warm. "
               "Machine shared with other jobs: read the ratios, not the last digit.  ")
    out.append("Cells: absolute figure, then (ratio to _zelkor). Ratio > 1: _zelkor is faster / smaller. "
               "An I/O floor shows its best run: the same bytes written the same way as by the build it "
               "bounds, with no other work.\n")
    if meta["skipped"]:
        out.append("Skipped: " + "; ".join(f"{k} — {v}" for k, v in meta["skipped"].items()) + "\n")
    if flags:
        out.append("**Figures to distrust (⚠):**\n")
        out.extend(f"- {key[1]}: {msg}" for key, msgs in flags.items() for msg in msgs)
        out.append("")

    sections: list[str] = []
    for sec, _ in res.order:
        if sec not in sections:
            sections.append(sec)
    for sec in sections:
        rows = [(s, r) for s, r in res.order if s == sec]
        used = [c for c in COLUMNS if any(c in res.rows[k].cells for k in rows)]
        out.append(f"\n## {sec}\n")
        if sec.startswith(("Micro", "Bulk", "Core")):
            out.extend(_plain_table(res, rows, used, flags))
            continue
        vs_dict = "dict" in used
        out.append("| workload | unit | " + " | ".join(used) + (" | _zelkor ÷ dict |" if vs_dict else " |"))
        out.append("|---|---|" + "---:|" * (len(used) + vs_dict))
        for key in rows:
            base = shown(res, key, "_zelkor")
            cells = []
            for c in used:
                v = shown(res, key, c)
                if v is None:
                    cells.append("—")
                elif c == "_zelkor" or not base:
                    cells.append(fmt(v))
                else:
                    cells.append(f"{fmt(v)} ({v / base:.2g}×)")
            if vs_dict:
                dv = shown(res, key, "dict")
                cells.append(f"{base / dv:.2f}" if base and dv else "—")
            out.append(f"| {_label(res, key, flags)} | {res.rows[key].unit} | " + " | ".join(cells) + " |")
        notes = [f"- {row}: {ROW_NOTES[row]}" for s, row in rows if row in ROW_NOTES]
        if notes:
            out.append("")
            out.extend(notes)
    out.append("\n## Notes\n")
    out.append("- Probe keys are fresh `str` objects per run (`k.encode().decode()`), so cached hashes and cached "
               "UTF-8 forms never help. lmdb needs bytes, so its loops include `k.encode()`.")
    out.append("- dict prefix scan: `bisect` on a sorted key list, then `d[k]` per match. "
               "pickle reads are dict reads (not repeated).")
    out.append("- Memory: child process per system; baseline after imports and loading the probe keys. Total RSS "
               "includes mapped file pages that were touched (_zelkor with verify=True populates the whole map; "
               "lmdb and marisa-trie map on demand; sqlite3 and dbm.gnu read through their own caches).")
    out.append("- Peers store one copy of the value per key; _zelkor stores each object once.")
    for k, v in meta["notes"].items():
        out.append(f"- {k}: {v}")
    return "\n".join(out) + "\n"


def _plain_table(res: Results, rows: list[tuple[str, str]], used: list[str],
                 flags: dict[tuple[str, str], list[str]]) -> list[str]:
    """A section measured for _zelkor alone (and lmdb beside it, when it was)."""
    out = []
    with_notes = any(res.rows[k].note for k in rows)
    tail = " note |" if with_notes else ""
    cols = ["_zelkor", "lmdb"] if "lmdb" in used else ["_zelkor"]
    if len(cols) == 1:
        out.append("| what | unit | median |" + tail)
        out.append("|---|---|---:|" + ("---|" if with_notes else ""))
    else:
        out.append("| what | unit | _zelkor | lmdb |" + tail)
        out.append("|---|---|---:|---:|" + ("---|" if with_notes else ""))
    for key in rows:
        r = res.rows[key]
        cells = [fmt(shown(res, key, c)) for c in cols]
        if with_notes:
            cells.append(r.note or "")
        out.append(f"| {_label(res, key, flags)} | {r.unit} | " + " | ".join(cells) + " |")
    return out


def to_json(res: Results, meta: dict[str, Any]) -> dict[str, Any]:
    flags = honesty_flags(res)
    rows = []
    for key in res.order:
        r = res.rows[key]
        row: dict[str, Any] = {
            "section": key[0], "row": key[1], "unit": r.unit,
            "median": {c: statistics.median(v) for c, v in r.cells.items()},
            "min": {c: min(v) for c, v in r.cells.items()},
            "samples": r.cells,
        }
        if r.floor_of:
            row["floor_of"] = r.floor_of
        if key in flags:
            row["flags"] = flags[key]
        rows.append(row)
    return {"meta": meta, "rows": rows}


def chart(res: Results, meta: dict[str, Any], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.patches
    import matplotlib.pyplot as plt

    def is_lookup(sec: str, row: str) -> bool:
        return sec.startswith("Lookups") and not row.startswith("empty")

    def is_scan(sec: str, row: str) -> bool:
        return sec.startswith("Prefix") and row.startswith("prefix")

    def is_long(sec: str, row: str) -> bool:
        return (sec == "Build and open" and row != "file size") or (
            sec.startswith("Prefix") and not row.startswith("prefix") and "objects_raw" not in row
            and "bytes" not in row)

    def is_memory(sec: str, row: str) -> bool:
        return sec.startswith("Memory") and res.rows[(sec, row)].unit == "B/key" and "verify=False" not in row

    panels = [
        ("Lookups (ns per call)", "ns per call", is_lookup),
        ("Prefix scans (µs per scan)", "µs per scan", is_scan),
        ("Build, open, listings (ms)", "ms", is_long),
        ("Memory (bytes per key)", "bytes per key", is_memory),
    ]
    fig, axes = plt.subplots(2, 2, figsize=(16, 12))
    colors = {"_zelkor": "#d62728", "dict": "#7f7f7f", "pickle": "#bcbd22", "sqlite3": "#1f77b4",
              "dbm.gnu": "#9467bd", "lmdb": "#2ca02c", "marisa-trie": "#ff7f0e"}
    drawn = set()
    for ax, (title, xlabel, pick) in zip(axes.flat, panels):
        rows = [k for k in res.order if pick(*k)]
        cols = [c for c in COLUMNS if any(c in res.rows[k].cells for k in rows)]
        height = 0.8 / max(1, len(cols))
        for j, c in enumerate(cols):
            ys, xs = [], []
            for i, k in enumerate(rows):
                v = shown(res, k, c)
                if v is not None and v > 0:
                    ys.append(i + (j - (len(cols) - 1) / 2) * height)
                    xs.append(v)
            ax.barh(ys, xs, height=height, label=c, color=colors.get(c))
            drawn.add(c)
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels([k[1] for k in rows], fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel(xlabel + " (log scale, shorter is better)")
        ax.set_title(title)
        ax.grid(axis="x", which="both", alpha=0.3)
    handles = [matplotlib.patches.Patch(color=colors[c], label=c.replace("_zelkor", "zelkor (_zelkor)"))
               for c in COLUMNS if c in drawn]
    fig.legend(handles=handles, loc="upper center", ncol=len(handles), bbox_to_anchor=(0.5, 0.965), fontsize=10)
    fig.suptitle(f"_zelkor vs peers — {meta['keys']:,} keys, median of {meta['reps']} · {meta['date']}")
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    fig.savefig(path, dpi=90)
    plt.close(fig)
