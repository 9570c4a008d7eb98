"""TovikStrategy construction and initialize: attributes, broker registration, subscription."""

import datetime
import types

import pytest

from conftest import tdt
from halvex.lumet.utils import logger
from pytovik.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType
from pytovik.strategy import TovikStrategy as Base

NS = types.SimpleNamespace


def make(**base):
    base.setdefault("accounts", {})
    base.setdefault("trading_calendar", [])  # not a trading day: the clock only re-arms itself
    return tdt.TovikStrategy(NS(base=NS(**base)))


def registrations(s):
    return [call for call in s.context.calls if call[0] != "add_timer_interval"]


class RaisingBase:
    accounts = {}
    trading_calendar = []

    @property
    def md_type(self):
        raise RuntimeError("unreadable")


def test_construction_sets_attributes_in_order_through_cooperative_super():
    class Mixin(Base):
        def __init__(self):
            self.mixin_ran = True
            super().__init__()

    class Sub(tdt.TovikStrategy, Mixin):
        pass

    class Clock(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2024, 3, 4, 23, 59, 59)

    tdt.datetime = Clock
    config = NS(base=NS())
    s = Sub(config)
    assert s.mixin_ran  # super(TovikStrategy, self) reaches the next class in the MRO
    assert list(vars(s)) == ["mixin_ran", "context", "logged_in", "order_num", "bar_cnt", "current_trade_dt",
                             "first_dt", "config"]
    assert (s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt) == (False, 0, 0, 0)
    assert type(s.first_dt) is datetime.date and s.first_dt == datetime.date(2024, 3, 4)
    assert s.config is config and s.context.calls == []


def test_initialize_registers_in_order_and_publishes_params():
    s = make(md_type="ToMD", order_way="way", accounts={"STOCK": "a1_oes", "FUTURE": "a2_xtp"},
             algo_account="t_atx")
    assert s.initialize("ignored") is None
    assert registrations(s) == [
        ("add_md_broker", (MDType.ToMD,)), ("set_order_way", ("way",)),
        ("add_td_broker", (TDType.OES,)), ("add_td_broker", (TDType.XTP,)),
        ("add_algo_broker", (AlgoType.ATX,)),
        ("subscribe", (MDType.ToMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")),
    ]
    assert s.context.calls[-1] == ("add_timer_interval", (s.context.calls[-1][1][0], s.set_timer))
    assert tdt.tovik_params == {"tovik_md": MDType.ToMD, "tovik_td": TDType.XTP, "tovik_context": s.context}
    assert logger.system_log.lines()[0] == "TovikStrategy initialize..."


@pytest.mark.parametrize("base, md", [
    ({"md_type": "ToMD"}, MDType.ToMD),
    ({"md_type": "tomd"}, MDType.AMD),
    ({}, MDType.AMD),
])
def test_md_type_selects_broker_and_subscription(base, md):
    s = make(**base)
    s.initialize(None)
    calls = registrations(s)
    assert calls[0] == ("add_md_broker", (md,)) and calls[-1][1][0] is md
    assert tdt.tovik_params["tovik_md"] is md


def test_md_type_that_cannot_be_read_counts_as_absent():
    s = tdt.TovikStrategy(NS(base=RaisingBase()))
    s.initialize(None)
    assert registrations(s)[0] == ("add_md_broker", (MDType.AMD,))


@pytest.mark.parametrize("base, expected", [
    ({"order_way": None}, [("set_order_way", (None,))]),
    ({}, []),
    ({"algo_account": "x_atx"}, [("add_algo_broker", (AlgoType.ATX,))]),
    ({"algo_account": "x_ATXY"}, []),
    ({"algo_account": None}, []),
])
def test_optional_settings(base, expected):
    s = make(**base)
    s.initialize(None)
    assert registrations(s)[1:-1] == expected


def test_empty_accounts_keep_previous_td_and_still_subscribe_and_arm():
    tdt.tovik_params["tovik_td"] = "earlier"
    s = make()
    s.initialize(None)
    assert [name for name, _ in s.context.calls] == ["add_md_broker", "subscribe", "add_timer_interval"]
    assert tdt.tovik_params["tovik_td"] == "earlier"


def test_each_initialize_subscribes_with_a_new_list():
    s = make()
    s.initialize(None)
    s.initialize(None)
    first, second = [args[3] for name, args in s.context.calls if name == "subscribe"]
    assert first == [] and second == [] and first is not second


class NoParts(str):
    def split(self, sep=None, maxsplit=-1):
        return []


@pytest.mark.parametrize("base, error, message", [
    ({"accounts": {"a": "x_oes", "b": "nodest"}}, ValueError, "need more than 1 value to unpack"),
    ({"accounts": {"a": "x_oes", "b": "x_oes_2"}}, ValueError, "too many values to unpack (expected 2)"),
    ({"accounts": {"a": "x_oes", "b": NoParts("x_oes")}}, ValueError, "need more than 0 values to unpack"),
    ({"accounts": {"a": "x_oes", "b": "x_nowhere"}}, ValueError, "unknown trading destination: 'NOWHERE'"),
    ({"accounts": None}, AttributeError, "'NoneType' object has no attribute 'items'"),
    ({"accounts": {"a": "x_oes"}, "algo_account": "atx"}, ValueError, "need more than 1 value to unpack"),
    ({"accounts": {"a": "x_oes"}, "algo_account": "a_b_atx"}, ValueError,
     "too many values to unpack (expected 2)"),
])
def test_bad_configuration_stops_at_the_failing_step(base, error, message):
    tdt.tovik_params.clear()
    s = make(**base)
    with pytest.raises(error) as info:
        s.initialize(None)
    assert str(info.value) == message
    calls = s.context.calls
    assert calls[0] == ("add_md_broker", (MDType.AMD,))
    if base["accounts"]:
        assert ("add_td_broker", (TDType.OES,)) in calls
    assert not [name for name, _ in calls if name in ("subscribe", "add_timer_interval")]
    assert "tovik_context" not in tdt.tovik_params
