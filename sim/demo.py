"""A simulated trading day through trade_data_thread, in one command.

The SDK side (demo_sdk.py, over the market and clock of demo_market.py) runs on its own thread:
login and account answers, snapshots every three seconds per instrument, level-2 orders and
trades, one-minute bars, order reports from a simulated broker, an algo parent order's life, the
day timers and the day switch. The host side
runs here on the main thread: an event loop that takes the events off `event_queue` and hands
them to a small demo strategy, which places and cancels orders through the simulated broker and
reads the module's tick and bar queries.

The day runs from 08:55 to 15:35 on a virtual clock; the module reads the time through its
globals `datetime` and `np`, which are rebound to that clock. At the end the demo prints a
summary and checks the day; it exits with status 1 when a check fails.

    python sim/demo.py [--instruments N] [--seed S] [--speed X] [--json FILE]
"""

import argparse
import collections
import datetime
import itertools
import json
import math
import sys
import threading
import time
import types
from array import array

import numpy

import halvex.lumet.utils.trade_data_thread as tdt
import pytovik.strategy
from demo_market import Market, VirtualClock, VirtualDatetime, VirtualNumpy, tick_round, to_ns
from demo_sdk import SimulatedSdk, position_records
from halvex.lumet.const import ORDER_STATUS, SIDE
from halvex.lumet.core.events import EVENT
from halvex.lumet.environment import Environment
from halvex.lumet.model.order import Order
from halvex.lumet.portfolio.account import Account
from halvex.lumet.utils.trade_func import get_exchane_from_tovik_mdtype
from module_caches import CACHES
from pytovik.enums import AlgoControlType
from pytovik.enums import OrderStatusType as Status

DAY_START = datetime.time(8, 55)
DAY_END = datetime.time(15, 35)
FUND_ACCOUNT = "1000123"
ORDER_EVENTS = {              # order event -> how the order table names it
    EVENT.ORDER_CREATION_PASS: "accepted", EVENT.TRADE: "fill",
    EVENT.ORDER_PENDING_CANCEL: "cancel pending", EVENT.ORDER_CANCELLATION_PASS: "cancelled",
    EVENT.ORDER_UNSOLICITED_UPDATE: "rejected", EVENT.ORDER_CANCELLATION_REJECT: "cancel refused",
}
FINAL_STATUS = {              # the broker's last report -> the host status it must leave
    Status.Filled: ORDER_STATUS.FILLED, Status.Cancelled: ORDER_STATUS.CANCELLED,
    Status.PartiallyFilledPartiallyCancelled: ORDER_STATUS.CANCELLED,
    Status.Reject: ORDER_STATUS.REJECTED,
}
DAY_EVENTS = ((EVENT.BEFORE_TRADING, datetime.time(9, 0)),
              (EVENT.OPEN_AUCTION, datetime.time(9, 24)),
              (EVENT.AFTER_TRADING, datetime.time(15, 30)))


# ---- the host's demo strategy -----------------------------------------------------------------

