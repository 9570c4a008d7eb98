"""Trading login, funds answer and positions answer."""

import builtins

import pytest

from conftest import drain, tdt
from halvex.lumet.core.events import EVENT
from halvex.lumet.const import POSITION_DIRECTION
from halvex.lumet.utils import logger
from halvex.lumet.utils.logger import Logger
from pytovik.enums import MarketType
from pytovik.records import AssetRes, LoginRes, PositionRecord


def payload(event):
    return list(event.kwargs.items())


@pytest.mark.parametrize("code, queries", [
    (0, [("query_asset", ("F1",)), ("query_position", ("F1",))]),
    (7, []),
])
def test_login(strategy, code, queries):
    strategy.logged_in = False
    strategy.on_login(LoginRes(fund_account_id="F1", error_code=code, client_seq_id=3, error_msg="m"))
    [event] = drain()
    assert event.event_type is EVENT.LOGIN
    assert payload(event) == [("rid", 3), ("account_id", "F1"), ("code", code), ("msg", "m")]
    assert strategy.logged_in is (code == 0)
    assert strategy.context.calls == queries
    assert logger.system_log.lines() == ["on_login fund_account_id:F1, error_code:%d" % code]


def test_funds_answer_builds_asset_from_seven_attributes(strategy):
    res = AssetRes(fund_account_id="F1", leaves_value=1, available_t1=2, frozen_all=3, market_value=4,
                   total_asset=5, init_leaves_value=6)
    strategy.on_query_asset(res, 9, 0, "ok")
    [event] = drain()
    assert event.event_type is EVENT.QUERY_ACCOUNT
    assert [key for key, _ in payload(event)] == ["rid", "account_id", "asset"]
    asset = event.asset
    assert (event.rid, event.account_id) == (9, "F1")
    assert (asset.fund_account_id, asset.available_t1, asset.frozen_all, asset.market_value, asset.total_asset,
            asset.leaves_value, asset.init_leaves_value) == ("F1", 2, 3, 4, 5, 1, 6)
    assert logger.system_log.lines() == ["on_query_asset, F1, leaves_value:1 code 0  ms ok"]


def test_failed_funds_answer_forwards_code(strategy):
    strategy.on_query_asset(AssetRes(fund_account_id="F1"), 9, -1, "no")
    [event] = drain()
    assert event.event_type is EVENT.QUERY_ACCOUNT
    assert payload(event) == [("rid", 9), ("account_id", "F1"), ("code", -1), ("msg", "no")]


def test_failed_positions_answer_is_an_account_query_event(strategy):
    strategy.on_query_position([PositionRecord()], 4, 2, "bad")
    [event] = drain()
    assert event.event_type is EVENT.QUERY_ACCOUNT
    assert payload(event) == [("rid", 4), ("code", 2), ("msg", "bad")]
    assert logger.system_log.lines() == ["on_query_position: code:2, msg:bad"]


class RecordList(list):
    pass


@pytest.mark.parametrize("records", [[], (PositionRecord(market_id=MarketType.SZSE),),
                                     RecordList([PositionRecord(market_id=MarketType.SZSE)]), None])
def test_positions_answer_that_is_not_a_filled_list_posts_nothing(strategy, records):
    strategy.on_query_position(records, 4, 0, "")
    assert drain() == []


def test_positions_skip_a_record_that_fails_to_convert(strategy):
    records = [
        PositionRecord(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=90,
                       available_qty=80, cost_price=1.5, last_price=1.6, market_value=144.0, profit_loss=9.0),
        PositionRecord(security_id="000002", market_id=99),
        PositionRecord(security_id="600000", market_id=MarketType.SSE, init_qty=5),
    ]
    strategy.on_query_position(records, 4, 0, "")
    [event] = drain()
    assert event.event_type is EVENT.QUERY_POSITION
    assert [key for key, _ in payload(event)] == ["rid", "positions"]
    first, third = event.positions
    assert (first.market_code, first.direction, first.init_qty) == ("000001.XSHE", POSITION_DIRECTION.LONG, 100)
    assert (first.quantity, first.available_qty, first.avg_price, first.last_price, first.market_value,
            first.daily_pnl) == (90, 80, 1.5, 1.6, 144.0, 9.0)
    assert third.market_code == "600000.XSHG"
    assert logger.user_system_log.lines() == [
        "on_query_position position do not add: 000002  exception: unknown market type: 99"]


