"""Nanoseconds per call of the hot entry points: the native module against the plain-Python
reference (bench/reference.py) and a Cython-compiled copy of it (bench/build_cython.py).

All contenders run in one process, interleaved: each round times one batch of every contender
for every case, and a case's figure is the median over the rounds. Two hosts:

* lean: the host's callables rebound on each module to near no-ops (converters return
  constants, a trivial Environment, `Event` returns its payload, `deepcopy` returns its
  argument) and `event_queue` rebound to a `collections.deque`: what is left is the module's
  own work;
* sim: the stand-in host and SDK of sim/ as they are, with the real RingBuffer queue.

and two kinds of record: the SDK's `__slots__` classes (`pytovik.records`) and plain classes
holding the same fields in their `__dict__`.

Usage: python bench/bench.py [--quick] [--rounds N] [--batch-ms MS] [--no-chart]
(the native module must be importable: installed, or PYTHONPATH=build/devpkg; the Cython copy is
used when build/cython/ holds it).
"""

import argparse
import gc
import importlib.util
import itertools
import json
import os
import platform
import statistics
import sys
import time
import types
from collections import deque
from datetime import date, datetime

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.join(ROOT, "bench")
for path in (os.path.join(ROOT, "sim"), os.path.join(ROOT, "build", "cython")):
    if path not in sys.path:
        sys.path.insert(0, path)

from halvex.lumet.const import POSITION_EFFECT, SIDE  # noqa: E402
from halvex.lumet.environment import Environment  # noqa: E402
from halvex.lumet.model.order import Order  # noqa: E402
from module_caches import CACHES  # noqa: E402
from pytovik import records  # noqa: E402
from pytovik.enums import MarketType, OrderStatusType  # noqa: E402
from pytovik.strategy import TovikStrategy as SdkBase  # noqa: E402

CODE = "000001.XSHE"


# ---- contenders ------------------------------------------------------------------------------

