#!/usr/bin/env python3
"""Turns a Google Benchmark JSON file into a markdown table of library time against baseline."""
import json
import sys

PAIRS = [
    ("Build by key", "BM_BuildByKey_Vorn", "BM_BuildByKey_UnorderedMap", "std::unordered_map insert"),
    ("Lookup (half hits)", "BM_Lookup_Vorn", "BM_Lookup_UnorderedMap", "std::unordered_map::find"),
    ("Read key=value block", "BM_EnvToHash_Vorn", "BM_EnvToHash_UnorderedMap", "split into std::unordered_map"),
    ("Sort by value", "BM_Sort_Vorn", "BM_Sort_StableSort", "std::stable_sort of std::string"),
]
MODELS = [("Build by key", "BM_BuildByKey_Model"), ("Lookup (half hits)", "BM_Lookup_Model"),
          ("Sort by value", "BM_Sort_Model")]


def main(path):
    with open(path) as f:
        data = json.load(f)
    times = {}
    for b in data["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration":
            continue
        name, _, arg = b["name"].partition("/")
        arg = arg.split("/")[0]
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        times[(name, int(arg))] = ns / 1e6
    rows = ["| operation | n | vornhash ms (CPU) | baseline | baseline ms (CPU) | ratio |",
            "|---|---:|---:|---|---:|---:|"]
    for title, ours, base, base_name in PAIRS:
        for n in (1000, 100000, 1000000):
            if (ours, n) in times and (base, n) in times:
                a, b = times[(ours, n)], times[(base, n)]
                rows.append(f"| {title} | {n:,} | {a:.3f} | {base_name} | {b:.3f} | {a / b:.2f} |")
    for title, name in MODELS:
        if (name, 10000) in times:
            rows.append(f"| {title}, plain linear model (before) | 10,000 | {times[(name, 10000)]:.3f} | | | |")
    print("\n".join(rows))


if __name__ == "__main__":
    main(sys.argv[1])
