"""The check every wheel and the sdist pass in a fresh venv before they go to dist/.

Run by tools/wheels.sh with the venv's python and -I, which keeps the checkout off sys.path (this
script's folder, the working directory, PYTHONPATH); the script then adds the stand-in SDK and
host of sim/ and nothing else, so what it imports is what pip installed into the venv.

- the module imports from the venv's site-packages, with no warning (a wheel built for another
  minor version warns), and the installed distribution is the extension and its metadata only:
  name, version, Requires-Python, the runtime dependencies, the license, the README description;
- `inspect.signature` reads a module function and a bound method;
- one snapshot goes through to `event_queue` as one TICK event, over the tick kept in
  `history_tick`, and one fill of a host order as one TRADE event with the order updated;
- a cycle of module functions ends in RecursionError, not a crash (from 3.12 that is the
  module's own probe of the thread's stack, through the pthread calls the portable build pins);
- the installed .so (objdump) needs no C++ runtime from the system: no libstdc++, no GLIBCXX or
  CXXABI symbol version, nothing beyond the C library and libgcc_s; and it exports only
  PyInit_trade_data_thread.

Usage: VENV/bin/python -I tests/reliability/wheel_check.py. Exit status 0, or 1 naming the checks
that failed.
"""

import importlib.metadata
import inspect
import os
import re
import subprocess
import sys
import sysconfig
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(ROOT, "sim")
DIST = "trade-data-thread"
MODULE = "halvex.lumet.utils.trade_data_thread"
CODE = "000001.XSHE"
T0 = 1700000000000  # epoch milliseconds
# What the module may need from the system: the C library and the unwinder of libgcc_s. The C++
# runtime is linked into the module.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "ld-linux-x86-64.so.2", "libgcc_s.so.1"}
FORBIDDEN_VERSIONS = re.compile(r"^(GLIBCXX|CXXABI)_")

failures = []


def check(ok, what):
    print("  %s  %s" % ("ok  " if ok else "FAIL", what))
    if not ok:
        failures.append(what)
    return ok


def within(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def drain(queue):
    out = []
    while len(queue):
        out.append(queue.popleft())
    return out


def import_module():
    check(sys.flags.isolated == 1, "run isolated (python -I): the checkout is not on sys.path")
    check(sys.prefix != sys.base_prefix, "run in a venv (%s)" % sys.prefix)
    sys.path.insert(0, SIM)
    stray = [p for p in sys.path if p and p != SIM and os.path.exists(p) and within(p, ROOT)
             and not within(p, sys.prefix)]
    check(not stray, "nothing from the checkout but sim/ on sys.path%s" % (": %s" % stray if stray else ""))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import halvex.lumet.utils.trade_data_thread as tdt
    check(not caught, "imports without a warning%s" % "".join("; %s" % w.message for w in caught))
    platlib = sysconfig.get_paths()["platlib"]
    check(within(tdt.__file__, platlib), "imported from the venv's site-packages: %s" % tdt.__file__)
    return tdt


def check_distribution(tdt):
    dist = importlib.metadata.distribution(DIST)
    meta = dist.metadata
    check(meta["Name"] == DIST and bool(meta["Version"]), "metadata: %s %s" % (meta["Name"], meta["Version"]))
    check(meta["Requires-Python"] == ">=3.8", "metadata: Requires-Python %s" % meta["Requires-Python"])
    runtime = sorted(r for r in (meta.get_all("Requires-Dist") or []) if "extra ==" not in r)
    check(runtime == ["numpy", "numpy-ringbuffer"], "metadata: runtime dependencies %s" % runtime)
    license_ok = meta["License-Expression"] == "MIT" and any(
        str(f).endswith(".dist-info/licenses/LICENSE") and "MIT License" in f.read_text() for f in dist.files)
    check(license_ok, "metadata: license MIT, LICENSE file shipped")
    description = meta.get_payload() if hasattr(meta, "get_payload") else meta["Description"]
    check(meta["Description-Content-Type"] == "text/markdown" and description.startswith("# trade_data_thread"),
          "metadata: description from README.md")
    so = os.path.realpath(tdt.__file__)
    files = [(str(f), os.path.realpath(f.locate())) for f in dist.files]
    others = [name for name, path in files if path != so and ".dist-info/" not in name]
    check(any(path == so for _, path in files) and not others,
          "installs the extension and its metadata only%s" % (": also %s" % others if others else ""))


def check_signatures(tdt, strategy):
    check(str(inspect.signature(tdt.history_bars)) == "(market_code, count)",
          "inspect.signature(history_bars): %s" % inspect.signature(tdt.history_bars))
    check(str(inspect.signature(strategy.on_snapshot)) == "(snapshot)",
          "inspect.signature of a bound on_snapshot: %s" % inspect.signature(strategy.on_snapshot))


def check_snapshot(tdt, strategy):
    from halvex.lumet.core.events import EVENT
    from halvex.lumet.utils.datetime_func import convert_int_to_datetime
    from pytovik.enums import MarketType
    from pytovik.records import Snapshot

    bids = [10.4 - i / 100 for i in range(10)]
    strategy.on_snapshot(Snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=T0,
                                  last_price=10.5, total_volume_trade=1200, bid_price=bids))
    events = drain(tdt.event_queue)
    if not check(len(events) == 1 and events[0].event_type is EVENT.TICK,
                 "a snapshot posts one TICK event: %s" % [e.event_type for e in events]):
        return
    (event,) = events
    ring = tdt.history_tick.get(CODE)
    tick = ring[-1] if ring else None
    check(ring is not None and len(ring) == 1 and ring.maxlen == 60, "history_tick keeps the tick for %s" % CODE)
    check(list(event.kwargs) == ["calendar_dt", "trading_dt", "tick"] and event.tick._tick_dict is tick
          and tdt.get_current_tick(CODE) is tick, "the event carries the kept tick, get_current_tick returns it")
    check(tick is not None and tick["market_code"] == CODE and tick["last_price"] == 10.5
          and tick["volume"] == 1200 and tick["bids"] is not None and list(tick["bids"]) == bids
          and tick["datetime"] == convert_int_to_datetime(T0 / 1000) == event.calendar_dt,
          "the tick holds the snapshot's code, time and fields")


