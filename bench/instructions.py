"""Instructions per call of each hot entry point, counted by callgrind: repeatable on a noisy
machine, where the times of bench.py move with the load.

Each contender runs in its own valgrind process. Every entry point is called n times inside one
C-level loop (`deque(map(...), maxlen=0)`, which the interpreter runs in `consume_iterator`);
callgrind counts only inside that function and dumps after each loop, so each dump is one entry
point. The loop's own cost (a few dozen instructions per call) is included for every contender.

Usage: python bench/instructions.py [--calls N] [--host lean|sim] [--records slots|dict] [--keep DIR]
       python bench/instructions.py --child CONTENDER ...   (run under valgrind by the parent)
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections import deque

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import breakdown  # noqa: E402


def child(args):
    import bench as B
    contenders = {k: v for k, v in B.load_contenders().items() if k == args.child}
    mod = contenders[args.child]
    with B.Host(args.host, contenders):
        strategy = B.new_strategy(mod)
        B.prepare(mod, strategy)
        for entry in B.ENTRIES:
            fn, fargs = B.call_shape(mod, strategy, entry, args.records)
            for _ in range(50):  # warm caches and specialisations
                fn(*fargs)
            B.cleanup(mod)
            deque(map(fn, *[[a] * args.calls for a in fargs]), maxlen=0)
            B.cleanup(mod)


def count(contender, args):
    out = os.path.join(args.keep, contender) if args.keep else tempfile.mkdtemp(prefix="callgrind-")
    os.makedirs(out, exist_ok=True)
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=consume_iterator",
           "--dump-after=consume_iterator", f"--callgrind-out-file={out}/cg.out", sys.executable,
           os.path.abspath(__file__), "--child", contender, "--calls", str(args.calls), "--host", args.host,
           "--records", args.records]
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    subprocess.run(cmd, env=env, check=True, capture_output=True)
    rows = [breakdown.per_call(path, args.calls) for path in breakdown.dumps(out)]
    if not args.keep:
        shutil.rmtree(out, ignore_errors=True)
    return [row for row in rows if row["total"]]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--calls", type=int, default=2000)
    ap.add_argument("--host", default="lean")
    ap.add_argument("--records", default="slots")
    ap.add_argument("--out", default=os.path.join(HERE, "instructions.json"))
    ap.add_argument("--keep", help="leave each contender's callgrind dumps in KEEP/CONTENDER")
    args = ap.parse_args()
    if args.child:
        return child(args)
    import bench as B
    labels = [e[0] for e in B.ENTRIES]
    table, parts = {}, {}
    for contender in B.load_contenders():
        rows = count(contender, args)
        table[contender] = {label: row["total"] for label, row in zip(labels, rows)}
        parts[contender] = dict(zip(labels, rows))
    print(f"instructions per call (callgrind), {args.host} host, {args.records} records")
    print(f"{'entry point':30}" + "".join(f"{c:>10}" for c in table) + "  nat/py")
    for label in labels:
        row = [table[c].get(label) for c in table]
        ratio = table["native"][label] / table["python"][label] if "python" in table else float("nan")
        print(f"{label:30}" + "".join(f"{v:10.0f}" for v in row) + f"  {ratio:6.2f}")
    if "native" in parts:
        print("\nwhere the native module's instructions go (bench/breakdown.py)")
        print(breakdown.format_table(parts["native"], table.get("python")))
    with open(args.out, "w") as f:
        json.dump({"host": args.host, "records": args.records, "calls": args.calls, "per_call": table,
                   "breakdown": parts.get("native", {})}, f, indent=1)


if __name__ == "__main__":
    main()
