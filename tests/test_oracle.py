"""The native module against the plain-Python reference (bench/reference.py).

Random streams of SDK records and host calls go through both, each with its own queue, caches,
strategy and fresh copies of the host orders; after every step the two must agree on the result or
exception, the posted events (type, keyword names in order, payload values), the log lines, and
what the step left in the caches, the host orders, the strategy and its SDK context.
"""

import builtins
import copy
import datetime as dt_module
import enum
import importlib.util
import inspect
import operator
import os
import sys
import types
from collections import deque

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import halvex.lumet.utils.trade_data_thread as native
from conftest import CACHES, EmptiedAfterTest, Recorder, restore_globals
from halvex.lumet.const import ORDER_STATUS, POSITION_EFFECT, SIDE
from halvex.lumet.core.events import Event
from halvex.lumet.environment import Environment
from halvex.lumet.model.l2_order import L2Order
from halvex.lumet.model.l2_transaction import L2Transaction
from halvex.lumet.model.order import Order
from halvex.lumet.model.tick import TickObject
from halvex.lumet.model.trade import Trade
from halvex.lumet.utils import datetime_func, logger, trade_func
from pytovik import records
from pytovik.enums import AlgoControlType, MarketType, OrderStatusType
from pytovik.strategy import StrategyContext
from pytovik.strategy import TovikStrategy as SdkBase