class DemoStrategy:
    """The host's strategy for the day: a short script of orders, placed and cancelled as the
    ticks reach set times, and a record of everything the module tells it."""

    def __init__(self, day, codes, broker, algo):
        self.codes = codes
        self.watch = codes[:3]                          # the instruments whose bars it follows
        self.broker = broker
        self.algo = algo
        self.orders = collections.OrderedDict()         # order id -> (what, host order)
        self.order_events = collections.defaultdict(list)   # order id -> [(kind, copy, trade)]
        self.day_events = []
        self.login = None
        self.asset = None
        self.holdings = []
        self.algo_responses = []
        self.parent_id = None
        self.parent = None                              # the newest parent-order update
        self.child_orders = set()
        self.child_trades = []
        self.bars = {}                                  # code -> (newest bar, 5-bar mean close)
        self._ids = itertools.count(1)
        self._passive = self._block = None
        script = [
            (9, 31, self.momentum_buys), (9, 45, self.passive_bid), (10, 0, self.cancel_passive),
            (10, 0, self.block_buy), (10, 2, self.cancel_block), (10, 5, self.fat_finger),
            (10, 10, self.stale_cancel), (10, 30, self.start_twap), (11, 0, self.pause_twap),
            (13, 5, self.resume_twap), (13, 30, self.trim_holding), (14, 0, self.cancel_twap),
            (14, 50, self.closing_bid),
        ]
        self.plan = collections.deque(
            (datetime.datetime.combine(day, datetime.time(h, m)), step) for h, m, step in script)
        self.handlers = {
            EVENT.TICK: self.on_tick, EVENT.BAR: self.on_bar, EVENT.LOGIN: self.on_login,
            EVENT.QUERY_ACCOUNT: self.on_query_account, EVENT.QUERY_POSITION: self.on_positions,
            EVENT.ALGO_LOGIN: self.on_algo_response,
            EVENT.PARENT_ORDER_CREATE: self.on_parent_created,
            EVENT.PARENT_ORDER_PAUSE: self.on_algo_response,
            EVENT.PARENT_ORDER_RESUME: self.on_algo_response,
            EVENT.PARENT_ORDER_CANCEL: self.on_algo_response,
            EVENT.PARENT_ORDER_UPDATE: self.on_parent_update,
            EVENT.CHILD_ORDER_UPDATE: self.on_child_order, EVENT.CHILD_ORDER_TRADE: self.on_child_trade,
        }
        for kind in ORDER_EVENTS:
            self.handlers[kind] = self.on_order_event
        for kind, _ in DAY_EVENTS:
            self.handlers[kind] = self.on_day_event

    # orders

    def place(self, what, code, side, qty, price):
        """A host order: into `orders_dict` under its client order id first, then to the broker."""
        order = Order.__from_create__(next(self._ids), code, qty, side, tick_round(price))
        tdt.orders_dict[order.client_order_id] = order
        self.orders[order.order_id] = (what, order)
        self.broker.insert_order(order.client_order_id, code.partition(".")[0],
                                 "buy" if side == SIDE.BUY else "sell", order.price, qty)
        return order

    def cancel(self, order):
        if order is not None:
            self.broker.cancel_order(order.client_order_id)

    def within_limits(self, tick, price):
        return min(max(price, tick["low_limited"]), tick["high_limited"])

    # the script

    def momentum_buys(self):
        """Buys the two instruments that rose most over their last twenty ticks, 1% above the ask
        so the order crosses."""
        def rise(code):
            window = tdt.history_ticks(code, 20)
            return window[-1]["last_price"] / window[0]["last_price"] if window else 0.0
        for code in sorted(self.codes, key=rise, reverse=True)[:2]:
            tick = tdt.get_current_tick(code)
            self.place("momentum buy", code, SIDE.BUY, 1000,
                       self.within_limits(tick, tick["asks"][0] * 1.01))

    def passive_bid(self):
        tick = tdt.get_current_tick(self.codes[-1])
        self._passive = self.place("passive bid", self.codes[-1], SIDE.BUY, 500,
                                   self.within_limits(tick, tick["bids"][0] * 0.97))

    def cancel_passive(self):
        self.cancel(self._passive)

    def block_buy(self):
        """A block too big for the book: it fills a slice per snapshot until it is cancelled."""
        code = self.codes[1 % len(self.codes)]
        tick = tdt.get_current_tick(code)
        self._block = self.place("block buy", code, SIDE.BUY, 50000,
                                 self.within_limits(tick, tick["asks"][0] * 1.01))

    def cancel_block(self):
        self.cancel(self._block)

    def fat_finger(self):
        """A price typed ten times too high: the broker rejects it."""
        tick = tdt.get_current_tick(self.codes[0])
        self.place("fat finger", self.codes[0], SIDE.BUY, 100, tick["last_price"] * 10)

    def stale_cancel(self):
        """Cancels the passive bid again, from a stale view: the broker refuses."""
        self.cancel(self._passive)

    def start_twap(self):
        self.algo.create_parent_order(1, self.codes[0].partition(".")[0], "buy", 20000,
                                      datetime.time(14, 30))

    def pause_twap(self):
        if self.parent_id is not None:
            self.algo.control_parent_order(self.parent_id, AlgoControlType.Pause)

    def resume_twap(self):
        if self.parent_id is not None:
            self.algo.control_parent_order(self.parent_id, AlgoControlType.Resume)

    def cancel_twap(self):
        if self.parent_id is not None:
            self.algo.cancel_parent_order(self.parent_id)

    def trim_holding(self):
        """Sells part of the first opening position, 1% under the bid."""
        if self.holdings:
            code = self.holdings[0]
            tick = tdt.get_current_tick(code)
            self.place("trim holding", code, SIDE.SELL, 600,
                       self.within_limits(tick, tick["bids"][0] * 0.99))

    def closing_bid(self):
        """A bid under the market that is still open at the close, where it expires."""
        tick = tdt.get_current_tick(self.codes[-1])
        self.place("closing bid", self.codes[-1], SIDE.BUY, 300,
                   self.within_limits(tick, tick["bids"][0] * 0.98))

    # events

    def on_tick(self, event):
        plan = self.plan
        while plan and event.calendar_dt >= plan[0][0]:
            plan.popleft()[1]()

    def on_bar(self, event):
        for code in self.watch:
            bar = tdt.get_current_bar(code)
            window = tdt.history_bars(code, 5)
            if bar is not None:
                self.bars[code] = (bar, sum(b["close_price"] for b in window) / len(window))

    def on_login(self, event):
        self.login = (event.account_id, event.code, event.msg)

    def on_query_account(self, event):
        self.asset = getattr(event, "asset", None)

    def on_positions(self, event):
        self.holdings = [position.market_code for position in event.positions]

    def on_order_event(self, event):
        self.order_events[event.order.order_id].append(
            (event.event_type, event.order, getattr(event, "trade", None)))

    def on_day_event(self, event):
        self.day_events.append((event.event_type, event.calendar_dt))

    def on_algo_response(self, event):
        self.algo_responses.append((event.event_type, event.code))

    def on_parent_created(self, event):
        self.on_algo_response(event)
        if event.code == 0:
            self.parent_id = event.parent_order_id

    def on_parent_update(self, event):
        self.parent = event.algo_parent_order

    def on_child_order(self, event):
        self.child_orders.add(event.algo_child_order.sys_quote_id)

    def on_child_trade(self, event):
        self.child_trades.append(event.algo_child_trade.trade_qty)


