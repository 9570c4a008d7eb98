"""Thread stress: the SDK thread, host threads, the day switch and the timer thread all at once.

The SDK thread delivers snapshots, level-2 records, bars, order reports and algo updates; two
host threads query the histories and drain the queue; another thread switches the day and a
timer thread sends the day events. The interpreter switches threads every microsecond, and some
record values run Python code that yields the GIL from their `__eq__`, `__gt__`, `__add__`,
`__truediv__`, `__str__` and `__format__`. No thread may see an exception, every query answers
None or well-formed records, and every event drained is whole.

The queue is a deque: the module only appends, and the host's own buffer is not what is tested.
STRESS_SECONDS sets the duration (3 seconds by default; `make stress` runs longer).
"""

import collections
import os
import sys
import threading
import time

import pytest

from halvex.lumet.core.events import Event
from halvex.lumet.environment import Environment
from pytovik.enums import MarketType, OrderStatusType as T
from reliability import entries as E
from reliability.entries import BAR_KEYS, SHAPES, TICK_KEYS

tdt = E.tdt
DURATION = float(os.environ.get("STRESS_SECONDS", "3"))
CODES = ["%06d" % i for i in range(1, 9)]
SUFFIX = {MarketType.SZSE: "XSHE", MarketType.SSE: "XSHG"}


def yield_gil():
    time.sleep(0)


def switching(base, operations):
    """A subclass of `base` whose named operations let other threads run first (still hashable)."""
    def yielding(operation):
        def method(self, *args):
            yield_gil()
            return operation(self, *args)
        method.__name__ = operation.__name__
        return method
    namespace = {name: yielding(getattr(base, name)) for name in operations}
    namespace["__hash__"] = base.__hash__
    return type("Switching" + base.__name__.capitalize(), (base,), namespace)


# A security id whose concatenation, comparison and text form let other threads run, and a number
# whose comparisons, division and text form do.
SwitchingStr = switching(str, ("__add__", "__eq__", "__str__", "__format__"))
SwitchingInt = switching(int, ("__eq__", "__gt__", "__truediv__", "__format__"))


class Workers:
    """Runs each job in its own thread until the time is up; collects what they raise."""

    def __init__(self):
        self.stop = threading.Event()
        self.errors = []
        self.counts = collections.Counter()
        self.threads = []

    def add(self, name, job):
        def loop():
            try:
                while not self.stop.is_set():
                    job()
                    self.counts[name] += 1
            except BaseException as exc:  # reported by the test, never lost in the thread
                self.errors.append((name, repr(exc)))
                self.stop.set()
        self.threads.append(threading.Thread(target=loop, name=name, daemon=True))

    def run(self, seconds):
        for t in self.threads:
            t.start()
        self.stop.wait(seconds)
        self.stop.set()
        for t in self.threads:
            t.join(30)
        return [t.name for t in self.threads if t.is_alive()]


def check_tick(tick):
    assert type(tick) is dict and list(tick) == TICK_KEYS


def check_bar(bar):
    assert type(bar) is dict and list(bar) == BAR_KEYS


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_sdk_host_day_switch_and_timers_together(fast_switching):
    queue = tdt.event_queue = collections.deque()
    strategy = E.new_strategy()
    Environment.get_instance().set_universe([c + ".XSHE" for c in CODES])
    workers = Workers()
    step = [0]

    def sdk():
        step[0] += 1
        n = step[0]
        code = CODES[n % len(CODES)]
        plain = n % 2 == 0
        sid = code if plain else SwitchingStr(code)
        t = E.T0 + 1000 * (n // 16)
        strategy.on_snapshot(E.snapshot(security_id=sid, orig_time=t if plain else SwitchingInt(t), last_price=n))
        strategy.on_bar(E.bar(security_id=sid, end_time=t if plain else SwitchingInt(t)))
        strategy.on_tick_trade(E.tick_trade(security_id=sid, bid_appl_seq_num=SwitchingInt(n),
                                            offer_appl_seq_num=SwitchingInt(n % 7)))
        strategy.on_tick_order(E.tick_order(security_id=sid))
        if "1" not in tdt.orders_dict:  # the host submits again after a day switch emptied it
            E.host_order("1")
        status = [T.Sended, T.PartiallyFilled, T.WaitCancelled, T.Filled][n % 4]
        strategy.on_order(E.order_report(SwitchingInt(status), security_id=sid, counter_order_id=n))
        strategy.on_algo_parent_order_update(E.R.ParentOrderUpdate(sys_quote_id=n % 5, status=sid))

    queries = ((tdt.get_current_tick, tdt.history_ticks, 10, check_tick),
               (tdt.get_current_bar, tdt.history_bars, 3, check_bar))

    def host_queries():
        for code in CODES:
            market_code = code + ".XSHE"
            for current, history, count, check in queries:
                newest = current(market_code)
                if newest is not None:
                    check(newest)
                window = history(market_code, count)
                if window is not None:
                    assert type(window) is list and 1 <= len(window) <= count
                    for record in window:
                        check(record)

    def host_drain():
        while queue:
            event = queue.popleft()
            assert type(event) is Event and tuple(event.kwargs) in SHAPES[event.event_type]
        time.sleep(0.0002)

    def day_switch():
        strategy.on_switch_day()
        time.sleep(0.01)

    def timers():
        for name in ("send_before_trading_event", "send_open_auction_event", "send_after_trading_event"):
            getattr(strategy, name)()
        time.sleep(0.005)

    for name, job in (("sdk", sdk), ("host-queries-1", host_queries), ("host-queries-2", host_queries),
                      ("host-drain", host_drain), ("day-switch", day_switch), ("timers", timers)):
        workers.add(name, job)
    stuck = workers.run(DURATION)
    print("stress operations: %s" % dict(workers.counts))
    assert stuck == [] and workers.errors == []
    assert workers.counts["sdk"] > 0 and workers.counts["host-queries-1"] > 0
    for ring in tdt.history_tick.values():
        assert 1 <= len(ring) <= 60
