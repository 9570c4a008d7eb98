"""Evaluation order: a call's callee is looked up before its arguments are evaluated, as in Python.

Each case breaks a callee (a module global taken away, or a method that cannot be looked up) and,
where the call has one, an argument too (a record field that is missing, a host callable whose
calls are recorded). The native module and the plain-Python reference must then agree on the
exception, the record reads made before it, the host calls made, the events and the log lines.
"""

import datetime as dt_module
import types

import pytest

from conftest import Recorder, restore_globals
from halvex.lumet.const import ORDER_STATUS, POSITION_EFFECT, SIDE
from halvex.lumet.model.order import Order
from pytovik.enums import MarketType, OrderStatusType
from pytovik.records import Snapshot
from test_oracle import ConfigBase, Pair, on_clock, restore_reference  # noqa: F401 (an autouse fixture)

SNAPSHOT = dict(security_id="000001", market_type=MarketType.SZSE)   # no orig_time
TICK = dict(security_id="000001", market_type=MarketType.SZSE, side=49, order_type=50)
REPORT = dict(client_order_id=1, security_id="000001", order_price=10.5, order_qty=100, trade_qty=0,
              total_trade_value=0.0, error_msg="", last_match_qty=0, counter_order_id=7)
POSITION = dict(security_id="000001", market_id=MarketType.SZSE, init_qty=100)   # no state fields


class Unformattable:
    def __format__(self, spec):
        raise ValueError("no text form")


def unreadable(self):
    raise AttributeError("not readable")


# ---- breakers: each changes one side before its call; the globals are put back after it

def drop(*names):
    """Module globals taken away."""
    def apply(side):
        for name in names:
            delattr(side.mod, name)
    return apply


def no_attributes(name):
    """A module global replaced by an object without any of the attributes the module wants."""
    return lambda side: setattr(side.mod, name, types.SimpleNamespace())


def counted(*names):
    """Module globals (host callables) whose calls are recorded as host calls."""
    def apply(side):
        for name in names:
            function = getattr(side.mod, name)
            setattr(side.mod, name, lambda *a, _f=function, _n=name, **k: side.host_calls.append(_n) or _f(*a, **k))
    return apply


def sealed(where, *names):
    """The object at `where(side)` can no longer look up the methods `names`."""
    def apply(side):
        obj = where(side)
        base = type(obj)

        def __getattribute__(self, name):
            if name in names:
                raise AttributeError(f"{name} is sealed")
            return base.__getattribute__(self, name)
        obj.__class__ = type(base.__name__, (base,), {"__getattribute__": __getattribute__})
        side.sealed.append((obj, base))
    return apply


def with_order(status=ORDER_STATUS.PENDING_NEW):
    """The host order of client order id 1."""
    def apply(side):
        order = Order.__from_create__(1, "000001.XSHE", 100, SIDE.BUY, 10.5, POSITION_EFFECT.OPEN)
        order.status = status
        side.mod.orders_dict[1] = order
    return apply


def clock_before_nine(side):
    """Today is a trading day and it is 08:00, so the day's first timer is armed by `combine`."""
    side.strategy.config.base.trading_calendar = on_clock(dt_module.datetime(2024, 5, 6, 8, 0), True)
    fixed = side.mod.datetime

    class Datetime(fixed):
        @classmethod
        def combine(cls, *args):
            side.host_calls.append("datetime.combine")
            return fixed.combine(*args)
    side.mod.datetime = Datetime


def not_trading_today(side):
    on_clock(dt_module.datetime(2024, 5, 6, 8, 0), True)
    side.strategy.config.base.trading_calendar = type("Calendar", (Unformattable,), {
        "__contains__": lambda self, day: False})()


context = lambda side: side.strategy.context   # noqa: E731
orders = lambda side: side.mod.orders_dict[1]  # noqa: E731
strategy = lambda side: side.strategy          # noqa: E731