# ---- progress -----------------------------------------------------------------------------------

class Progress:
    """A progress bar over the virtual day: tqdm when it is installed, else a line of text
    (shown only on a terminal)."""

    def __init__(self, clock, start_ns, end_ns):
        self.clock = clock
        self.start_ns = start_ns
        self.minutes = (end_ns - start_ns) // (60 * 10 ** 9)
        self.done = 0
        self.last = 0.0
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar = None
            self.stream = sys.stderr if sys.stderr.isatty() else None
        else:
            self.bar = tqdm(total=self.minutes, unit="min", desc="trading day", disable=None)

    def show(self, events, final=False):
        now = time.monotonic()
        if not final and now - self.last < 0.1:
            return
        self.last = now
        virtual_ns = self.clock.now_ns()
        minutes = min(self.minutes, (virtual_ns - self.start_ns) // (60 * 10 ** 9))
        text = "%s  %s events" % (self.clock.now().strftime("%H:%M:%S"), format(events, ","))
        if self.bar is not None:
            self.bar.set_postfix_str(text, refresh=False)
            self.bar.update(minutes - self.done)
        elif self.stream is not None:
            filled = 30 * minutes // self.minutes
            self.stream.write("\r[%s%s] %3d%%  %s" % ("#" * filled, "." * (30 - filled),
                                                     100 * minutes // self.minutes, text))
            self.stream.flush()
        self.done = minutes

    def close(self, events):
        self.show(events, final=True)
        if self.bar is not None:
            self.bar.close()
        elif self.stream is not None:
            self.stream.write("\n")


# ---- the host's event loop --------------------------------------------------------------------

def event_loop(queue, handlers, sdk, progress):
    """Takes every event off the queue, oldest first, and dispatches it by type until the SDK is
    done and the queue is empty. Returns the count per type and each dispatch's time."""
    seen = collections.Counter()
    dispatched = array("q")
    stamp = time.perf_counter_ns
    slots, capacity = queue._arr, queue.maxlen
    while True:
        if len(queue):
            event = queue.popleft()
            dispatched.append(stamp())
            # The buffer keeps a taken entry in its slot until an append overwrites it, a million
            # events later; let it go now. Only this thread moves the read index.
            slots[(queue._left_index - 1) % capacity] = None
            seen[event.event_type] += 1
            handler = handlers.get(event.event_type)
            if handler is not None:
                handler(event)
            if not len(dispatched) & 4095:
                progress.show(len(dispatched))
        elif sdk.done.is_set() and not len(queue):
            break
        else:
            progress.show(len(dispatched))
            time.sleep(0.0002)
    progress.close(len(dispatched))
    return seen, dispatched


# ---- the checks -------------------------------------------------------------------------------

def order_problems(order, ledger, events):
    """How the host order disagrees with the broker's reports for it (none: consistent)."""
    if ledger is None:
        return ["the broker never received it"]
    problems = []
    want = FINAL_STATUS.get(ledger.status)
    if want is None:
        problems.append("the broker left it %s" % getattr(ledger.status, "name", ledger.status))
    elif order.status != want:
        problems.append("status %s after a %s report" % (order.status.name, ledger.status.name))
    if order.filled_quantity != ledger.trade_qty:
        problems.append("filled %s of the reported %s" % (order.filled_quantity, ledger.trade_qty))
    fills = [trade.amount for kind, _, trade in events if kind == EVENT.TRADE]
    if fills != [qty for qty, _ in ledger.fills]:
        problems.append("fills %s, reported %s" % (fills, [qty for qty, _ in ledger.fills]))
    if ledger.trade_qty:
        if not math.isclose(order.avg_price, ledger.total_value / ledger.trade_qty):
            problems.append("average price %s" % order.avg_price)
        if order.unfilled_quantity != order.quantity - ledger.trade_qty:
            problems.append("unfilled %s" % order.unfilled_quantity)
    if ledger.status == Status.Reject:
        if order.message != "%s_%s" % (ledger.error_code, ledger.error_msg):
            problems.append("rejection reason %r" % order.message)
    elif order.secondary_order_id != ledger.counter_order_id:
        problems.append("exchange id %r" % order.secondary_order_id)
    if not events or events[-1][1].status != order.status:
        problems.append("its last event does not show its final status")
    return problems


def run_checks(host, sdk, seen, dispatched):
    checks = []

    def check(name, problems):
        checks.append({"check": name, "ok": not problems, "detail": "; ".join(problems)})

    errors = ["%s raised %d time(s), first %s" % (name, count, sdk.first_error[name])
              for name, count in sorted(sdk.errors.items())]
    if sdk.crash:
        errors.append("the SDK thread crashed: " + sdk.crash.strip().splitlines()[-1])
    check("every SDK callback returned normally", errors)

    missing = [kind.name for kind in EVENT if not seen[kind]]
    check("all %d event kinds seen" % len(EVENT), ["missing " + ", ".join(missing)] if missing else [])

    problems = []
    for order_id, (what, order) in host.orders.items():
        ledger = sdk.broker.orders.get(order.client_order_id)
        problems += ["order %s (%s): %s" % (order_id, what, p)
                     for p in order_problems(order, ledger, host.order_events.get(order_id, []))]
    parent = host.parent
    ledger = sdk.algo.parents.get(host.parent_id)
    if parent is None or ledger is None:
        problems.append("no algo parent order")
    elif (parent.status, parent.trade_qty) != (ledger.status, ledger.trade_qty) \
            or sum(host.child_trades) != ledger.trade_qty:
        problems.append("algo parent %s: %s with %s filled, child trades %s, reported %s with %s"
                        % (host.parent_id, parent.status, parent.trade_qty, sum(host.child_trades),
                           ledger.status, ledger.trade_qty))
    if not host.orders:
        problems.append("no orders were placed")
    check("every order ends in a final state consistent with its reports", problems)

    got = [(kind.name, dt.time()) for kind, dt in host.day_events]
    want = [(kind.name, at) for kind, at in DAY_EVENTS]
    check("the three day events arrive once each, in order, on time",
          [] if got == want else ["got " + ", ".join("%s %s" % item for item in got)])

    posted = sum(sdk.posted)
    problems = []
    if posted != len(dispatched):
        problems.append("%d posted, %d dispatched" % (posted, len(dispatched)))
    if len(tdt.event_queue):
        problems.append("%d left on the queue" % len(tdt.event_queue))
    check("no event was dropped", problems)

    left = ["%s holds %d" % (name, len(getattr(tdt, name))) for name in CACHES
            if len(getattr(tdt, name))]
    if not sdk.callbacks["on_switch_day"]:
        left.append("the day switch never came")
    check("caches are empty after the day switch", left)
    return checks


# ---- the summary ------------------------------------------------------------------------------

def percentiles(ns):
    """p50, p99 and max of nanosecond durations, in microseconds."""
    if not len(ns):
        return None
    us = numpy.asarray(ns, dtype=numpy.int64) / 1000.0
    return {"p50": round(float(numpy.percentile(us, 50)), 1),
            "p99": round(float(numpy.percentile(us, 99)), 1), "max": round(float(us.max()), 1)}


def latency_us(sdk, dispatched):
    """From each event's SDK callback start to its dispatch by the host."""
    stamps = numpy.repeat(numpy.array(sdk.stamps, dtype=numpy.int64),
                          numpy.array(sdk.posted, dtype=numpy.int64))
    n = min(len(stamps), len(dispatched))
    return percentiles(numpy.array(dispatched, dtype=numpy.int64)[:n] - stamps[:n])


def order_history(events):
    """The order's events in short words, repeats folded: "accepted, fill x3, cancelled"."""
    words = [ORDER_EVENTS[kind] for kind, _, _ in events]
    return ", ".join(w if n == 1 else "%s x%d" % (w, n)
                     for w, n in ((w, len(list(g))) for w, g in itertools.groupby(words)))


def summarize(args, day, host, sdk, seen, dispatched, wall_s, checks):
    callbacks = sum(sdk.callbacks.values())
    sdk_s = sdk.wall_ns / 1e9 or 1e-9
    parent = host.parent
    return {
        "date": day.isoformat(),
        "virtual_day": [DAY_START.isoformat(), DAY_END.isoformat()],
        "instruments": args.instruments, "seed": args.seed, "speed": args.speed,
        "wall_seconds": round(wall_s, 3),
        "callbacks": callbacks, "callbacks_per_second": round(callbacks / sdk_s, 1),
        "events": len(dispatched), "events_per_second": round(len(dispatched) / sdk_s, 1),
        "callback_us": percentiles(sdk.durations),
        "switch_interval_ms": sys.getswitchinterval() * 1000,
        "latency_us": latency_us(sdk, dispatched),
        "events_by_type": {kind.name: seen[kind] for kind in EVENT},
        "callbacks_by_name": dict(sdk.callbacks.most_common()),
        "day_events": [[kind.name, dt.isoformat()] for kind, dt in host.day_events],
        "orders": [{
            "order_id": order_id, "what": what, "market_code": order.market_code,
            "side": order.side.name, "quantity": order.quantity, "price": order.price,
            "status": order.status.name, "filled": order.filled_quantity,
            "avg_price": round(order.avg_price, 4), "message": order.message,
            "events": order_history(host.order_events.get(order_id, [])),
        } for order_id, (what, order) in host.orders.items()],
        "algo_parent_order": None if parent is None else {
            "parent_order_id": parent.sys_quote_id, "security_id": parent.security_id,
            "algo_type": parent.algo_type, "order_qty": parent.order_qty,
            "trade_qty": parent.trade_qty, "avg_price": parent.avg_price, "status": parent.status,
            "child_orders": len(host.child_orders), "child_trades": len(host.child_trades),
            "responses": [[kind.name, code] for kind, code in host.algo_responses],
        },
        "newest_bars": {code: {
            "time": bar["orig_time"].isoformat(), "open": bar["open_price"],
            "high": bar["high_price"], "low": bar["low_price"], "close": bar["close_price"],
            "volume": bar["volume"], "mean_close_5": round(mean, 4),
        } for code, (bar, mean) in host.bars.items()},
        "checks": checks,
        "ok": all(c["ok"] for c in checks),
    }


def print_summary(s, out=sys.stdout):
    w = out.write
    w("\nSimulated trading day %s, %s-%s virtual: %d instruments (seed %d), speed %gx, "
      "%.1f s wall\n" % (s["date"], s["virtual_day"][0][:5], s["virtual_day"][1][:5],
                         s["instruments"], s["seed"], s["speed"], s["wall_seconds"]))
    w("\nEvents by type\n")
    for name, count in s["events_by_type"].items():
        w("  %-26s %10s\n" % (name, format(count, ",")))
    w("\n%s SDK callbacks and %s events: %s callbacks/s, %s events/s\n" % (
        format(s["callbacks"], ","), format(s["events"], ","),
        format(round(s["callbacks_per_second"]), ","), format(round(s["events_per_second"]), ",")))
    for what, key in (("Time inside a callback", "callback_us"),
                      ("Latency, SDK callback start to host dispatch", "latency_us")):
        p = s[key]
        if p:
            w("%s: p50 %s us, p99 %s us, max %s us\n" % (
                what, format(p["p50"], ",.0f"), format(p["p99"], ",.0f"), format(p["max"], ",.0f")))
    w("  (both include waits for the interpreter lock, which the two threads hand over every "
      "%g ms)\n" % s["switch_interval_ms"])
    w("Day events: %s\n" % ", ".join("%s %s" % (k, dt[11:19]) for k, dt in s["day_events"]))

    w("\nOrders\n  %3s  %-13s %-12s %-4s %7s %8s  %-16s %7s %9s  %s\n" % (
        "id", "what", "code", "side", "qty", "price", "status", "filled", "avg", "events"))
    for o in s["orders"]:
        w("  %3d  %-13s %-12s %-4s %7s %8.2f  %-16s %7s %9.4f  %s\n" % (
            o["order_id"], o["what"], o["market_code"], o["side"], format(o["quantity"], ","),
            o["price"], o["status"], format(o["filled"], ","), o["avg_price"], o["events"]))
    p = s["algo_parent_order"]
    if p:
        w("  algo %s parent %s on %s: %s, %s of %s filled at %s in %d child trades (%s)\n" % (
            p["algo_type"], p["parent_order_id"], p["security_id"], p["status"],
            format(p["trade_qty"], ","), format(p["order_qty"], ","), p["avg_price"],
            p["child_trades"], ", ".join(k.split("_")[-1].lower() for k, _ in p["responses"])))

    w("\nNewest bars\n  %-12s %-8s %8s %8s %8s %8s %10s %12s\n" % (
        "code", "time", "open", "high", "low", "close", "volume", "5-bar mean"))
    for code, b in s["newest_bars"].items():
        w("  %-12s %-8s %8.2f %8.2f %8.2f %8.2f %10s %12.3f\n" % (
            code, b["time"][11:19], b["open"], b["high"], b["low"], b["close"],
            format(b["volume"], ","), b["mean_close_5"]))

    w("\nSelf-checks\n")
    for c in s["checks"]:
        w("  %-4s  %s%s\n" % ("ok" if c["ok"] else "FAIL", c["check"],
                              "" if c["ok"] else ": " + c["detail"]))
    failed = [c for c in s["checks"] if not c["ok"]]
    w("\n%s\n" % ("All checks passed." if not failed else "%d check(s) failed." % len(failed)))


# ---- the day ----------------------------------------------------------------------------------

def make_config(day):
    """The host configuration: a trading calendar of this month's weekdays (with today, so the
    demo always trades) and one stock account plus the algo account."""
    month = numpy.datetime64(day, "M")
    days = numpy.arange(month, month + 1, dtype="datetime64[D]")
    calendar = days[numpy.is_busday(days)]
    today = numpy.datetime64(day, "D")
    if today not in calendar:
        calendar = numpy.sort(numpy.append(calendar, today))
    return types.SimpleNamespace(base=types.SimpleNamespace(
        md_type="ToMD", order_way=0, accounts={"STOCK": FUND_ACCOUNT + "_OES"},
        algo_account="88001_ATX", trading_calendar=calendar))


def run_day(args):
    day = datetime.date.today()
    clock = VirtualClock(datetime.datetime.combine(day, DAY_START), args.speed)
    end_ns = to_ns(datetime.datetime.combine(day, DAY_END))
    market = Market(args.instruments, args.seed)
    codes = [inst.security_id + "." + get_exchane_from_tovik_mdtype(inst.market_type)
             for inst in market.instruments]

    Environment.reset()
    env = Environment.get_instance()
    env.set_universe(codes)
    env.add_account(Account("STOCK", FUND_ACCOUNT, total_cash=10000000.0))

    saved = tdt.datetime, tdt.np
    VirtualDatetime.clock = clock
    tdt.datetime, tdt.np = VirtualDatetime, VirtualNumpy(clock)
    previous_clock = pytovik.strategy.set_default_clock(clock.now_ns)
    try:
        config = make_config(day)
        strategy = tdt.TovikStrategy(config)
        strategy.initialize(config)
        sdk = SimulatedSdk(strategy, clock, market, tdt.event_queue, FUND_ACCOUNT,
                           position_records(market, market.rng))
        sdk.schedule_day(day, DAY_END)
        host = DemoStrategy(day, codes, sdk.broker, sdk.algo)
        progress = Progress(clock, clock.start_ns, end_ns)
        wall0 = time.perf_counter()
        thread = threading.Thread(target=sdk.run, name="tovik-sdk", daemon=True)
        thread.start()
        seen, dispatched = event_loop(tdt.event_queue, host.handlers, sdk, progress)
        thread.join()
        wall_s = time.perf_counter() - wall0
        checks = run_checks(host, sdk, seen, dispatched)
        return summarize(args, day, host, sdk, seen, dispatched, wall_s, checks)
    finally:
        tdt.datetime, tdt.np = saved
        pytovik.strategy.set_default_clock(previous_clock)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", type=int, default=50, help="universe size (default 50)")
    parser.add_argument("--seed", type=int, default=7, help="market data seed (default 7)")
    parser.add_argument("--speed", type=float, default=800.0,
                        help="virtual seconds per wall second (default 800: about 30 s)")
    parser.add_argument("--json", metavar="FILE", help="also write the summary as JSON to FILE")
    args = parser.parse_args(argv)
    if args.instruments < 1 or args.speed <= 0:
        parser.error("--instruments and --speed must be positive")
    summary = run_day(args)
    print_summary(summary)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=2)
    return 0 if summary["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