def load_contenders():
    contenders = {}
    try:
        import halvex.lumet.utils.trade_data_thread as native
        contenders["native"] = native
    except ImportError as exc:
        print(f"native module not importable ({exc}); build it and put it on PYTHONPATH", file=sys.stderr)
    if "reference" in sys.modules:
        contenders["python"] = sys.modules["reference"]
    else:
        spec = importlib.util.spec_from_file_location("reference", os.path.join(HERE, "reference.py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules["reference"] = module
        spec.loader.exec_module(module)
        contenders["python"] = module
    try:
        import reference_cy
        contenders["cython"] = reference_cy
    except ImportError:
        print("no Cython copy in build/cython/ (python bench/build_cython.py builds it)", file=sys.stderr)
    return contenders


# ---- records -----------------------------------------------------------------------------------

def plain_class(slots_cls):
    """A class with the same fields as an SDK record class, kept in the instance `__dict__`."""
    fields = slots_cls._fields

    def __init__(self, **kwargs):
        for name, default in fields:
            setattr(self, name, kwargs.get(name, default))
    return type(slots_cls.__name__ + "Dict", (object,), {"__init__": __init__})


TEN_PRICES = [10.0 + i / 100 for i in range(10)]
TEN_VOLUMES = [100 * (i + 1) for i in range(10)]

RECORD_FIELDS = {
    "snapshot": (records.Snapshot, dict(
        orig_time=1_700_000_000_123, security_id="000001", market_type=MarketType.SZSE, open_price=10.0,
        close_price=10.1, high_price=10.3, low_price=9.9, total_value_trade=1.5e8, total_volume_trade=15_000_000,
        pre_close_price=10.0, ask_volume=TEN_VOLUMES, ask_price=TEN_PRICES, bid_volume=TEN_VOLUMES,
        bid_price=TEN_PRICES, high_limited=11.0, last_price=10.1, low_limited=9.0, open_interest=0,
        prev_settlement=0.0, iopv=0.0, trading_phase_code="T111")),
    "tick_order": (records.TickOrder, dict(
        order_time=1_700_000_000_123, security_id="000001", market_type=MarketType.SZSE, side=49, biz_index=7,
        order_price=10.05, order_volume=300, order_type=50, orig_order_no=123456)),
    "tick_trade": (records.TickTrade, dict(
        trade_time=1_700_000_000_123, security_id="000001", market_type=MarketType.SZSE, bid_appl_seq_num=11,
        offer_appl_seq_num=9, biz_index=8, trade_price=10.05, trade_volume=300, value_trade=3015.0,
        trade_type=70)),
    "bar": (records.Bar, dict(
        security_id="000001", market_type=MarketType.SZSE, end_time=1_700_000_040_000, open=10.0, close=10.1,
        high=10.2, low=9.9, amount=1.2e6, volume=120_000, prev_close=10.0)),
    # a partial fill of an order the host knows: one TRADE event per report
    "order": (records.OrderReport, dict(
        client_order_id=1, security_id="000001", market_type=MarketType.SZSE, order_price=10.5,
        order_status=OrderStatusType.PartiallyFilled, order_qty=1000, trade_qty=300, total_trade_value=3150.0,
        error_msg="", error_code=0, last_match_qty=100, last_match_price=10.5, counter_order_id=88,
        frozen_trade_value=0.0)),
    "child_order": (records.ChildOrderUpdate, dict(
        sys_quote_id=7, parent_quote_id=3, security_id="000001", market_type=MarketType.SZSE, side=1,
        order_qty=100, order_price=10.5, trade_qty=0, status=1)),
}
PLAIN = {kind: plain_class(cls) for kind, (cls, _) in RECORD_FIELDS.items()}


def make_record(kind, flavour):
    cls, fields = RECORD_FIELDS[kind]
    return (cls if flavour == "slots" else PLAIN[kind])(**fields)


# ---- hosts ---------------------------------------------------------------------------------------

def _none(*args, **kwargs):
    return None


class LeanEnvironment:
    """Environment, data proxy and account lookup in one, each answering a constant."""
    instance = None

    def __init__(self):
        self.data_proxy = self
        self.universe = ["a", "b", "c"]
        self.account = object()

    @classmethod
    def get_instance(cls):
        return cls.instance

    def instruments(self, market_code):
        return market_code

    def get_universe(self):
        return self.universe

    def get_account(self, market_code):
        return self.account


LeanEnvironment.instance = LeanEnvironment()


def _payload(event_type, **kwargs):
    return kwargs


class _Factory:
    __from_create__ = staticmethod(_none)
    from_tovik = staticmethod(lambda record, existing: record)


_LEAN_EVENT = types.SimpleNamespace(**{name: name.lower() for name in (
    "TICK L2_ORDER L2_TRANSACTION BAR LOGIN QUERY_ACCOUNT QUERY_POSITION ORDER_CREATION_PASS TRADE "
    "ORDER_CANCELLATION_PASS ORDER_PENDING_CANCEL ORDER_UNSOLICITED_UPDATE ORDER_CANCELLATION_REJECT "
    "BEFORE_TRADING OPEN_AUCTION AFTER_TRADING ALGO_LOGIN PARENT_ORDER_CREATE PARENT_ORDER_CANCEL "
    "PARENT_ORDER_PAUSE PARENT_ORDER_RESUME PARENT_ORDER_UPDATE CHILD_ORDER_UPDATE CHILD_ORDER_TRADE").split()})
_DT = datetime(2024, 1, 2, 9, 30)
_DATE = date(2024, 1, 2)
_ABSENT = object()  # a global the module does not bind (the lean host adds user_system_log)


def lean_globals():
    return {
        "Environment": LeanEnvironment,
        "Event": _payload,
        "EVENT": _LEAN_EVENT,
        "TickObject": _none,
        "Trade": _Factory, "L2Order": _Factory, "L2Transaction": _Factory,
        "AlgoParentOrder": _Factory, "AlgoChildOrder": _Factory, "AlgoChildTrade": _Factory,
        "convert_int_to_datetime": lambda seconds: _DT,
        "convert_int_to_whole_date": lambda seconds: _DATE,
        "get_exchane_from_tovik_mdtype": lambda market_type: "XSHE",
        "get_tovik_tdtype": lambda destination: 1,
        "get_side_from_tovik_l2_order": lambda side, market_type: "B",
        "get_order_type_from_tovik_l2_order": lambda order_type, market_type: "L",
        "get_trade_type_from_tovik": lambda trade_type: "F",
        "get_l2order_type_from_tovik": lambda order_type, market_type: "A",
        "system_log": types.SimpleNamespace(info=_none, warning=_none),
        "user_system_log": types.SimpleNamespace(info=_none, warning=_none),
        "copy": types.SimpleNamespace(deepcopy=lambda obj: obj),
        "event_queue": deque(),
    }


class Host:
    """Puts one host under every contender, and takes it away again."""

    def __init__(self, name, contenders):
        self.name = name
        self.contenders = contenders
        self.saved = {}

    def __enter__(self):
        for label, mod in self.contenders.items():
            if self.name == "lean":
                overrides = lean_globals()
                self.saved[label] = {name: vars(mod).get(name, _ABSENT) for name in overrides}
                for name, value in overrides.items():
                    setattr(mod, name, value)
            for cache in CACHES:
                getattr(mod, cache).clear()
            empty_queue(mod.event_queue)
        Environment.reset()
        Environment.get_instance().set_universe(["000001.XSHE", "600000.XSHG", "000002.XSHE"])
        return self

    def __exit__(self, *exc):
        for label, mod in self.contenders.items():
            for cache in CACHES:
                getattr(mod, cache).clear()
            empty_queue(mod.event_queue)
            for name, value in self.saved.get(label, {}).items():
                if value is _ABSENT:
                    delattr(mod, name)
                else:
                    setattr(mod, name, value)


def empty_queue(queue):
    if isinstance(queue, deque):
        queue.clear()
        return
    # The RingBuffer keeps what popleft hands out in its array until the slot is overwritten;
    # the bench lets go of the events at once so memory stays flat over millions of calls.
    while len(queue):
        queue.popleft()
    queue._arr[:] = None
    queue._left_index = queue._right_index = 0


# ---- cases ---------------------------------------------------------------------------------------

ENTRIES = (
    # label, record kind (None: a query), how to call it
    ("on_snapshot", "snapshot", "on_snapshot"),
    ("on_tick_order", "tick_order", "on_tick_order"),
    ("on_tick_trade", "tick_trade", "on_tick_trade"),
    ("on_bar", "bar", "on_bar"),
    ("on_order (fill)", "order", "on_order"),
    ("on_algo_child_order_update", "child_order", "on_algo_child_order_update"),
    ("get_current_tick", None, "get_current_tick"),
    ("history_ticks(code, 60)", None, "history_ticks"),
)


def new_strategy(mod):
    s = mod.TovikStrategy.__new__(mod.TovikStrategy)
    SdkBase.__init__(s)
    s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt = False, 0, 0, 0
    return s


def prepare(mod, strategy):
    """State the hot paths expect: a full tick ring for CODE and the host order of the fill."""
    snapshot = make_record("snapshot", "slots")
    for _ in range(60):
        strategy.on_snapshot(snapshot)
    order = Order.__from_create__(1, CODE, 1000, SIDE.BUY, 10.5, POSITION_EFFECT.OPEN)
    mod.orders_dict[1] = order
    empty_queue(mod.event_queue)


def cleanup(mod):
    empty_queue(mod.event_queue)
    mod.history_bar.clear()   # the bar history is unbounded


def call_shape(mod, strategy, entry, flavour):
    """(function, args) of one call of the entry point."""
    label, kind, name = entry
    if kind is not None:
        return getattr(strategy, name), (make_record(kind, flavour),)
    if name == "history_ticks":
        return getattr(mod, name), (CODE, 60)
    return getattr(mod, name), (CODE,)


def run_batch(fn, args, n):
    """Nanoseconds for n calls, less the loop's own cost."""
    loop = itertools.repeat(None, n)
    if len(args) == 1:
        a, = args
        t0 = time.perf_counter_ns()
        for _ in loop:
            fn(a)
        t1 = time.perf_counter_ns()
    else:
        a, b = args
        t0 = time.perf_counter_ns()
        for _ in loop:
            fn(a, b)
        t1 = time.perf_counter_ns()
    loop = itertools.repeat(None, n)
    e0 = time.perf_counter_ns()
    for _ in loop:
        pass
    e1 = time.perf_counter_ns()
    return max((t1 - t0) - (e1 - e0), 0)


def measure(contenders, hosts, flavours, rounds, batch_ns):
    results = []   # dicts: host, records, entry, contender, ns (one per round)
    for host_name in hosts:
        with Host(host_name, contenders):
            strategies = {}
            for label, mod in contenders.items():
                strategies[label] = new_strategy(mod)
                prepare(mod, strategies[label])
            cases = []   # (case key, {contender: (fn, args, n)})
            for entry in ENTRIES:
                for flavour in (flavours if entry[1] is not None else flavours[:1]):
                    runs = {}
                    for label, mod in contenders.items():
                        fn, args = call_shape(mod, strategies[label], entry, flavour)
                        try:
                            fn(*args)
                        except Exception as exc:
                            print(f"{host_name}/{entry[0]}/{label}: {type(exc).__name__}: {exc}; left out",
                                  file=sys.stderr)
                            continue
                        # calibrate: a batch of about batch_ns
                        spent = run_batch(fn, args, 200) or 1
                        n = int(min(max(batch_ns * 200 / spent, 200), 500_000))
                        cleanup(mod)
                        runs[label] = (fn, args, n, [])
                    key = (host_name, flavour if entry[1] is not None else "-", entry[0])
                    cases.append((key, runs))
            labels = list(contenders)
            for r in range(rounds):
                gc.collect()
                for key, runs in cases:
                    # rotate the order of the contenders from round to round
                    order = labels[r % len(labels):] + labels[:r % len(labels)]
                    for label in order:
                        if label not in runs:
                            continue
                        fn, args, n, samples = runs[label]
                        gc.disable()
                        try:
                            spent = run_batch(fn, args, n)
                        finally:
                            gc.enable()
                        samples.append(spent / n)
                        cleanup(contenders[label])
            for key, runs in cases:
                for label, (fn, args, n, samples) in runs.items():
                    results.append({"host": key[0], "records": key[1], "entry": key[2], "contender": label,
                                    "calls_per_batch": n, "ns_per_call": samples,
                                    "median_ns": statistics.median(samples)})
    return results


# ---- report ---------------------------------------------------------------------------------------

def rows_of(results):
    rows = {}
    for r in results:
        rows.setdefault((r["host"], r["records"], r["entry"]), {})[r["contender"]] = r["median_ns"]
    return rows


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def table(results):
    lines = []
    head = f"{'host':5} {'records':7} {'entry point':27} {'native':>9} {'python':>9} {'cython':>9} " \
           f"{'nat/py':>7} {'nat/cy':>7}"
    lines.append(head)
    lines.append("-" * len(head))

    def cell(v, fmt):
        return format(v, fmt) if v is not None else "n/a"
    for (host, recs, entry), by in rows_of(results).items():
        nat, py, cy = by.get("native"), by.get("python"), by.get("cython")
        lines.append(f"{host:5} {recs:7} {entry:27} {cell(nat, '9.0f'):>9} {cell(py, '9.0f'):>9} "
                     f"{cell(cy, '9.0f'):>9} {cell(ratio(nat, py), '7.2f'):>7} {cell(ratio(nat, cy), '7.2f'):>7}")
    lines.append("ns per call, median over rounds; nat/py and nat/cy below 1 mean the native module is faster")
    return "\n".join(lines)


def chart(results, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not importable: no chart", file=sys.stderr)
        return False
    rows = rows_of(results)
    panels = sorted({(h, r) for h, r, _ in rows if r != "-"})
    contenders = [c for c in ("native", "python", "cython") if any(c in by for by in rows.values())]
    fig, axes = plt.subplots(len(panels) + 1, 1, figsize=(11, 3.6 * (len(panels) + 1)), squeeze=False)
    width = 0.8 / max(len(contenders), 1)
    for ax, (host, recs) in zip(axes[:, 0], panels):
        entries = [e for (h, r, e) in rows if h == host and r in (recs, "-")]
        for i, c in enumerate(contenders):
            values = [rows.get((host, recs, e), rows.get((host, "-", e), {})).get(c, 0) for e in entries]
            ax.bar([x + i * width for x in range(len(entries))], values, width, label=c)
        ax.set_xticks([x + width * (len(contenders) - 1) / 2 for x in range(len(entries))])
        ax.set_xticklabels(entries, rotation=15, ha="right", fontsize=8)
        ax.set_yscale("log")
        ax.set_ylabel("ns per call (log)")
        ax.set_title(f"host: {host}, records: {recs} (queries take no record)")
        ax.legend(fontsize=8)
    # the last panel: every case's ratios, where below 1 means the native module is faster
    ax = axes[-1, 0]
    keys = list(rows)
    for i, peer in enumerate(("python", "cython")):
        values = [ratio(rows[k].get("native"), rows[k].get(peer)) or 0 for k in keys]
        ax.bar([x + i * 0.4 for x in range(len(keys))], values, 0.4, label=f"native / {peer}")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks([x + 0.2 for x in range(len(keys))])
    ax.set_xticklabels([f"{h}/{r}/{e}" for h, r, e in keys], rotation=60, ha="right", fontsize=6)
    ax.set_ylabel("ratio")
    ax.set_title("native time / peer time (below 1: native faster)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a smoke run: few rounds, short batches")
    ap.add_argument("--rounds", type=int, help="rounds per case (default 21, quick 3)")
    ap.add_argument("--batch-ms", type=float, help="milliseconds per batch (default 40, quick 4)")
    ap.add_argument("--out", default=os.path.join(HERE, "results.json"))
    ap.add_argument("--chart", default=os.path.join(HERE, "results.png"))
    ap.add_argument("--no-chart", action="store_true")
    args = ap.parse_args(argv)
    rounds = args.rounds or (3 if args.quick else 21)
    batch_ms = args.batch_ms or (4.0 if args.quick else 40.0)

    contenders = load_contenders()
    started = time.time()
    results = measure(contenders, ("lean", "sim"), ("slots", "dict"), rounds, batch_ms * 1e6)
    print(table(results))
    meta = {
        "python": sys.version.split()[0], "implementation": platform.python_implementation(),
        "machine": platform.machine(), "cpus": os.cpu_count(), "rounds": rounds, "batch_ms": batch_ms,
        "quick": args.quick, "contenders": {k: getattr(m, "__file__", None) for k, m in contenders.items()},
        "seconds": round(time.time() - started, 1), "when": datetime.now().isoformat(timespec="seconds"),
    }
    try:
        import Cython
        meta["cython"] = Cython.__version__
    except ImportError:
        pass
    ratios = [{"host": h, "records": r, "entry": e, "native/python": ratio(by.get("native"), by.get("python")),
               "native/cython": ratio(by.get("native"), by.get("cython"))}
              for (h, r, e), by in rows_of(results).items()]
    with open(args.out, "w") as f:
        json.dump({"meta": meta, "results": results, "ratios": ratios}, f, indent=1)
    print(f"wrote {os.path.relpath(args.out)}", end="")
    if not args.no_chart and chart(results, args.chart):
        print(f" and {os.path.relpath(args.chart)}", end="")
    print(f" ({meta['seconds']} s)")


if __name__ == "__main__":
    main()