class Spoiled:
    """A position record answering from its fields: a missing one is an AttributeError, an
    exception is raised."""

    def __init__(self, **fields):
        self.__dict__["fields"] = fields

    def __getattr__(self, name):
        if name not in self.fields:
            raise AttributeError(name)
        if isinstance(self.fields[name], BaseException):
            raise self.fields[name]
        return self.fields[name]


class Unprintable:
    def __init__(self, exc=ValueError):
        self.exc = exc

    def __format__(self, spec):
        raise self.exc("no text")


class Unspeakable(Exception):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("bad, warning", [
    (Spoiled(market_id=MarketType.SZSE), "<unknown>  exception: security_id"),
    (Spoiled(security_id=Unprintable(), market_id=MarketType.SZSE),
     "<unknown>  exception: unsupported operand type(s) for +: 'Unprintable' and 'str'"),
    (Spoiled(security_id="000002", market_id=MarketType.SZSE, init_qty=Unspeakable()), "000002  exception: <unknown>"),
], ids=["no id", "id without text", "error without text"])
def test_a_record_that_cannot_name_itself_is_still_skipped(strategy, bad, warning):
    good = [PositionRecord(security_id=code, market_id=MarketType.SZSE) for code in ("000001", "000003")]
    strategy.on_query_position([good[0], bad, good[1]], 4, 0, "")
    [event] = drain()
    assert [p.market_code for p in event.positions] == ["000001.XSHE", "000003.XSHE"]
    assert logger.user_system_log.lines() == ["on_query_position position do not add: " + warning]


def test_interrupt_while_warning_propagates(strategy):
    bad = Spoiled(security_id=Unprintable(KeyboardInterrupt), market_id=MarketType.SZSE)
    with pytest.raises(KeyboardInterrupt):
        strategy.on_query_position([bad, PositionRecord(security_id="000001", market_id=MarketType.SZSE)], 1, 0, "")
    assert drain() == [] and logger.user_system_log.lines() == []


def test_position_built_from_converted_market_code_and_ordered_state(strategy):
    made = []

    class Position:
        def __init__(self, *args):
            self.args = args
            made.append(self)

        def set_state(self, state):
            self.state = list(state.items())

    tdt.Position = Position
    tdt.get_exchane_from_tovik_mdtype = lambda market_id: "AB"
    strategy.on_query_position([PositionRecord(security_id="123", init_qty=1, leaves_qty=2, available_qty=3,
                                               cost_price=4, last_price=5, market_value=6, profit_loss=7)], 1, 0, "")
    [event] = drain()
    assert event.positions == made
    assert made[0].args == ("123.AB", POSITION_DIRECTION.LONG, 1)
    assert made[0].state == [("quantity", 2), ("available_qty", 3), ("avg_price", 4), ("last_price", 5),
                             ("market_value", 6), ("daily_pnl", 7)]


def test_interrupt_while_converting_a_position_propagates(strategy):
    def interrupt(market_id):
        raise KeyboardInterrupt

    tdt.get_exchane_from_tovik_mdtype = interrupt
    with pytest.raises(KeyboardInterrupt):
        strategy.on_query_position([PositionRecord()], 1, 0, "")
    assert drain() == [] and logger.user_system_log.lines() == []


def test_user_logger_is_found_when_a_warning_is_written(strategy, monkeypatch):
    homes = {"global": Logger("global"), "builtin": Logger("builtin"), "host": Logger("host")}
    tdt.user_system_log = homes["global"]
    monkeypatch.setattr(builtins, "user_system_log", homes["builtin"], raising=False)
    monkeypatch.setattr(logger, "user_system_log", homes["host"])
    bad = [PositionRecord(security_id="000002", market_id=99)]
    for where, owner in (("global", tdt), ("builtin", builtins), ("host", logger)):
        strategy.on_query_position(bad, 4, 0, "")
        assert [name for name, log in homes.items() if log.lines()] == [where]
        homes[where].clear()
        monkeypatch.delattr(owner, "user_system_log")
    with pytest.raises(NameError, match="^name 'user_system_log' is not defined$"):
        strategy.on_query_position(bad, 4, 0, "")
    assert [event.positions for event in drain()] == [[], [], []]