def _load_reference():
    if "reference" in sys.modules:
        return sys.modules["reference"]
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "reference.py")
    spec = importlib.util.spec_from_file_location("reference", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["reference"] = module
    spec.loader.exec_module(module)
    return module


reference = _load_reference()
ORACLE = settings.get_profile("oracle")


@pytest.fixture(autouse=True)
def restore_reference():
    """The reference's globals as loaded, after every test (the native module's are restored by conftest)."""
    saved = dict(vars(reference))
    yield
    restore_globals(reference, saved)


# ---- records of three flavours: the SDK's __slots__ classes, plain __dict__ objects, and recorders

class PlainRecord:
    def __init__(self, **fields):
        self.__dict__.update(fields)


FLAVOURS = ("slots", "plain", "recorder")


def make_record(cls, fields, flavour):
    fields = copy.deepcopy(fields)
    if flavour == "slots":
        return cls(**fields)
    if flavour == "plain":
        return PlainRecord(**fields)
    return Recorder(**fields)


def reads_of(record):
    return list(record.reads) if isinstance(record, Recorder) else None


# ---- normal form: what two independent runs can be compared by

def live_labels(side):
    """Objects the side keeps (cached records, host orders, algo objects, strategy, context), labelled
    so that a payload that is one of them is told apart from an equal copy."""
    labels = {}
    mod = side.mod
    for cache in ("history_tick", "history_bar"):
        for code, ring in getattr(mod, cache).items():
            labels[id(ring)] = (cache, code)
            for i, record in enumerate(ring):
                labels[id(record)] = (cache, code, i)
    for cache in CACHES[2:]:
        for key, obj in getattr(mod, cache).items():
            labels[id(obj)] = (cache, key)
    if side.strategy is not None:
        labels[id(side.strategy)] = ("strategy",)
        labels[id(side.strategy.context)] = ("context",)
    return labels


def norm(obj, labels):
    label = labels.get(id(obj))
    if label is not None:
        return ("live",) + label
    t = type(obj)
    if obj is None or t in (bool, int, str, bytes):
        return (t.__name__, obj)
    if t is float:
        return ("float", repr(obj))
    if isinstance(obj, enum.Enum):
        return ("enum", t.__qualname__, obj.name)
    if isinstance(obj, (dt_module.date, dt_module.time, dt_module.timedelta, numpy.datetime64)):
        return (t.__name__, repr(obj))
    if t is dict:
        return ("dict", [(norm(k, labels), norm(v, labels)) for k, v in obj.items()])
    if t in (list, tuple):
        return (t.__name__, [norm(v, labels) for v in obj])
    if t is deque:
        return ("deque", obj.maxlen, [norm(v, labels) for v in obj])
    if isinstance(obj, (types.FunctionType, type(native.get_current_tick))) and getattr(
            obj, "__module__", None) in (native.__name__, reference.__name__):
        return ("function", obj.__qualname__)   # a side's own function, by name
    if isinstance(obj, types.MethodType):
        return ("method", norm(obj.__self__, labels), obj.__func__.__name__)
    if isinstance(obj, Event):
        return ("Event", norm(obj.event_type, labels), [(k, norm(v, labels)) for k, v in obj.kwargs.items()])
    if isinstance(obj, TickObject):
        return ("TickObject", norm(obj.instrument, labels), norm(obj._tick_dict, labels))
    if isinstance(obj, StrategyContext):
        return ("StrategyContext", norm(obj.calls, labels), norm(obj.subscriptions, labels))
    if isinstance(obj, BaseException):
        return ("exception", t.__name__, str(obj))
    if hasattr(obj, "__dict__") and not isinstance(obj, (type, types.FunctionType, types.ModuleType)):
        # Trade ids come from one host-wide counter, so the two runs' fills differ there by design.
        return (t.__qualname__, [(k, norm(v, labels)) for k, v in vars(obj).items()
                                 if not (t is Trade and k == "trade_id")])
    return ("object", t.__qualname__, id(obj))   # shared by both runs (functions, host singletons)


# ---- the two runs

USER_LOG = logger.user_system_log  # a step may move it out of the host's logger module

# The host's converters, watched on each side: which are called, in which order, with what.
HOST_FUNCTIONS = {name: getattr(module, name) for module, names in (
    (datetime_func, ("convert_int_to_datetime", "convert_int_to_whole_date")),
    (trade_func, ("get_exchane_from_tovik_mdtype", "get_tovik_tdtype", "get_side_from_tovik_l2_order",
                  "get_order_type_from_tovik_l2_order", "get_trade_type_from_tovik", "get_l2order_type_from_tovik")),
) for name in names}


class Side:
    def __init__(self, mod, name):
        self.mod = mod
        self.name = name
        self.strategy = None
        self.host_calls = []
        for fname, function in HOST_FUNCTIONS.items():
            setattr(mod, fname, self.watched(fname, function))

    def watched(self, name, function):
        def call(*args):
            self.host_calls.append((name, norm(args, {})))
            return function(*args)
        return call

    def reset(self):
        queue = self.mod.event_queue
        while len(queue):
            queue.popleft()
        for cache in CACHES:
            getattr(self.mod, cache).clear()
        self.mod.tovik_params.clear()
        self.strategy = None

    def drain(self):
        queue = self.mod.event_queue
        out = []
        while len(queue):
            out.append(queue.popleft())
        return out

    def bare_strategy(self, **attrs):
        """A strategy as the constructor leaves it, made without running it."""
        s = self.mod.TovikStrategy.__new__(self.mod.TovikStrategy)
        SdkBase.__init__(s)
        s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt = False, 0, 0, 0
        for name, value in attrs.items():
            setattr(s, name, value)
        self.strategy = s
        return s


class Pair:
    """Drives the native module and the reference through the same steps and compares them."""

    def __init__(self):
        Environment.reset()
        logger.system_log.clear()
        USER_LOG.clear()
        self.native = Side(native, "native")
        self.reference = Side(reference, "reference")
        self.sides = (self.native, self.reference)
        for side in self.sides:
            side.reset()

    def bare_strategies(self, **attrs):
        """Gives each side a strategy as its constructor leaves it (see Side.bare_strategy)."""
        for side in self.sides:
            side.bare_strategy(**attrs)
        return self

    def step(self, action, *, compare_reads=True):
        """`action(side)` runs one step on a side and returns (result, records used)."""
        outcomes = []
        for side in self.sides:
            logger.system_log.clear()
            USER_LOG.clear()
            side.host_calls.clear()
            try:
                result, recs = action(side)
                error = None
            except Exception as exc:
                result, recs, error = None, getattr(exc, "_records", ()), exc
            labels = live_labels(side)
            outcomes.append({
                "result": norm(result, labels),
                "error": norm(error, labels),
                "events": [norm(e, labels) for e in side.drain()],
                "logs": list(logger.system_log.records) + list(USER_LOG.records),
                "reads": [reads_of(r) for r in recs] if compare_reads else None,
                "host calls": list(side.host_calls),
                "state": self.light_state(side, labels),
            })
        n, r = outcomes
        for key in n:
            assert n[key] == r[key], f"{key} differ after {action.__doc__ or action}"
        return n

    @staticmethod
    def light_state(side, labels):
        """Cheap per-step state: ring lengths and newest entries, host orders, strategy attributes."""
        mod = side.mod
        state = {}
        for cache in ("history_tick", "history_bar"):
            state[cache] = [(norm(code, {}), len(ring), norm(ring[-1], {}) if ring else None)
                            for code, ring in getattr(mod, cache).items()]
        for cache in CACHES[2:]:
            state[cache] = [(norm(k, {}), norm(v, {})) for k, v in getattr(mod, cache).items()]
        state["tovik_params"] = norm(mod.tovik_params, labels)
        if side.strategy is not None:
            state["strategy"] = norm(vars(side.strategy), labels)
            context = side.strategy.context
            state["context"] = [norm(context.calls, labels), norm(context.subscriptions, labels),
                                norm(context.order_way, labels)]
        return state

    def final_check(self):
        full = []
        for side in self.sides:
            labels = {id(side.strategy): ("strategy",)} if side.strategy is not None else {}
            full.append({cache: norm(getattr(side.mod, cache), labels) for cache in CACHES})
        assert full[0] == full[1]


def call_method(name, *args):
    """A step calling `strategy.<name>(*args)`; records given as (class, fields, flavour) are built per side."""
    def action(side):
        built = [make_record(*a[1:]) if isinstance(a, tuple) and a and a[0] == "record" else copy.deepcopy(a)
                 for a in args]
        recs = [b for b in built if isinstance(b, Recorder)]
        try:
            return getattr(side.strategy, name)(*built), recs
        except Exception as exc:
            exc._records = recs
            raise
    action.__doc__ = f"{name}{args!r}"
    return action


class Existing:
    """A query's market code chosen when the step runs: the i-th code that has a buffer then."""

    def __init__(self, history, i):
        self.history, self.i = history, i

    def resolve(self, mod):
        codes = list(getattr(mod, self.history))
        return codes[self.i % len(codes)] if codes else "none.XSHE"

    def __repr__(self):
        return f"Existing({self.history!r}, {self.i})"


QUERIES = {"history_tick": ("get_current_tick", "history_ticks"), "history_bar": ("get_current_bar", "history_bars")}


def queries(history, code, count):
    """The newest record and windows of several sizes (the drawn one and the edges) of one code;
    each call's result or exception is one entry of the step's result."""
    current, window = QUERIES[history]

    def action(side):
        market_code = code.resolve(side.mod) if isinstance(code, Existing) else code
        calls = [(current, (market_code,), {}), (window, (), {"market_code": market_code, "count": count})]
        calls += [(window, (market_code, c), {}) for c in (0, 1, 2, 60, 61, -1, 2.0)]
        out = []
        for name, args, kwargs in calls:
            try:
                out.append(getattr(side.mod, name)(*args, **kwargs))
            except Exception as exc:
                out.append(exc)
        return out, ()
    action.__doc__ = f"{current}/{window}({code!r}, {count!r})"
    return action


def rec(cls, fields, flavour):
    return ("record", cls, fields, flavour)


def run_stream(pair, steps, compare_reads=True):
    for step in steps:
        pair.step(step, compare_reads=compare_reads)
    pair.final_check()


def test_same_functions_and_signatures():
    def shape(mod):
        out = [(name, str(inspect.signature(getattr(mod, name))))
               for name in ("get_current_bar", "get_current_tick", "history_ticks", "history_bars")]
        cls = mod.TovikStrategy
        out.append(("bases", [b.__qualname__ for b in cls.__bases__]))
        out += [(name, str(inspect.signature(value))) for name, value in vars(cls).items() if callable(value)]
        return out
    assert shape(native) == shape(reference)


# ---- value strategies

SECURITIES = ["000001", "600000"]
MARKETS = [MarketType.SSE, MarketType.SZSE]
MARKET_CODES = ["000001.XSHE", "600000.XSHG", "000001.XSHG", "600000.XSHE", "none.XSHE"]

flavours = st.sampled_from(FLAVOURS)
# Mostly good values, now and then one that a step must fail on, the same way on both sides.
security_ids = st.sampled_from(SECURITIES * 6 + [1])                 # an int id cannot be joined
market_types = st.sampled_from(MARKETS * 3 + [1, 2, 3, 9])           # 9: an unknown market
millis = st.one_of([st.integers(1_600_000_000_000, 1_800_000_000_000)] * 4
                   + [st.sampled_from([0, 500, 2000, 2500]), st.floats(1.6e12, 1.8e12), st.just("1700000000000")])
prices = st.floats(0, 1e5, allow_nan=False, allow_infinity=False)
volumes = st.integers(0, 10**9)
small_texts = st.sampled_from(["", "ok", "rejected by risk", "é"])
counts = st.integers(-2, 70) | st.sampled_from([None, 1.0, "3", True, 10**30])
market_code_args = st.sampled_from(MARKET_CODES + [[]])                       # [] cannot be a key


def query_codes(history):
    """Mostly a code that has a buffer when the query runs."""
    return st.one_of(st.integers(0, 3).map(lambda i: Existing(history, i)),
                     st.integers(0, 3).map(lambda i: Existing(history, i)), market_code_args)


def snapshot_fields():
    return st.fixed_dictionaries({
        "orig_time": millis, "security_id": security_ids, "market_type": market_types,
        "open_price": prices, "close_price": prices, "high_price": prices, "low_price": prices,
        "total_value_trade": prices, "total_volume_trade": volumes, "pre_close_price": prices,
        "ask_volume": st.lists(volumes, max_size=10), "ask_price": st.lists(prices, max_size=10),
        "bid_volume": st.lists(volumes, max_size=10), "bid_price": st.lists(prices, max_size=10),
        "high_limited": prices, "last_price": prices, "low_limited": prices, "open_interest": volumes,
        "prev_settlement": prices, "iopv": prices, "trading_phase_code": st.sampled_from(["T111", "C", ""]),
    })


def bar_fields():
    return st.fixed_dictionaries({
        "security_id": security_ids, "market_type": market_types,
        "end_time": st.sampled_from([1_700_000_040_000, 1_700_000_100_000, 1_700_000_100_500, 2500]),
        "open": prices, "close": prices, "high": prices, "low": prices, "amount": prices, "volume": volumes,
        "prev_close": prices,
    })


# ---- market data


@st.composite
def snapshot_steps(draw):
    kind = draw(st.sampled_from(["snapshot"] * 5 + ["burst", "query", "query", "switch"]))
    if kind == "snapshot":
        return call_method("on_snapshot", rec(records.Snapshot, draw(snapshot_fields()), draw(flavours)))
    if kind == "burst":
        # enough snapshots of one code to overrun its ring of 60
        fields = draw(snapshot_fields())
        fields.update(security_id=draw(st.sampled_from(SECURITIES)), market_type=draw(st.sampled_from(MARKETS)))
        n = draw(st.integers(55, 66))

        def burst(side):
            for i in range(n):
                side.strategy.on_snapshot(records.Snapshot(**dict(fields, orig_time=1_700_000_000_000 + i)))
            return None, ()
        burst.__doc__ = f"{n} snapshots {fields}"
        return burst
    if kind == "query":
        return queries("history_tick", draw(query_codes("history_tick")), draw(counts))
    return call_method("on_switch_day")


@ORACLE
@given(st.lists(snapshot_steps(), min_size=1, max_size=25))
def test_snapshots_and_tick_queries(steps):
    run_stream(Pair().bare_strategies(), steps)


def rebind_side():
    """The host rebinds the module's SIDE while records flow."""
    def action(side):
        side.mod.SIDE = types.SimpleNamespace(BUY="bought", SELL="sold")
        return None, ()
    action.__doc__ = "SIDE rebound"
    return action


@pytest.fixture
def patchable_factories():
    """Host factories that a step may swap for a variant while records flow; put back afterwards."""
    saved = {cls: vars(cls).get("__from_create__") for cls in (L2Order, L2Transaction, Trade)}
    yield
    for cls, factory in saved.items():
        if factory is not None:
            cls.__from_create__ = factory
        elif "__from_create__" in vars(cls):  # the class inherits its factory
            del cls.__from_create__


def swap_factory(cls):
    """Replaces `cls.__from_create__` (shared by both sides) with one that marks what it makes."""
    original = cls.__from_create__.__func__

    def action(side):
        if side.name == "native":
            def marked(klass, *args, **kwargs):
                obj = original(klass, *args, **kwargs)
                obj.marked = True
                return obj
            cls.__from_create__ = classmethod(marked)
        return None, ()
    action.__doc__ = f"{cls.__name__}.__from_create__ swapped"
    return action


@st.composite
def level2_steps(draw):
    kind = draw(st.sampled_from(["record"] * 12 + ["rebind", "swap"]))
    if kind == "rebind":
        return rebind_side()
    if kind == "swap":
        return swap_factory(draw(st.sampled_from([L2Order, L2Transaction])))
    if draw(st.booleans()):
        fields = draw(st.fixed_dictionaries({
            "order_time": millis, "security_id": security_ids, "market_type": market_types,
            "side": st.sampled_from([49, 50, 66, 83] * 3 + [88, -1, 0x110000]),
            "biz_index": volumes, "order_price": prices, "order_volume": volumes,
            "order_type": st.sampled_from([49, 50, 85, 65, 68] * 2 + [90]), "orig_order_no": volumes,
        }))
        return call_method("on_tick_order", rec(records.TickOrder, fields, draw(flavours)))
    fields = draw(st.fixed_dictionaries({
        "trade_time": millis, "security_id": security_ids, "market_type": market_types,
        "bid_appl_seq_num": st.integers(0, 4), "offer_appl_seq_num": st.sampled_from([0, 1, 2, 3, 4, 2.0]),
        "biz_index": volumes, "trade_price": prices, "trade_volume": volumes, "value_trade": prices,
        "trade_type": st.sampled_from([70, 52] * 3 + [65, -5]),
    }))
    return call_method("on_tick_trade", rec(records.TickTrade, fields, draw(flavours)))


@ORACLE
@given(st.lists(level2_steps(), min_size=1, max_size=20))
def test_level2_orders_and_trades(patchable_factories, steps):
    run_stream(Pair().bare_strategies(), steps)


def set_universe(n):
    def action(side):
        Environment.get_instance().set_universe(MARKET_CODES[:n])
        return None, ()
    action.__doc__ = f"universe of {n}"
    return action


@st.composite
def bar_steps(draw):
    kind = draw(st.sampled_from(["bar"] * 8 + ["universe", "query", "query", "switch"]))
    if kind == "bar":
        return call_method("on_bar", rec(records.Bar, draw(bar_fields()), draw(flavours)))
    if kind == "universe":
        return set_universe(draw(st.integers(0, 4)))
    if kind == "query":
        return queries("history_bar", draw(query_codes("history_bar")), draw(counts))
    return call_method("on_switch_day")


@ORACLE
@given(st.integers(0, 4), st.lists(bar_steps(), min_size=1, max_size=30))
def test_bars_counting_and_bar_queries(universe, steps):
    pair = Pair()
    Environment.get_instance().set_universe(MARKET_CODES[:universe])
    run_stream(pair.bare_strategies(), steps)


# ---- orders

CLIENT_IDS = [101, 102]
S = OrderStatusType
statuses = st.sampled_from([S.UnSend, S.Sended, S.Sended, S.PartiallyFilled, S.PartiallyFilled, S.Filled,
                            S.PartiallyFilledPartiallyCancelled, S.WaitCancelled, S.PartiallyFilledWaitCancelled,
                            S.Cancelled, S.Reject, 99, 3, 1])   # plain ints compare equal to their members


def host_orders(draw):
    """The host's orders, keyed by client order id; each run gets its own deep copy."""
    orders = {}
    for i, cid in enumerate(CLIENT_IDS):
        order = Order.__from_create__(cid, "000001.XSHE", 1000, draw(st.sampled_from([SIDE.BUY, SIDE.SELL])),
                                      10.5 + i, POSITION_EFFECT.OPEN)
        order.status = draw(st.sampled_from(list(ORDER_STATUS)))
        order.filled_quantity = draw(st.sampled_from([0, 0, 200]))
        orders[cid] = order
    return orders


def order_report_fields():
    return st.fixed_dictionaries({
        "client_order_id": st.sampled_from(CLIENT_IDS + [999]), "security_id": st.sampled_from(SECURITIES),
        "market_type": st.sampled_from(MARKETS), "order_price": prices, "order_status": statuses,
        "order_qty": st.sampled_from([0, 500, 1000]), "trade_qty": st.sampled_from([0, 100, 300, 1000]),
        "total_trade_value": prices, "error_msg": small_texts | st.just(5), "error_code": st.integers(-3, 9),
        "last_match_qty": st.sampled_from([0, 100, 50, -1]), "last_match_price": prices,
        "counter_order_id": st.sampled_from([0, -1, 7, 123456, 123456, None, "88"]), "frozen_trade_value": prices,
    })


def put_orders(orders, callback=None):
    """The host's orders; with `callback` ("Class.name" or "name"), each refers to that function of
    the side's own module, which every posted copy of it must keep."""
    def action(side):
        copies = copy.deepcopy(orders)
        if callback is not None:
            for order in copies.values():
                order.callback = operator.attrgetter(callback)(side.mod)
        side.mod.orders_dict.update(copies)
        return None, ()
    action.__doc__ = f"host orders (callback {callback})"
    return action


@ORACLE
@given(st.data())
def test_order_reports(patchable_factories, data):
    pair = Pair().bare_strategies()
    callback = data.draw(st.sampled_from([None, "get_current_tick", "TovikStrategy.on_order"]))
    pair.step(put_orders(host_orders(data.draw), callback))
    report = order_report_fields().flatmap(
        lambda f: flavours.map(lambda fl: call_method("on_order", rec(records.OrderReport, f, fl))))
    steps = data.draw(st.lists(st.one_of([report] * 12 + [st.just(swap_factory(Trade))]), min_size=1, max_size=25))
    # which report fields are read how often is not part of the behaviour; what changes and posts is
    run_stream(pair, steps, compare_reads=False)


def racing(step):
    """`step` while another thread empties orders_dict between its membership test and its fetch."""
    def action(side):
        orders = side.mod.orders_dict
        side.mod.orders_dict = EmptiedAfterTest(orders)
        try:
            return step(side)
        finally:
            orders.clear()
            side.mod.orders_dict = orders
    action.__doc__ = f"racing {step.__doc__}"
    return action


@ORACLE
@given(st.data())
def test_order_action_errors_and_trade_reports(data):
    pair = Pair().bare_strategies()
    pair.step(put_orders(host_orders(data.draw)))
    cid = st.sampled_from(CLIENT_IDS + [999])
    report = order_report_fields().map(lambda f: call_method("on_order", rec(records.OrderReport, f, "slots")))
    action_error = cid.map(lambda c: call_method("on_order_action_error",
                                                 rec(records.OrderActionError, {"client_order_id": c}, "slots")))
    step = st.one_of(
        report, action_error,
        cid.map(lambda c: call_method("on_trade", rec(records.TradeReport, {"client_order_id": c}, "slots"))),
        st.one_of(report, action_error).map(racing),
    )
    run_stream(pair, data.draw(st.lists(step, min_size=1, max_size=15)), compare_reads=False)


# ---- algo orders

@st.composite
def algo_response_steps(draw):
    base = {"error_code": draw(st.integers(-1, 3)), "error_msg": draw(small_texts)}
    kind = draw(st.sampled_from(["login", "create", "cancel", "control"]))
    flavour = draw(flavours)
    if kind == "login":
        fields = dict(base, client_seq_id=draw(volumes), trader_id=draw(st.sampled_from(["t1", "t2"])))
        return call_method("on_algo_login", rec(records.AlgoLoginRes, fields, flavour))
    if kind == "create":
        fields = dict(base, client_seq_id=draw(volumes), sys_quote_id=draw(volumes))
        return call_method("on_create_algo_parent_order_res", rec(records.CreateParentOrderRes, fields, flavour))
    if kind == "cancel":
        fields = dict(base, sys_quote_id=draw(volumes))
        return call_method("on_cancel_algo_parent_order_res", rec(records.CancelParentOrderRes, fields, flavour))
    fields = dict(base, sys_quote_id=draw(volumes),
                  control_type=draw(st.sampled_from(list(AlgoControlType) + [0, 3])))
    return call_method("on_control_algo_parent_order_res", rec(records.ControlParentOrderRes, fields, flavour))


@ORACLE
@given(st.lists(algo_response_steps(), min_size=1, max_size=15))
def test_algo_responses(steps):
    run_stream(Pair().bare_strategies(), steps)


maybe = lambda s: st.none() | s  # noqa: E731
quote_ids = st.sampled_from([1, 2, 3])

ALGO_UPDATES = {
    "on_algo_parent_order_update": (records.ParentOrderUpdate, lambda: st.fixed_dictionaries({
        "sys_quote_id": quote_ids, "security_id": maybe(st.sampled_from(SECURITIES)),
        "order_qty": maybe(volumes), "trade_qty": maybe(volumes), "avg_price": maybe(prices),
        "status": maybe(st.integers(0, 5))})),
    "on_algo_child_order_update": (records.ChildOrderUpdate, lambda: st.fixed_dictionaries({
        "sys_quote_id": quote_ids, "parent_quote_id": quote_ids, "order_qty": maybe(volumes),
        "order_price": maybe(prices), "trade_qty": maybe(volumes), "status": maybe(st.integers(0, 5))})),
    "on_algo_child_order_trade": (records.ChildOrderTrade, lambda: st.fixed_dictionaries({
        "sys_quote_id": quote_ids, "parent_quote_id": quote_ids, "trade_qty": maybe(volumes),
        "trade_price": maybe(prices), "trade_time": maybe(millis)})),
}


@st.composite
def algo_update_steps(draw):
    kind = draw(st.sampled_from(sorted(ALGO_UPDATES) + ["switch"]))
    if kind == "switch":
        return call_method("on_switch_day")
    cls, fields = ALGO_UPDATES[kind]
    return call_method(kind, rec(cls, draw(fields()), draw(flavours)))


@pytest.mark.parametrize("kind", sorted(ALGO_UPDATES))
@ORACLE
@given(data=st.data())
def test_algo_updates(kind, data):
    pair = Pair().bare_strategies()
    cls, fields = ALGO_UPDATES[kind]
    steps = data.draw(st.lists(fields().flatmap(
        lambda f: flavours.map(lambda fl: call_method(kind, rec(cls, f, fl)))), min_size=1, max_size=12))
    run_stream(pair, steps)


@ORACLE
@given(st.lists(algo_update_steps(), min_size=1, max_size=20))
def test_algo_updates_across_day_switches(steps):
    run_stream(Pair().bare_strategies(), steps)


# ---- login and account synchronisation

def position_fields():
    fields = st.fixed_dictionaries({
        "security_id": security_ids, "market_id": market_types, "init_qty": volumes, "leaves_qty": volumes,
        "available_qty": volumes, "cost_price": prices, "last_price": prices, "market_value": prices,
        "profit_loss": prices,
    })
    # now and then a record without its id, which neither converts nor names itself in the warning
    return st.tuples(fields, st.sampled_from([False, False, True])).map(
        lambda drawn: {k: v for k, v in drawn[0].items() if not (drawn[1] and k == "security_id")})


def place_user_log(home):
    """Leaves the host's user logger only in `home`: the host's logger module, the module's globals,
    the builtins, or nowhere at all."""
    def action(side):
        for namespace in (vars(logger), vars(builtins), vars(side.mod)):
            namespace.pop("user_system_log", None)
        namespace = {"logger": vars(logger), "global": vars(side.mod), "builtins": vars(builtins)}.get(home)
        if namespace is not None:
            namespace["user_system_log"] = USER_LOG
        return None, ()
    action.__doc__ = f"user_system_log in {home}"
    return action


@pytest.fixture
def user_log_at_home():
    """The host's user logger back in its logger module and out of the builtins afterwards."""
    yield
    logger.user_system_log = USER_LOG
    vars(builtins).pop("user_system_log", None)


@st.composite
def login_steps(draw):
    kind = draw(st.sampled_from(["login", "asset", "positions", "positions", "user log"]))
    if kind == "user log":
        return place_user_log(draw(st.sampled_from(["logger", "global", "builtins", "nowhere"])))
    codes = st.sampled_from([0, 0, 0, -1, 5])
    flavour = draw(flavours)
    if kind == "login":
        fields = {"fund_account_id": draw(st.sampled_from(["f1", "f2"])), "error_code": draw(codes),
                  "client_seq_id": draw(volumes), "error_msg": draw(small_texts)}
        return call_method("on_login", rec(records.LoginRes, fields, flavour))
    if kind == "asset":
        fields = draw(st.fixed_dictionaries({
            "fund_account_id": st.sampled_from(["f1", "f2"]), "leaves_value": prices, "available_t1": prices,
            "frozen_all": prices, "market_value": prices, "total_asset": prices, "init_leaves_value": prices}))
        return call_method("on_query_asset", rec(records.AssetRes, fields, flavour), draw(volumes), draw(codes),
                           draw(small_texts))
    positions = [rec(records.PositionRecord, f, flavour)
                 for f in draw(st.lists(position_fields(), max_size=4))]
    container = draw(st.sampled_from(["list", "list", "list", "tuple", "list subclass"]))

    def action(side):
        built = [make_record(*p[1:]) for p in positions]
        arg = {"list": list, "tuple": tuple, "list subclass": ListSubclass}[container](built)
        return side.strategy.on_query_position(arg, request_id, code, msg), built
    request_id, code, msg = draw(volumes), draw(codes), draw(small_texts)
    action.__doc__ = f"on_query_position({container} of {positions}, {request_id}, {code}, {msg!r})"
    return action


class ListSubclass(list):
    pass


@ORACLE
@given(st.lists(login_steps(), min_size=1, max_size=12))
def test_login_and_account_queries(user_log_at_home, steps):
    pair = Pair().bare_strategies()
    for side in pair.sides:
        place_user_log("logger")(side)
    # the read order of login answers is not part of their behaviour; only what they post and do
    run_stream(pair, steps, compare_reads=False)


# ---- construction, initialisation and the clock, on a fixed local time

class RaisingCalendar:
    def __contains__(self, day):
        raise RuntimeError("calendar unavailable")

    def __repr__(self):
        return "RaisingCalendar()"


def fixed_clock(now, today_in_calendar):
    """A `datetime` whose now() is `now`, an `np` whose "today" is now's date, and a calendar."""
    class FixedDatetime(dt_module.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls.combine(now.date(), now.time())

    today = numpy.datetime64(now.date(), "D")
    fake_np = types.SimpleNamespace(datetime64=lambda value, unit: today if value == "today"
                                    else numpy.datetime64(value, unit))
    if today_in_calendar is None:
        calendar = RaisingCalendar()
    else:
        calendar = [today - 1, today + 1] + ([today] if today_in_calendar else [])
    return FixedDatetime, fake_np, calendar


def on_clock(now, today_in_calendar):
    fixed_dt, fake_np, calendar = fixed_clock(now, today_in_calendar)
    for mod in (native, reference):
        mod.datetime = fixed_dt
        mod.np = fake_np
    return calendar


# the edges of the timetable, a microsecond either side, and any time at all
EDGES = [dt_module.datetime.combine(dt_module.date(2024, 1, 1), dt_module.time(h, m)) + dt_module.timedelta(microseconds=d)
         for h, m in ((8, 0), (9, 0), (9, 24), (9, 27), (15, 30)) for d in (-1, 0, 1)]
times_of_day = st.sampled_from([e.time() for e in EDGES] + [dt_module.time(7), dt_module.time(16)]) | st.times()
days = st.dates(dt_module.date(2024, 1, 1), dt_module.date(2026, 12, 31))
in_calendar = st.sampled_from([True, True, False, None])   # None: the calendar itself fails


class ConfigBase(types.SimpleNamespace):
    """A configuration section whose optional settings may be absent, set, or fail to read."""

    failing = ()

    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "failing"):
            raise RuntimeError(f"cannot read {name}")
        return super().__getattribute__(name)


def config_of(draw, calendar):
    base = ConfigBase(trading_calendar=calendar)
    accounts = draw(st.lists(st.sampled_from(["a_oes", "b_XTP", "c_atp", "d_bad", "noscore", "x_y_z", 7]), max_size=3))
    base.accounts = {f"type{i}": a for i, a in enumerate(accounts)}
    how = draw(st.sampled_from(["dict"] * 6 + ["none", "absent"]))
    if how == "none":
        base.accounts = None
    elif how == "absent":
        del base.accounts
    failing = []
    for name, values in (("md_type", ["ToMD", "tomd", "AMD"]), ("order_way", [None, 1, "fast"]),
                         ("algo_account", [None, "z_atx", "z_ATX", "z_ATXY", "bad", "a_b_c"])):
        how = draw(st.sampled_from(["absent", "set", "set", "fails"]))
        if how == "set":
            setattr(base, name, draw(st.sampled_from(values)))
        elif how == "fails":
            setattr(base, name, "ToMD")
            failing.append(name)
    base.failing = tuple(failing)
    return types.SimpleNamespace(base=base)


@ORACLE
@given(st.data(), days, times_of_day, in_calendar)
def test_construction_and_initialize(data, day, time_of_day, today_in_calendar):
    pair = Pair()
    calendar = on_clock(dt_module.datetime.combine(day, time_of_day), today_in_calendar)
    config = config_of(data.draw, calendar)

    def construct(side):
        side.strategy = side.mod.TovikStrategy(config)
        return None, ()
    construct.__doc__ = f"TovikStrategy({config})"
    pair.step(construct)
    pair.step(call_method("initialize", config))
    pair.step(call_method("on_initialize"))
    pair.final_check()


@ORACLE
@given(days, times_of_day, in_calendar, st.lists(st.sampled_from(
    ["set_timer", "create_time_listener", "send_before_trading_event", "send_open_auction_event",
     "send_after_trading_event", "on_switch_day", "send_day_event"]), min_size=1, max_size=6))
def test_clock(day, time_of_day, today_in_calendar, calls):
    pair = Pair()
    calendar = on_clock(dt_module.datetime.combine(day, time_of_day), today_in_calendar)
    config = types.SimpleNamespace(base=types.SimpleNamespace(trading_calendar=calendar))
    orders = {1: Order.__from_create__(1, "000001.XSHE", 100, SIDE.BUY, 9.9)}
    pair.bare_strategies(config=config)
    pair.step(put_orders(orders))
    for name in ["set_timer"] + calls:
        args = ("day-event", dt_module.datetime(2024, 5, 6, 9, 0)) if name == "send_day_event" else ()
        pair.step(call_method(name, *args))
    pair.final_check()
