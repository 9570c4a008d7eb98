"""The SDK side of the demo: a simulated trading broker and algo service, and the SDK thread that
drives a strategy through one trading day on the virtual clock (demo_market.py).

Everything here runs on the SDK thread except the request methods of `Broker` and
`AlgoService` (`insert_order`, `cancel_order`, `create_parent_order`, `control_parent_order`,
`cancel_parent_order`), which the host calls from its own thread: they only queue the request,
and the SDK thread handles it at its next step.
"""

import collections
import datetime
import heapq
import itertools
import threading
import time
import traceback
from array import array

from demo_market import BAR_MINUTES, MS, NS, SESSIONS, STEP, phase_code, tick_round, to_ns, within
from pytovik import records
from pytovik.enums import AlgoControlType
from pytovik.enums import OrderStatusType as Status


# ---- the trading broker -----------------------------------------------------------------------

FINAL = (Status.Filled, Status.Cancelled, Status.PartiallyFilledPartiallyCancelled, Status.Reject)
ACCEPT_NS = 40 * MS                     # from the broker's acceptance to the exchange's
CANCEL_NS = 500 * MS                    # from a cancel request to the exchange's confirmation


class BrokerOrder:
    """The broker's ledger entry for one order: what its reports said."""

    def __init__(self, client_order_id, inst, side, price, qty):
        self.client_order_id = client_order_id
        self.inst = inst
        self.side = side                # "buy" or "sell"
        self.price = price
        self.qty = qty
        self.status = None
        self.counter_order_id = ""      # the exchange's id, once it has accepted the order
        self.trade_qty = 0
        self.total_value = 0.0
        self.fills = []                 # (qty, price) per fill
        self.error_code = 0
        self.error_msg = ""
        self.cancel_requested = False

    @property
    def live(self):
        return self.counter_order_id != "" and not self.cancel_requested and self.status not in FINAL


