"""Every entry point of the module, each with a success-path set-up, and the faults to inject.

Shared by the leak runner, the hostile-input tests and the thread stress. An entry point is a
name and a list of variants; a variant prepares host state on a fresh strategy and returns the
call to make plus the objects (records, configuration sections, host orders) whose attributes a
fault may take away or spoil.
"""

import collections
import datetime as _dt
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(ROOT, "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

import halvex.lumet.utils.trade_data_thread as tdt  # noqa: E402
from halvex.lumet.const import SIDE  # noqa: E402
from halvex.lumet.core.events import EVENT  # noqa: E402
from halvex.lumet.environment import Environment  # noqa: E402
from halvex.lumet.model.order import Order  # noqa: E402
from halvex.lumet.utils import logger  # noqa: E402
from pytovik import records as R  # noqa: E402
from pytovik.enums import AlgoControlType, MarketType, OrderStatusType as T  # noqa: E402
from pytovik.strategy import TovikStrategy as Base  # noqa: E402
from module_caches import CACHES  # noqa: E402

T0 = 1700000000000  # epoch milliseconds
CODE = "000001.XSHE"
FUNCTION_TYPE = type(tdt.get_current_tick)
# The module's own bindings that handlers read at run time: everything but dunders and functions.
GLOBALS = tuple(n for n, v in vars(tdt).items()
                if not n.startswith("__") and not isinstance(v, FUNCTION_TYPE) and n != "TovikStrategy")
SELF_ATTRS = ("context", "config", "logged_in", "bar_cnt", "current_trade_dt")


class HostileError(Exception):
    pass


def _raise(*args, **kwargs):
    raise HostileError("hostile")


class Hostile:
    """A value on which every operation raises: comparisons, truth, text, hashing, numbers,
    containers, calls, and any attribute it does not have."""
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _raise
    __bool__ = __str__ = __format__ = __hash__ = __index__ = __int__ = __float__ = _raise
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __truediv__ = __rtruediv__ = __floordiv__ = __rfloordiv__ = __neg__ = _raise
    __len__ = __iter__ = __contains__ = __getitem__ = __setitem__ = __delitem__ = __call__ = _raise
    __getattr__ = _raise

    def __repr__(self):
        return "<Hostile>"


class Bag:
    """A plain attribute holder (configuration sections)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def attrs_of(obj):
    """The attribute names a fault may target on obj."""
    fields = getattr(type(obj), "_fields", None)
    if fields is not None and hasattr(type(obj), "__slots__"):
        return [name for name, _ in fields]
    return list(vars(obj))


def fixed_datetime(hour, minute=0):
    """A `datetime` class whose now() is today at the given time (the clock reads the module
    global `datetime`)."""
    today = _dt.date.today()

    class FixedDateTime(_dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(today.year, today.month, today.day, hour, minute)

    return FixedDateTime


def config(**overrides):
    base = dict(md_type="ToMD", order_way=1, accounts={"STOCK": "acc_OES", "CREDIT": "acc2_xtp"},
                algo_account="algo_ATX", trading_calendar=[tdt.np.datetime64("today", "D")])
    base.update(overrides)
    return Bag(base=Bag(**base))


def new_strategy(cfg=None):
    """A strategy in the state its constructor leaves, without running the constructor."""
    s = tdt.TovikStrategy.__new__(tdt.TovikStrategy)
    Base.__init__(s)
    s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt = False, 0, 0, 0
    s.first_dt = _dt.date.today()
    s.config = config() if cfg is None else cfg
    return s


def host_order(client_order_id="1"):
    order = Order.__from_create__(int(client_order_id), CODE, 500, SIDE.BUY, 2.0)
    tdt.orders_dict[client_order_id] = order
    return order


def snapshot(**kw):
    fields = dict(security_id="000001", market_type=MarketType.SZSE, orig_time=T0, last_price=1.5)
    fields.update(kw)
    return R.Snapshot(**fields)


def tick_order(**kw):
    fields = dict(order_time=T0, security_id="000001", market_type=MarketType.SZSE, side=49, biz_index=1,
                  order_price=10.0, order_volume=100, order_type=50, orig_order_no=7)
    fields.update(kw)
    return R.TickOrder(**fields)


def tick_trade(**kw):
    fields = dict(trade_time=T0, security_id="600000", market_type=MarketType.SSE, bid_appl_seq_num=7,
                  offer_appl_seq_num=5, biz_index=2, trade_price=10.0, trade_volume=100, value_trade=1000.0,
                  trade_type=70)
    fields.update(kw)
    return R.TickTrade(**fields)


def bar(**kw):
    fields = dict(security_id="000001", market_type=MarketType.SZSE, end_time=T0, open=1.0, close=1.1,
                  high=1.2, low=0.9, amount=100.0, volume=10, prev_close=1.0)
    fields.update(kw)
    return R.Bar(**fields)


def order_report(status, **kw):
    fields = dict(client_order_id="1", security_id="000001", order_price=2.0, order_status=status, order_qty=500,
                  trade_qty=300, total_trade_value=606.0, error_msg="abc", error_code=7, last_match_qty=100,
                  last_match_price=2.1, counter_order_id=5, frozen_trade_value=1000.0)
    fields.update(kw)
    return R.OrderReport(**fields)


def position(**kw):
    fields = dict(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=100, available_qty=50,
                  cost_price=1.0, last_price=1.1, market_value=110.0, profit_loss=10.0)
    fields.update(kw)
    return R.PositionRecord(**fields)


def fill_caches():
    for name in CACHES:
        getattr(tdt, name)["k"] = collections.deque([{"market_code": "k"}])


def with_universe(n):
    Environment.get_instance().set_universe([CODE] * n)


# ---- the entry points ----------------------------------------------------------------------------
# Each variant: setup(s) -> (call, targets). `call()` makes the entry-point call(s); `targets` are
# the objects whose attributes faults remove or spoil.

def _method(name):
    def setup(s):
        return getattr(s, name), []
    return setup


def _snapshot(s):
    rec = snapshot()
    return (lambda: s.on_snapshot(rec)), [rec]


def _tick_order(s):
    rec = tick_order()
    return (lambda: s.on_tick_order(rec)), [rec]


def _tick_trade(equal=False):
    def setup(s):
        rec = tick_trade(offer_appl_seq_num=7) if equal else tick_trade()
        return (lambda: s.on_tick_trade(rec)), [rec]
    return setup


def _bar(universe):
    def setup(s):
        with_universe(universe)
        rec = bar()

        def call():
            s.on_bar(rec)
            s.on_bar(rec)
        return call, [rec]
    return setup


def _login(code):
    def setup(s):
        rec = R.LoginRes(fund_account_id="F1", error_code=code, client_seq_id=3, error_msg="m")
        return (lambda: s.on_login(rec)), [rec]
    return setup


def _query_asset(code):
    def setup(s):
        rec = R.AssetRes(fund_account_id="F1", leaves_value=1.0, available_t1=2.0, frozen_all=3.0,
                         market_value=4.0, total_asset=5.0, init_leaves_value=6.0)
        return (lambda: s.on_query_asset(rec, 11, code, "msg")), [rec]
    return setup


def _query_position(kind):
    def setup(s):
        recs = [position(), position(security_id="000002", market_id=99), position(security_id="600000",
                                                                                     market_id=MarketType.SSE)]
        if kind == "ok":
            answer, code = recs, 0
        elif kind == "tuple":
            answer, code = tuple(recs), 0
        elif kind == "empty":
            answer, code = [], 0
        else:
            answer, code = recs, 4
        return (lambda: s.on_query_position(answer, 12, code, "msg")), list(recs)
    return setup


def _order(status, **kw):
    def setup(s):
        order = host_order()
        rec = order_report(status, **kw)
        return (lambda: s.on_order(rec)), [rec, order]
    return setup


def _trade(s):
    rec = R.TradeReport(client_order_id="1", trade_qty=1, trade_price=1.0, trade_id="t")
    return (lambda: s.on_trade(rec)), [rec]


def _action_error(known):
    def setup(s):
        order = host_order()
        rec = R.OrderActionError(client_order_id="1" if known else "2", error_code=1, error_msg="no")
        return (lambda: s.on_order_action_error(rec)), [rec, order]
    return setup


def _algo_response(method, record):
    def setup(s):
        rec = record()
        return (lambda: getattr(s, method)(rec)), [rec]
    return setup


def _algo_update(method, record):
    def setup(s):
        first, second = record(sys_quote_id=9, security_id="000001"), record(sys_quote_id=9)

        def call():
            getattr(s, method)(first)
            getattr(s, method)(second)
        return call, [first, second]
    return setup


def _clock(method, hour=10, minute=0, trading=True, args=()):
    def setup(s):
        tdt.datetime = fixed_datetime(hour, minute)
        if not trading:
            s.config.base.trading_calendar = []
        return (lambda: getattr(s, method)(*args)), [s.config.base]
    return setup


def _switch_day(s):
    fill_caches()
    return s.on_switch_day, []


def _construct(s):
    cfg = config()
    return (lambda: tdt.TovikStrategy(cfg)), [cfg]


def _initialize(**overrides):
    def setup(s):
        s.config = config(**overrides)
        return (lambda: s.initialize(s.config)), [s.config.base]
    return setup


def _query(function, history, *args):
    def setup(s):
        maxlen = 60 if history == "history_tick" else None
        getattr(tdt, history)[CODE] = collections.deque([{"n": 1}, {"n": 2}, {"n": 3}], maxlen)
        return (lambda: getattr(tdt, function)(*args)), []
    return setup


def _calls(s):
    """The function type itself: binding, keywords, and every argument error."""
    rec = snapshot()

    def call():
        for bad in (lambda: tdt.TovikStrategy.on_query_asset(), lambda: tdt.history_ticks("x"),
                    lambda: tdt.get_current_tick("a", "b"), lambda: tdt.get_current_tick(code="a"),
                    lambda: tdt.history_bars("a", market_code="b")):
            try:
                bad()
            except TypeError:
                pass
        tdt.history_ticks(count=1, market_code="absent")
        s.on_snapshot(snapshot=rec)
        tdt.TovikStrategy.__dict__["on_snapshot"].__get__(s, tdt.TovikStrategy)(rec)
    return call, []


ENTRIES = [
    ("__init__", [_construct]),
    ("initialize", [_initialize(), _initialize(md_type="tomd", algo_account=None),
                    _initialize(accounts={}, algo_account="x_OTHER")]),
    ("on_initialize", [_method("on_initialize")]),
    ("on_switch_day", [_switch_day]),
    ("on_snapshot", [_snapshot]),
    ("on_tick_order", [_tick_order]),
    ("on_tick_trade", [_tick_trade(), _tick_trade(equal=True)]),
    ("on_bar", [_bar(1), _bar(2), _bar(0)]),
    ("on_login", [_login(0), _login(5)]),
    ("on_query_asset", [_query_asset(0), _query_asset(3)]),
    ("on_query_position", [_query_position(k) for k in ("ok", "tuple", "empty", "error")]),
    ("on_order", [_order(T.Sended), _order(T.Sended, counter_order_id=0), _order(T.PartiallyFilled),
                  _order(T.Filled), _order(T.Filled, last_match_qty=0),
                  _order(T.PartiallyFilledPartiallyCancelled), _order(T.WaitCancelled, last_match_qty=0),
                  _order(T.PartiallyFilledWaitCancelled), _order(T.Cancelled), _order(T.Reject),
                  _order(T.Sended, client_order_id="unknown"), _order(42)]),
    ("on_trade", [_trade]),
    ("on_order_action_error", [_action_error(True), _action_error(False)]),
    ("on_algo_login", [_algo_response("on_algo_login", lambda: R.AlgoLoginRes(
        client_seq_id=1, trader_id="T", error_code=0, error_msg=""))]),
    ("on_create_algo_parent_order_res", [_algo_response("on_create_algo_parent_order_res", lambda: R.CreateParentOrderRes(
        client_seq_id=1, sys_quote_id=9, error_code=2, error_msg="e"))]),
    ("on_cancel_algo_parent_order_res", [_algo_response("on_cancel_algo_parent_order_res", lambda: R.CancelParentOrderRes(
        sys_quote_id=9, error_code=0, error_msg=""))]),
    ("on_control_algo_parent_order_res", [
        _algo_response("on_control_algo_parent_order_res", lambda t=t: R.ControlParentOrderRes(
            sys_quote_id=9, control_type=t, error_code=0, error_msg="")) for t in (
            AlgoControlType.Pause, AlgoControlType.Resume, 0)]),
    ("on_algo_parent_order_update", [_algo_update("on_algo_parent_order_update", R.ParentOrderUpdate)]),
    ("on_algo_child_order_update", [_algo_update("on_algo_child_order_update", R.ChildOrderUpdate)]),
    ("on_algo_child_order_trade", [_algo_update("on_algo_child_order_trade", R.ChildOrderTrade)]),
    ("create_time_listener", [_clock("create_time_listener", h, m) for h, m in ((7, 0), (9, 25), (16, 0))]
     + [_clock("create_time_listener", trading=False)]),
    ("send_day_event", [_clock("send_day_event", args=(EVENT.BEFORE_TRADING, _dt.datetime(2024, 1, 2, 9)))]),
    ("send_before_trading_event", [_clock("send_before_trading_event")]),
    ("send_after_trading_event", [_clock("send_after_trading_event")]),
    ("send_open_auction_event", [_clock("send_open_auction_event")]),
    ("set_timer", [_clock("set_timer", 7), _clock("set_timer", 16, trading=False)]),
    ("get_current_tick", [_query("get_current_tick", "history_tick", CODE),
                          _query("get_current_tick", "history_tick", "absent")]),
    ("get_current_bar", [_query("get_current_bar", "history_bar", CODE)]),
    ("history_ticks", [_query("history_ticks", "history_tick", CODE, 2), _query("history_ticks", "history_tick",
                                                                                 CODE, 100)]),
    ("history_bars", [_query("history_bars", "history_bar", CODE, 1), _query("history_bars", "history_bar",
                                                                             "absent", "x")]),
    ("function type", [_calls]),
]


# Keyword shapes of every event the module posts.
SHAPES = {
    EVENT.TICK: [("calendar_dt", "trading_dt", "tick")],
    EVENT.L2_ORDER: [("calendar_dt", "trading_dt", "l2_order")],
    EVENT.L2_TRANSACTION: [("calendar_dt", "trading_dt", "l2_transaction")],
    EVENT.BAR: [("calendar_dt", "trading_dt")],
    EVENT.LOGIN: [("rid", "account_id", "code", "msg")],
    EVENT.QUERY_ACCOUNT: [("rid", "account_id", "code", "msg"), ("rid", "account_id", "asset"),
                          ("rid", "code", "msg")],
    EVENT.QUERY_POSITION: [("rid", "positions")],
    EVENT.ORDER_CREATION_PASS: [("account", "order")],
    EVENT.TRADE: [("account", "trade", "order")],
    EVENT.ORDER_CANCELLATION_PASS: [("account", "order")],
    EVENT.ORDER_PENDING_CANCEL: [("account", "order")],
    EVENT.ORDER_UNSOLICITED_UPDATE: [("account", "order")],
    EVENT.ORDER_CANCELLATION_REJECT: [("account", "order")],
    EVENT.BEFORE_TRADING: [("calendar_dt", "trading_dt")],
    EVENT.OPEN_AUCTION: [("calendar_dt", "trading_dt")],
    EVENT.AFTER_TRADING: [("calendar_dt", "trading_dt")],
    EVENT.ALGO_LOGIN: [("req_id", "algo_account", "code", "msg")],
    EVENT.PARENT_ORDER_CREATE: [("req_id", "parent_order_id", "code", "msg")],
    EVENT.PARENT_ORDER_CANCEL: [("parent_order_id", "code", "msg")],
    EVENT.PARENT_ORDER_PAUSE: [("parent_order_id", "code", "msg")],
    EVENT.PARENT_ORDER_RESUME: [("parent_order_id", "code", "msg")],
    EVENT.PARENT_ORDER_UPDATE: [("algo_parent_order",)],
    EVENT.CHILD_ORDER_UPDATE: [("algo_child_order",)],
    EVENT.CHILD_ORDER_TRADE: [("algo_child_trade",)],
}
TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
             "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
             "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]
BAR_KEYS = ["market_code", "orig_time", "open_price", "close_price", "high_price", "low_price", "total_turnover",
            "volume", "prev_close"]


# ---- state ---------------------------------------------------------------------------------------

class Module:
    """Puts the module and the host stand-ins in a clean state, and restores rebound globals."""

    def __init__(self):
        self.saved = dict(vars(tdt))

    def reset(self, queue=None):
        for name in list(vars(tdt)):
            if name not in self.saved:
                delattr(tdt, name)
        for name, value in self.saved.items():
            if vars(tdt).get(name) is not value:
                setattr(tdt, name, value)
        if queue is not None:
            tdt.event_queue = queue
        for name in CACHES:
            getattr(tdt, name).clear()
        tdt.tovik_params.clear()
        Environment.reset()
        logger.system_log.clear()
        logger.user_system_log.clear()