def check_fill(tdt, strategy):
    from halvex.lumet.const import ORDER_STATUS, SIDE
    from halvex.lumet.core.events import EVENT
    from halvex.lumet.environment import Environment
    from halvex.lumet.model.order import Order
    from pytovik.enums import OrderStatusType
    from pytovik.records import OrderReport

    order = Order.__from_create__(11, CODE, 500, SIDE.BUY, 2.0)
    order.status = ORDER_STATUS.ACTIVE
    tdt.orders_dict[11] = order
    strategy.on_order(OrderReport(client_order_id=11, security_id="000001", order_status=OrderStatusType.Filled,
                                  order_qty=500, trade_qty=500, total_trade_value=1050.0, last_match_qty=500,
                                  last_match_price=2.1, counter_order_id=7))
    events = drain(tdt.event_queue)
    if not check(len(events) == 1 and events[0].event_type == EVENT.TRADE,
                 "a fill posts one TRADE event: %s" % [e.event_type for e in events]):
        return
    (event,) = events
    check((order.status, order.filled_quantity, order.unfilled_quantity, order.avg_price)
          == (ORDER_STATUS.FILLED, 500, 0, 2.1), "the host order is filled: %s %s at %s"
          % (order.status, order.filled_quantity, order.avg_price))
    check(list(event.kwargs) == ["account", "trade", "order"]
          and event.account is Environment.get_instance().get_account(CODE)
          and event.order == order and event.order is not order,
          "the event carries the account and a copy of the order")
    trade = event.trade
    check((trade.order_id, trade.price, trade.amount, trade.side, trade.market_code) == (11, 2.1, 500, SIDE.BUY, CODE),
          "the trade is the fill: %s x %s" % (trade.amount, trade.price))


# A cycle made only of module functions and functools.partial, in a child process so that a crash
# is reported as one.
CYCLE = """
import functools, sys
sys.path.insert(0, {sim!r})
import halvex.lumet.utils.trade_data_thread as tdt
from halvex.lumet.core.events import EVENT
from pytovik.strategy import TovikStrategy as Base

class Queue(object):
    pass

s = tdt.TovikStrategy.__new__(tdt.TovikStrategy)
Base.__init__(s)
queue = Queue()
queue.append = functools.partial(tdt.TovikStrategy.send_day_event, s, EVENT.TICK)
tdt.event_queue = queue
try:
    s.send_day_event(EVENT.TICK, 1)
    print("returned")
except Exception as e:
    while e is not None and not isinstance(e, RecursionError):
        e = e.__cause__ or e.__context__
    print("RecursionError" if e is not None else "no RecursionError")
"""


def check_recursion():
    child = subprocess.run([sys.executable, "-I", "-W", "ignore", "-c", CYCLE.format(sim=SIM)],
                           capture_output=True, text=True, timeout=300)
    last = (child.stdout.strip().splitlines() or [""])[-1]
    check(child.returncode == 0 and last == "RecursionError",
          "a cycle of module functions raises RecursionError: status %d, %r%s"
          % (child.returncode, last, (" " + child.stderr[-500:]) if child.returncode else ""))


def objdump(flag, path):
    return subprocess.run(["objdump", flag, path], check=True, capture_output=True, text=True).stdout


def check_binary(tdt):
    so = os.path.realpath(tdt.__file__)
    headers = objdump("-p", so)
    needed = set(re.findall(r"^\s*NEEDED\s+(\S+)", headers, re.M))
    check(needed <= ALLOWED_NEEDED, "needs only the C library and libgcc_s: %s" % sorted(needed))
    versions = set(re.findall(r"^\s+0x[0-9a-f]+ 0x[0-9a-f]+ \d+ (\S+)$", headers, re.M))
    cxx = sorted(v for v in versions if FORBIDDEN_VERSIONS.match(v))
    check(not cxx, "needs no GLIBCXX or CXXABI symbol versions%s" % (": %s" % cxx if cxx else ""))
    print("        symbol versions needed: %s" % " ".join(sorted(versions, key=version_key)))
    exported = [line.split()[-1] for line in objdump("-T", so).splitlines()
                if re.match(r"^[0-9a-f]{8,}\s", line) and "*UND*" not in line]
    check(exported == ["PyInit_trade_data_thread"], "exports only PyInit_trade_data_thread: %s" % exported)


def version_key(name):
    prefix, _, number = name.partition("_")
    return prefix, [int(n) for n in re.findall(r"\d+", number)]


def main():
    print("wheel check: CPython %s, %s" % (sys.version.split()[0], sys.executable))
    tdt = import_module()
    from pytovik.strategy import TovikStrategy as Base

    strategy = tdt.TovikStrategy.__new__(tdt.TovikStrategy)
    Base.__init__(strategy)
    for step in (check_distribution, check_binary):
        step(tdt)
    for step in (check_signatures, check_snapshot, check_fill):
        step(tdt, strategy)
    check_recursion()
    if failures:
        print("wheel check: %d failed: %s" % (len(failures), "; ".join(failures)))
        return 1
    print("wheel check: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