class Broker:
    """A simulated trading broker: checks orders, matches them against the simulated market's best
    prices (at most a quarter of the shown volume per snapshot, at least one lot) and reports back
    through `on_order`, `on_trade` and `on_order_action_error`. Open orders expire at the close."""

    def __init__(self, sdk, market):
        self.sdk = sdk
        self.market = market
        self.orders = {}                # client order id -> BrokerOrder
        self.positions = {}             # security id -> available quantity
        self._counter_ids = itertools.count(30000001)
        self._trade_ids = itertools.count(1)

    # requests from the host (any thread)

    def insert_order(self, client_order_id, security_id, side, price, qty):
        self.sdk.request(self._insert, client_order_id, security_id, side, price, qty)

    def cancel_order(self, client_order_id):
        self.sdk.request(self._cancel, client_order_id)

    # the SDK thread

    def _insert(self, client_order_id, security_id, side, price, qty):
        inst = self.market.by_id[security_id]
        order = self.orders[client_order_id] = BrokerOrder(client_order_id, inst, side, price, qty)
        problem = self._risk_check(order)
        if problem:
            order.error_code, order.error_msg = problem
            self.sdk.after(2 * MS, self._report, order, Status.Reject)
            return
        if side == "sell":
            self.positions[security_id] -= qty
        self.sdk.after(2 * MS, self._report, order, Status.UnSend)
        self.sdk.after(ACCEPT_NS, self._accept, order)

    def _risk_check(self, order):
        inst = order.inst
        if not inst.low_limited <= order.price <= inst.high_limited:
            return 20104, "price %.2f outside the daily limits %.2f-%.2f" % (
                order.price, inst.low_limited, inst.high_limited)
        if order.qty <= 0 or order.qty % 100:
            return 20105, "quantity %d is not a whole number of lots" % order.qty
        if order.side == "sell" and self.positions.get(inst.security_id, 0) < order.qty:
            return 20106, "not enough available position to sell %d" % order.qty
        return None

    def _accept(self, order):
        order.counter_order_id = next(self._counter_ids)
        self._report(order, Status.Sended)

    def _cancel(self, client_order_id):
        order = self.orders.get(client_order_id)
        if order is None or order.status in FINAL or order.cancel_requested:
            why = ("unknown order" if order is None else
                   "cancel already requested" if order.cancel_requested else
                   "order is already %s" % order.status.name)
            self.sdk.after(2 * MS, self.sdk.deliver, "on_order_action_error", records.OrderActionError(
                client_order_id=client_order_id, error_code=20201, error_msg=why))
            return
        order.cancel_requested = True
        waiting = Status.PartiallyFilledWaitCancelled if order.trade_qty else Status.WaitCancelled
        self.sdk.after(2 * MS, self._report, order, waiting)
        self.sdk.after(CANCEL_NS, self._cancelled, order)

    def _cancelled(self, order, reason=""):
        if order.status in FINAL:       # expired at the close while its cancel was on the way
            return
        order.error_msg = reason
        done = Status.PartiallyFilledPartiallyCancelled if order.trade_qty else Status.Cancelled
        if order.side == "sell":
            self.positions[order.inst.security_id] += order.qty - order.trade_qty
        self._report(order, done)

    def match(self, inst):
        """Fills the instrument's live orders that cross its newest best price."""
        for order in [o for o in self.orders.values() if o.inst is inst and o.live]:
            if order.side == "buy" and order.price >= inst.asks[0]:
                price, shown = inst.asks[0], inst.ask_vols[0]
            elif order.side == "sell" and order.price <= inst.bids[0]:
                price, shown = inst.bids[0], inst.bid_vols[0]
            else:
                continue
            qty = min(order.qty - order.trade_qty, max(100, shown // 400 * 100))
            order.trade_qty += qty
            order.total_value += qty * price
            order.fills.append((qty, price))
            filled = order.trade_qty == order.qty
            self._report(order, Status.Filled if filled else Status.PartiallyFilled, qty, price)
            self.sdk.deliver("on_trade", records.TradeReport(
                client_order_id=order.client_order_id, security_id=inst.security_id,
                trade_qty=qty, trade_price=price, trade_id="T%08d" % next(self._trade_ids)))

    def close(self):
        """The exchange closes: every open order expires."""
        for order in list(self.orders.values()):
            if order.status not in FINAL:
                self._cancelled(order, "expired at the close")

    def _report(self, order, status, last_qty=0, last_price=0.0):
        order.status = status
        frozen = 0.0
        if order.side == "buy" and status not in FINAL:
            frozen = round(order.price * (order.qty - order.trade_qty), 2)
        self.sdk.deliver("on_order", records.OrderReport(
            client_order_id=order.client_order_id, security_id=order.inst.security_id,
            market_type=order.inst.market_type, order_price=order.price, order_status=status,
            order_qty=order.qty, trade_qty=order.trade_qty, total_trade_value=order.total_value,
            error_msg=order.error_msg, error_code=order.error_code, last_match_qty=last_qty,
            last_match_price=last_price, counter_order_id=order.counter_order_id,
            frozen_trade_value=frozen))


# ---- the algo service -------------------------------------------------------------------------

SLICE_NS = 300 * NS                     # one child order every five minutes


class ParentOrder:

    def __init__(self, sys_quote_id, inst, side, qty, end_ns):
        self.sys_quote_id = sys_quote_id
        self.inst = inst
        self.side = side
        self.qty = qty
        self.end_ns = end_ns
        self.status = "Running"
        self.trade_qty = 0
        self.trade_value = 0.0
        self.slicing = 0                # bumped on every (re)start, so stale slice timers stop


class AlgoService:
    """A simulated TWAP algo service: parent orders are cut into a child order every five minutes
    of continuous trading, each filled at once at the best price."""

    def __init__(self, sdk, market):
        self.sdk = sdk
        self.market = market
        self.parents = {}
        self._ids = itertools.count(70000001)

    def login(self):
        self.sdk.deliver("on_algo_login", records.AlgoLoginRes(
            client_seq_id=1, trader_id="88001", error_code=0, error_msg=""))

    # requests from the host (any thread)

    def create_parent_order(self, client_seq_id, security_id, side, qty, end):
        self.sdk.request(self._create, client_seq_id, security_id, side, qty, end)

    def control_parent_order(self, sys_quote_id, control_type):
        self.sdk.request(self._control, sys_quote_id, control_type)

    def cancel_parent_order(self, sys_quote_id):
        self.sdk.request(self._cancel, sys_quote_id)

    # the SDK thread

    def _create(self, client_seq_id, security_id, side, qty, end):
        inst = self.market.by_id[security_id]
        end_ns = to_ns(datetime.datetime.combine(self.sdk.clock.now().date(), end))
        parent = ParentOrder(next(self._ids), inst, side, qty, end_ns)
        self.parents[parent.sys_quote_id] = parent
        self.sdk.deliver("on_create_algo_parent_order_res", records.CreateParentOrderRes(
            client_seq_id=client_seq_id, sys_quote_id=parent.sys_quote_id, error_code=0,
            error_msg=""))
        self._update(parent, security_id=inst.security_id, market_type=inst.market_type,
                     side=side, algo_type="TWAP", order_qty=qty, trade_qty=0, avg_price=0.0,
                     start_time=self.sdk.clock.now_ns() // MS, end_time=end_ns // MS)
        self._start_slicing(parent)

    def _control(self, sys_quote_id, control_type):
        parent = self.parents.get(sys_quote_id)
        wanted = {AlgoControlType.Pause: ("Running", "Paused"),
                  AlgoControlType.Resume: ("Paused", "Running")}[control_type]
        ok = parent is not None and parent.status == wanted[0]
        self.sdk.deliver("on_control_algo_parent_order_res", records.ControlParentOrderRes(
            sys_quote_id=sys_quote_id, control_type=control_type, error_code=0 if ok else 30101,
            error_msg="" if ok else "parent order is not %s" % wanted[0].lower()))
        if ok:
            self._update(parent, status=wanted[1])
            if parent.status == "Running":
                self._start_slicing(parent)

    def _cancel(self, sys_quote_id):
        parent = self.parents.get(sys_quote_id)
        ok = parent is not None and parent.status in ("Running", "Paused")
        self.sdk.deliver("on_cancel_algo_parent_order_res", records.CancelParentOrderRes(
            sys_quote_id=sys_quote_id, error_code=0 if ok else 30102,
            error_msg="" if ok else "parent order is not active"))
        if ok:
            self._update(parent, status="Cancelled")

    def _start_slicing(self, parent):
        parent.slicing += 1
        self.sdk.after(SLICE_NS, self._slice, parent, parent.slicing)

    def _slice(self, parent, slicing):
        if parent.status != "Running" or slicing != parent.slicing:
            return
        now_ns = self.sdk.clock.now_ns()
        if now_ns >= parent.end_ns or parent.trade_qty >= parent.qty:
            self._update(parent, status="Finished")
            return
        self.sdk.after(SLICE_NS, self._slice, parent, slicing)
        if phase_code(self.sdk.clock.now().time()) != "T":
            return
        inst = parent.inst
        slices_left = max(1, -(-(parent.end_ns - now_ns) // SLICE_NS))
        qty = min(parent.qty - parent.trade_qty,
                  max(100, (parent.qty - parent.trade_qty) // slices_left // 100 * 100))
        price = inst.asks[0] if parent.side == "buy" else inst.bids[0]
        child_id = next(self._ids)
        self.sdk.deliver("on_algo_child_order_update", records.ChildOrderUpdate(
            sys_quote_id=child_id, parent_quote_id=parent.sys_quote_id,
            security_id=inst.security_id, market_type=inst.market_type, side=parent.side,
            order_qty=qty, order_price=price, trade_qty=0, status="New"))
        self.sdk.after(NS, self._child_filled, parent, child_id, qty, price)

    def _child_filled(self, parent, child_id, qty, price):
        parent.trade_qty += qty
        parent.trade_value += qty * price
        self.sdk.deliver("on_algo_child_order_trade", records.ChildOrderTrade(
            sys_quote_id=next(self._ids), parent_quote_id=parent.sys_quote_id,
            security_id=parent.inst.security_id, trade_qty=qty, trade_price=price,
            trade_time=self.sdk.clock.now_ns() // MS))
        self.sdk.deliver("on_algo_child_order_update", records.ChildOrderUpdate(
            sys_quote_id=child_id, parent_quote_id=parent.sys_quote_id, trade_qty=qty,
            status="Filled"))
        self._update(parent, trade_qty=parent.trade_qty,
                     avg_price=round(parent.trade_value / parent.trade_qty, 4))

    def _update(self, parent, **changed):
        """A parent-order update; fields left out are unchanged since the last one."""
        if "status" in changed:
            parent.status = changed["status"]
        self.sdk.deliver("on_algo_parent_order_update", records.ParentOrderUpdate(
            sys_quote_id=parent.sys_quote_id, **changed))


# ---- the SDK thread ---------------------------------------------------------------------------

class SimulatedSdk:
    """Drives one strategy through the day on its own thread, as the SDK would.

    The day is a schedule of actions at virtual times, worked through in order. Before each
    action the strategy's due timers fire (through the context's timer facility, on this thread)
    and the host's queued requests are taken in.

    Every callback goes through `deliver`, which stamps `time.perf_counter_ns()` just before the
    call and counts the events it posted from the event queue's write index (the only appender is
    this thread, and the index counts appends modulo the capacity), so the host can match each
    event it takes to the callback that posted it.
    """

    def __init__(self, strategy, clock, market, queue, fund_account_id, positions):
        self.strategy = strategy
        self.clock = clock
        self.market = market
        self.queue = queue
        self.capacity = queue.maxlen
        self.broker = Broker(self, market)
        self.algo = AlgoService(self, market)
        self.fund_account_id = fund_account_id
        self.position_records = positions
        for record in positions:
            self.broker.positions[record.security_id] = record.available_qty
        self.callbacks = collections.Counter()
        self.errors = collections.Counter()
        self.first_error = {}
        self.crash = None
        self.stamps = array("q")        # callback start, for each callback that posted
        self.posted = array("q")        # how many events it posted
        self.durations = array("q")     # time inside each callback
        self.wall_ns = 0
        self.done = threading.Event()
        self._heap = []
        self._seq = itertools.count()
        self._inbox = collections.deque()
        self._request_ids = itertools.count(1)
        context = strategy.context
        context.on_query_asset_request = lambda fund: self.after(20 * MS, self._answer_asset, fund)
        context.on_query_position_request = lambda fund: self.after(
            30 * MS, self._answer_positions, fund)

    # scheduling

    def at(self, t_ns, action, *args):
        heapq.heappush(self._heap, (t_ns, next(self._seq), action, args))

    def after(self, delay_ns, action, *args):
        self.at(self.clock.now_ns() + delay_ns, action, *args)

    def request(self, action, *args):
        """Queues a host request (any thread); the SDK thread takes it in at its next step."""
        self._inbox.append((action, args))

    # delivery

    def deliver(self, name, *args):
        callback = getattr(self.strategy, name)
        before = self.queue._right_index
        start = time.perf_counter_ns()
        try:
            callback(*args)
        except Exception as exc:
            self._error(name, exc)
        self._account(name, start, before)

    def _account(self, name, start, before):
        self.durations.append(time.perf_counter_ns() - start)
        self.callbacks[name] += 1
        posted = (self.queue._right_index - before) % self.capacity
        if posted:
            self.stamps.append(start)
            self.posted.append(posted)

    def _error(self, name, exc):
        self.errors[name] += 1
        self.first_error.setdefault(name, "%s: %s" % (type(exc).__name__, exc))

    def _fire_timers(self, upto_ns):
        timers = self.strategy.context.timers
        while True:
            pending = timers.pending()
            if not pending or pending[0][0] > upto_ns:
                return
            due = max(pending[0][0], self.clock.now_ns())
            names = [cb.__name__ for t, cb in pending if t <= due]
            errors = len(timers.errors)
            self.clock.advance_to(due)
            before = self.queue._right_index
            start = time.perf_counter_ns()
            timers.fire_due(due)
            for exc in timers.errors[errors:]:
                self._error("timer", exc)
            for name in names[1:]:
                self.callbacks[name] += 1
            self._account(names[0], start, before)

    # the day

    def schedule_day(self, day, switch_day_at):
        """Login at 08:55, the market from 09:15, the close at 15:00, the day switch last."""
        def at(hour, minute, second, action, *args):
            self.at(to_ns(datetime.datetime.combine(day, datetime.time(hour, minute, second))),
                    action, *args)
        at(8, 55, 1, self.deliver, "on_login", records.LoginRes(
            fund_account_id=self.fund_account_id, error_code=0, client_seq_id=1, error_msg=""))
        at(8, 55, 2, self.algo.login)
        at(9, 15, 0, self._market_step)
        at(15, 0, 5, self.broker.close)
        at(switch_day_at.hour, switch_day_at.minute, 0, self.deliver, "on_switch_day")

    def _market_step(self):
        now_ns = self.clock.now_ns()
        now = self.clock.now()
        t = now.time()
        ms = now_ns // MS
        market = self.market
        for inst in market.instruments:
            for record in market.advance(inst, t, ms):
                self.deliver("on_tick_order" if type(record) is records.TickOrder
                             else "on_tick_trade", record)
            self.deliver("on_snapshot", market.snapshot(inst, t, ms))
            if phase_code(t) == "T":
                self.broker.match(inst)
        if now.second == 0 and within(t, BAR_MINUTES):
            for inst in market.instruments:
                self.deliver("on_bar", market.take_bar(inst, ms))
        following = now + STEP
        if not within(following.time(), SESSIONS):
            if following.time() > SESSIONS[-1][1]:
                return
            following = datetime.datetime.combine(now.date(), SESSIONS[1][0])
        self.at(to_ns(following), self._market_step)

    def _answer_asset(self, fund):
        cash = 10000000.0
        held = sum(r.market_value for r in self.position_records)
        self.deliver("on_query_asset", records.AssetRes(
            fund_account_id=fund, leaves_value=cash, available_t1=cash, frozen_all=0.0,
            market_value=held, total_asset=cash + held, init_leaves_value=cash),
            next(self._request_ids), 0, "")

    def _answer_positions(self, fund):
        self.deliver("on_query_position", list(self.position_records), next(self._request_ids),
                     0, "")

    def run(self):
        """The SDK thread: works through the schedule, then sets `done`."""
        wall0 = time.perf_counter_ns()
        try:
            self.clock.start()
            while self._heap:
                t_ns, _, action, args = heapq.heappop(self._heap)
                self._fire_timers(t_ns)
                self.clock.advance_to(t_ns)
                while self._inbox:
                    request, request_args = self._inbox.popleft()
                    request(*request_args)
                action(*args)
        except BaseException:
            self.crash = traceback.format_exc()
        finally:
            self.wall_ns = time.perf_counter_ns() - wall0
            self.done.set()


def position_records(market, rng):
    """The account's opening holdings: a few of the universe's instruments."""
    out = []
    for inst in market.instruments[:3]:
        qty = 100 * rng.randint(20, 100)
        out.append(records.PositionRecord(
            security_id=inst.security_id, market_id=inst.market_type, init_qty=qty,
            leaves_qty=qty, available_qty=qty,
            cost_price=tick_round(inst.prev_close * rng.uniform(0.9, 1.1)),
            last_price=inst.prev_close, market_value=round(qty * inst.prev_close, 2),
            profit_loss=0.0))
    return out