# (handler, its arguments after self: dicts are Recorder records, a list holds records; breakers)
CASES = {
    # the record time: convert_int_to_datetime(record.<time> / 1000)
    "snapshot time": ("on_snapshot", [SNAPSHOT], [drop("convert_int_to_datetime")]),
    "tick order time": ("on_tick_order", [TICK], [drop("convert_int_to_datetime")]),
    "tick trade time": ("on_tick_trade", [dict(security_id="000001")], [drop("convert_int_to_datetime")]),
    "bar time": ("on_bar", [SNAPSHOT], [drop("convert_int_to_datetime")]),
    # system_log.info(f"..."): the logger before any value is read or formatted
    "login log": ("on_login", [{}], [no_attributes("system_log")]),
    "asset log": ("on_query_asset", [{}, 7, Unformattable(), "ok"], [drop("system_log")]),
    "positions log": ("on_query_position", [[], 7, Unformattable(), "ok"], [no_attributes("system_log")]),
    "order log": ("on_order", [{}], [drop("system_log")]),
    "calendar log": ("create_time_listener", [], [not_trading_today, no_attributes("system_log")]),
    # the positions answer: Position after the market code, set_state before the state's fields
    "Position": ("on_query_position", [[dict(market_id=1)], 7, 0, "ok"], [drop("Position")]),
    "set_state": ("on_query_position", [[POSITION], 7, 0, "ok"],
                  [lambda side: setattr(side.mod, "Position", type("Position", (), {"__init__": lambda *a: None}))]),
    # event_queue.append(Event(...)): append before Event, and before what the payload builds
    "snapshot post": ("on_snapshot", [dict(Snapshot._fields, **SNAPSHOT)],
                      [no_attributes("event_queue"), counted("Event", "TickObject")]),
    "login post": ("on_login", [dict(fund_account_id="f", error_code=1)],
                   [no_attributes("event_queue"), counted("Event")]),
    "day event post": ("send_day_event", ["day", 5], [no_attributes("event_queue"), counted("Event")]),
    # factories and host methods: found before their arguments are read
    "L2Order factory": ("on_tick_order", [dict(TICK, order_time=1)],
                        [no_attributes("L2Order")]),
    "L2Transaction factory": ("on_tick_trade", [dict(trade_time=1, security_id="1", market_type=1,
                                                     bid_appl_seq_num=2, offer_appl_seq_num=1)],
                              [no_attributes("L2Transaction")]),
    "set_frozen_cash": ("on_order", [dict(REPORT, order_status=OrderStatusType.Sended)],
                        [with_order(), sealed(orders, "set_frozen_cash")]),
    "mark_rejected": ("on_order", [dict(REPORT, order_status=OrderStatusType.Reject)],
                      [with_order(), sealed(orders, "mark_rejected")]),
    "get_account": ("on_order", [dict(REPORT, order_status=OrderStatusType.Sended)],
                    [with_order(), sealed(orders, "market_code"), no_attributes("Environment")]),
    "algo cache get": ("on_algo_parent_order_update", [dict(sys_quote_id=1)],
                       [lambda side: setattr(side.mod, "algo_parent_orders",
                                             type("Cache", (dict,), {"get": property(unreadable)})({1: None}))]),
    "add_md_broker": ("initialize", [None], [sealed(context, "add_md_broker"), drop("MDType")]),
    "add_td_broker": ("initialize", [None], [sealed(context, "add_td_broker")]),
    "add_algo_broker": ("initialize", [None], [sealed(context, "add_algo_broker"), drop("AlgoType")]),
    "subscribe": ("initialize", [None], [sealed(context, "subscribe"), drop("MarketType")]),
    "add_timer_interval": ("create_time_listener", [], [clock_before_nine, sealed(context, "add_timer_interval")]),
    "send_day_event": ("send_before_trading_event", [], [sealed(strategy, "send_day_event"), drop("EVENT")]),
}


def build(arg):
    if isinstance(arg, dict):
        return Recorder(**arg)
    if isinstance(arg, list):
        return [build(a) for a in arg]
    return arg


def run(method, args, breakers):
    def action(side):
        side.sealed = []
        saved = dict(vars(side.mod))
        built = [build(a) for a in args]
        records = [r for a in built for r in (a if isinstance(a, list) else [a]) if isinstance(r, Recorder)]
        try:
            for breaker in breakers:
                breaker(side)
            return getattr(side.strategy, method)(*built), records
        except Exception as exc:
            exc._records = records
            raise
        finally:
            restore_globals(side.mod, saved)
            for obj, cls in side.sealed:
                obj.__class__ = cls
    action.__doc__ = f"{method}{args!r}"
    return action


@pytest.mark.parametrize("case", CASES)
def test_callee_is_looked_up_before_its_arguments(case):
    method, args, breakers = CASES[case]
    config = types.SimpleNamespace(base=ConfigBase(
        trading_calendar=[], accounts={"stock": "a_oes"}, algo_account="z_ATX"))
    outcome = Pair().bare_strategies(config=config).step(run(method, args, breakers))
    # the call fails, or (a position record) is skipped with a warning
    assert outcome["error"] is not None or ("warning", outcome["logs"][-1][1]) == outcome["logs"][-1]
