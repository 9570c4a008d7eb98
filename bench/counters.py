"""Fast-path counters of each hot entry point on its warm path: how many times per call each path
was taken (hit), refused by its guard (miss) and learned (learn), on the lean host of bench.py.
Needs the stats build (`make test-stats` builds it into build/statspkg).

Usage: PYTHONPATH=build/stats3.Xpkg python bench/counters.py [--records slots|dict] [--calls N] [--json]
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench as B  # noqa: E402


def delta(before, after):
    return {path: {event: after[path][event] - before[path][event] for event in after[path]}
            for path in after if path != "layouts"}


def warm_counts(records="slots", calls=100, host="lean"):
    """{entry label: {path: {event: count over `calls` warm calls}}}, and the layouts' checks."""
    contenders = {k: v for k, v in B.load_contenders().items() if k == "native"}
    mod = contenders["native"]
    out = {}
    with B.Host(host, contenders):
        strategy = B.new_strategy(mod)
        B.prepare(mod, strategy)
        for entry in B.ENTRIES:
            fn, fargs = B.call_shape(mod, strategy, entry, records)
            for _ in range(50):
                fn(*fargs)
            B.cleanup(mod)
            before = mod._fastpath_stats()
            for _ in range(calls):
                fn(*fargs)
            out[entry[0]] = delta(before, mod._fastpath_stats())
            B.cleanup(mod)
    return out, mod._fastpath_stats()["layouts"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", default="slots")
    ap.add_argument("--calls", type=int, default=100)
    ap.add_argument("--json", action="store_true", help="print the counts as JSON")
    args = ap.parse_args()
    counts, layouts = warm_counts(args.records, args.calls)
    if args.json:
        print(json.dumps({"counts": counts, "layouts": layouts}))
        return
    print(f"fast-path counts per call, warm, lean host, {args.records} records; layouts: "
          + ", ".join(f"{k} {'on' if v else 'off'}" for k, v in layouts.items()))
    for label, paths in counts.items():
        cells = [f"{p} {e[0]}{v / args.calls:g}" for p, ev in paths.items() for e, v in ev.items() if v]
        print(f"  {label:28} " + ", ".join(cells))


if __name__ == "__main__":
    main()
