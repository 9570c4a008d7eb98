"""The markdown tables of the README and bench/README.md, from the files `make bench` writes:
bench/results-<version>.json (times) and bench/instructions-<version>[-dict].json (callgrind).

Usage: python bench/tables.py speed [--all-hosts VERSION]   (the README's tables, one per version)
       python bench/tables.py breakdown                    (where the native module's instructions go)
"""

import argparse
import glob
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import breakdown  # noqa: E402


def versions():
    found = [re.match(r"results-(\d+\.\d+)\.json", os.path.basename(p)) for p in glob.glob(f"{HERE}/results-*.json")]
    return sorted((m.group(1) for m in found if m), key=lambda v: tuple(map(int, v.split("."))))


def load(name):
    path = os.path.join(HERE, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def instruction_ratio(counts, entry):
    if not counts:
        return ""
    per_call = counts["per_call"]
    if entry not in per_call.get("native", {}) or entry not in per_call.get("python", {}):
        return ""
    return f"{per_call['native'][entry] / per_call['python'][entry]:.2f}"


def speed(version, all_hosts):
    results = load(f"results-{version}.json")
    counts = {"slots": load(f"instructions-{version}.json"), "dict": load(f"instructions-{version}-dict.json")}
    medians = {(r["host"], r["records"], r["entry"], r["contender"]): r["median_ns"] for r in results["results"]}
    lines = ["| host | records | entry point | native ns | Python ns | Cython ns | nat/py | nat/cy | instr. nat/py |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in results["ratios"]:
        if r["host"] != "lean" and not all_hosts:
            continue
        key = (r["host"], r["records"], r["entry"])
        ns = [medians.get(key + (c,)) for c in ("native", "python", "cython")]
        cells = [f"{v:.0f}" if v is not None else "n/a" for v in ns]
        ratios = [r.get("native/python"), r.get("native/cython")]
        cells += [f"{v:.2f}" if v is not None else "n/a" for v in ratios]
        kind = "slots" if r["records"] == "-" else r["records"]   # queries read no records
        instr = instruction_ratio(counts.get(kind), r["entry"]) if r["host"] == "lean" else ""
        lines.append(f"| {r['host']} | {r['records']} | {r['entry']} | " + " | ".join(cells) + f" | {instr} |")
    return "\n".join(lines)


def breakdown_table(version):
    counts = load(f"instructions-{version}.json")
    if not counts or not counts.get("breakdown"):
        return None
    python = counts["per_call"].get("python", {})
    cython = counts["per_call"].get("cython", {})
    lines = ["| entry point | native | module | host calls | interpreter | entry | Python | nat/py | floor | Cython | nat/cy |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for entry, parts in counts["breakdown"].items():
        py, cy = python.get(entry), cython.get(entry)
        floor = breakdown.floor(parts, py) if py else None
        cells = [parts[k] for k in ("total", "module", "host_calls", "interpreter", "entry")]
        row = [f"{v:.0f}" for v in cells]
        row += [f"{py:.0f}" if py else "n/a", f"{parts['total'] / py:.2f}" if py else "n/a",
                f"{floor:.2f}" if floor is not None else "n/a",
                f"{cy:.0f}" if cy else "n/a", f"{parts['total'] / cy:.2f}" if cy else "n/a"]
        lines.append(f"| {entry} | " + " | ".join(row) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["speed", "breakdown"])
    ap.add_argument("--all-hosts", default=f"{sys.version_info[0]}.{sys.version_info[1]}",
                    help="the version whose table shows the simulated host too")
    args = ap.parse_args()
    for version in versions():
        meta = load(f"results-{version}.json")["meta"]
        print(f"CPython {meta['python']}:\n")
        if args.what == "speed":
            print(speed(version, version == args.all_hosts))
        else:
            print(breakdown_table(version) or "(no instruction counts)")
        print()


if __name__ == "__main__":
    main()
