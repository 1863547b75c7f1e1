#!/usr/bin/env python3
"""Turns a Google Benchmark JSON file (run with repetitions) into markdown tables: the library's
CPU time against its anchors at each size, as median and best of the repetitions."""
import json
import sys

SIZES = (100, 1000, 10000, 1000000)
# (title, ours, anchor, anchor title)
PAIRS = [
    ("Build by key", "BM_BuildByKey_Vorn", "BM_BuildByKey_UnorderedMap", "unordered_map"),
    ("Build by key", "BM_BuildByKey_Vorn", "BM_BuildByKey_Absl", "absl"),
    ("Build by key, unit 0", "BM_BuildByKey_VornUnit0", "BM_BuildByKey_UnorderedMap", "unordered_map"),
    ("Build by key, unit 0", "BM_BuildByKey_VornUnit0", "BM_BuildByKey_Absl", "absl"),
    ("Read key=value block", "BM_EnvToHash_Vorn", "BM_EnvToHash_UnorderedMap", "unordered_map"),
    ("Read key=value block", "BM_EnvToHash_Vorn", "BM_EnvToHash_Absl", "absl"),
    ("Read key=value block, unit 0", "BM_EnvToHash_VornUnit0", "BM_EnvToHash_UnorderedMap", "unordered_map"),
    ("Lookup (half hits)", "BM_Lookup_Vorn", "BM_Lookup_Absl", "absl"),
    ("Lookup (half hits), unit 0", "BM_Lookup_VornUnit0", "BM_Lookup_Absl", "absl"),
    ("Lookup (half hits)", "BM_Lookup_Vorn", "BM_Lookup_AbslCString", "absl, out-of-line call with C-string key"),
    ("Lookup (half hits)", "BM_Lookup_Vorn", "BM_Lookup_UnorderedMap", "unordered_map"),
    ("Sort by value", "BM_Sort_Vorn", "BM_Sort_StableSort", "std::stable_sort"),
]
UNIT = {"ns": 1e-3, "us": 1, "ms": 1e3, "s": 1e6}


def load(path):
    with open(path) as f:
        data = json.load(f)
    stats, memory = {}, {}
    for b in data["benchmarks"]:
        name, _, rest = b["run_name"].partition("/")
        n = int(rest.split("/")[0])
        if name.startswith("BM_Memory_"):
            memory[(name, n)] = b["bytes_per_cell"]
            continue
        agg = b.get("aggregate_name") if b.get("run_type") == "aggregate" else "single"
        us = b["cpu_time"] * UNIT[b["time_unit"]]
        stats[(name, n, agg)] = us
    return stats, memory


def figure(stats, name, n, agg):
    return stats.get((name, n, agg), stats.get((name, n, "single")))


def summary(stats, memory):
    """One row per size: the ratios the targets are stated in (median, best in brackets)."""
    cols = [("build / unordered_map", "BM_BuildByKey_Vorn", "BM_BuildByKey_UnorderedMap"),
            ("build, unit 0 / unordered_map", "BM_BuildByKey_VornUnit0",
             "BM_BuildByKey_UnorderedMap"),
            ("block reading / unordered_map", "BM_EnvToHash_Vorn", "BM_EnvToHash_UnorderedMap"),
            ("block reading, unit 0 / unordered_map", "BM_EnvToHash_VornUnit0",
             "BM_EnvToHash_UnorderedMap"),
            ("lookup / absl", "BM_Lookup_Vorn", "BM_Lookup_Absl"),
            ("lookup, unit 0 / absl", "BM_Lookup_VornUnit0", "BM_Lookup_Absl"),
            ("lookup / absl behind a C call", "BM_Lookup_Vorn", "BM_Lookup_AbslCString")]
    rows = ["| n | " + " | ".join(c[0] for c in cols) + " | bytes per cell |",
            "|---:|" + "---:|" * (len(cols) + 1)]
    for n in SIZES:
        cells = []
        for _, ours, base in cols:
            a, b = figure(stats, ours, n, "median"), figure(stats, base, n, "median")
            a_min, b_min = figure(stats, ours, n, "min"), figure(stats, base, n, "min")
            cells.append("" if None in (a, b, a_min, b_min)
                         else f"{a / b:.2f} ({a_min / b_min:.2f})")
        mem = memory.get(("BM_Memory_Vorn", n))
        cells.append("" if mem is None else f"{mem:.1f}")
        rows.append(f"| {n:,} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def main(path):
    stats, memory = load(path)
    print(summary(stats, memory))
    print()
    rows = ["| operation | anchor | n | vornhash µs median / best | anchor µs median / best "
            "| ratio median | ratio best |", "|---|---|---:|---:|---:|---:|---:|"]
    for title, ours, base, base_title in PAIRS:
        for n in SIZES:
            a_med, b_med = figure(stats, ours, n, "median"), figure(stats, base, n, "median")
            a_min, b_min = figure(stats, ours, n, "min"), figure(stats, base, n, "min")
            if None in (a_med, b_med, a_min, b_min):
                continue
            rows.append(f"| {title} | {base_title} | {n:,} | {a_med:,.1f} / {a_min:,.1f} "
                        f"| {b_med:,.1f} / {b_min:,.1f} | {a_med / b_med:.2f} | {a_min / b_min:.2f} |")
    for name in ("BM_BuildByKey_Model", "BM_Lookup_Model", "BM_Sort_Model"):
        t = figure(stats, name, 10000, "median")
        if t is not None:
            rows.append(f"| {name[3:]} (plain linear model, before the index) | | 10,000 "
                        f"| {t:,.1f} | | | |")
    print("\n".join(rows))
    if memory:
        print()
        print("| n | vornhash bytes/cell | unordered_map bytes/cell | absl bytes/cell |")
        print("|---:|---:|---:|---:|")
        for n in SIZES:
            cells = [memory.get((f"BM_Memory_{w}", n)) for w in ("Vorn", "UnorderedMap", "Absl")]
            if None not in cells:
                print(f"| {n:,} | " + " | ".join(f"{c:.1f}" for c in cells) + " |")


if __name__ == "__main__":
    main(sys.argv[1])
