"""Level-2 orders and trades: L2Order / L2Transaction built from SDK records, one event each."""

import sys

import pytest

from conftest import Recorder, drain
from halvex.lumet.const import ORDER_TYPE, SIDE
from halvex.lumet.core.events import EVENT
import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import TickOrder, TickTrade

ORDER = dict(order_time=1700000000500, security_id="000001", market_type=MarketType.SZSE, side=49,
             biz_index=11, order_price=10.5, order_volume=300, order_type=50, orig_order_no=77)
TRADE = dict(trade_time=1700000000500, security_id="600000", market_type=MarketType.SSE,
             bid_appl_seq_num=7, offer_appl_seq_num=5, biz_index=12, trade_price=9.5, trade_volume=200,
             value_trade=1900.0, trade_type=70)


def recorder(log, name, result):
    def record(*args, **kwargs):
        log.append((name, args, kwargs))
        return result
    return record


class Factory:
    """Stands in for L2Order / L2Transaction and keeps the factory's positional arguments."""
    calls = []

    @classmethod
    def __from_create__(cls, *args, **kwargs):
        assert not kwargs
        cls.calls.append(args)
        return ("made", args)


@pytest.mark.parametrize("bid, offer, side", [(7, 5, SIDE.BUY), (5, 7, SIDE.SELL), (6, 6, SIDE.SELL),
                                              (7.5, 7, SIDE.BUY)])
def test_trade_side_comes_from_the_sequence_numbers(strategy, bid, offer, side):
    strategy.on_tick_trade(TickTrade(**dict(TRADE, bid_appl_seq_num=bid, offer_appl_seq_num=offer)))
    (event,) = drain()
    t = event.l2_transaction
    assert (t.side, t.buy_no, t.sell_no) == (side, bid, offer)


def test_order_converters_receive_chr_of_the_codes_and_the_market_type(strategy):
    log = []
    tdt.get_side_from_tovik_l2_order = recorder(log, "side", "S")
    tdt.get_order_type_from_tovik_l2_order = recorder(log, "order_type", "OT")
    tdt.get_l2order_type_from_tovik = recorder(log, "l2_order_type", "L2")
    tdt.L2Order = Factory
    Factory.calls = []
    strategy.on_tick_order(TickOrder(**ORDER))
    mt = MarketType.SZSE
    assert log == [("side", ("1", mt), {}), ("order_type", ("2", mt), {}), ("l2_order_type", ("2", mt), {})]
    (args,) = Factory.calls
    (event,) = drain()
    assert args == (11, "000001.XSHE", event.calendar_dt, "S", 10.5, 300, "OT", 77, "L2")
    assert args[2] is event.calendar_dt is event.trading_dt
    assert event.event_type is EVENT.L2_ORDER
    assert list(event.kwargs) == ["calendar_dt", "trading_dt", "l2_order"]
    assert event.l2_order == ("made", args)


def test_trade_converter_receives_exactly_one_argument(strategy):
    log = []
    tdt.get_trade_type_from_tovik = recorder(log, "trade_type", "TT")
    tdt.L2Transaction = Factory
    Factory.calls = []
    strategy.on_tick_trade(TickTrade(**TRADE))
    assert log == [("trade_type", ("F",), {})]
    (args,) = Factory.calls
    (event,) = drain()
    assert args == (12, "600000.XSHG", event.calendar_dt, SIDE.BUY, 9.5, 200, 1900.0, "TT", 7, 5)
    assert args[2] is event.calendar_dt is event.trading_dt
    assert event.event_type is EVENT.L2_TRANSACTION
    assert list(event.kwargs) == ["calendar_dt", "trading_dt", "l2_transaction"]


@pytest.mark.parametrize("handler, fields, key, code, error, message", [
    ("on_tick_order", ORDER, "side", -1, ValueError, "chr() arg not in range(0x110000)"),
    ("on_tick_order", ORDER, "order_type", 0x110000, ValueError, "chr() arg not in range(0x110000)"),
    # chr itself raises OverflowError for this before 3.13, ValueError from 3.13 on.
    ("on_tick_order", ORDER, "order_type", 2 ** 70, OverflowError if sys.version_info < (3, 13) else ValueError,
     None),
    ("on_tick_trade", TRADE, "trade_type", -49, ValueError, "chr() arg not in range(0x110000)"),
    ("on_tick_trade", TRADE, "trade_type", "F", TypeError, None),
])
def test_a_code_chr_rejects_ends_the_callback_without_an_event(strategy, handler, fields, key, code,
                                                                error, message):
    record = (TickOrder if fields is ORDER else TickTrade)(**dict(fields, **{key: code}))
    with pytest.raises(error) as info:
        getattr(strategy, handler)(record)
    if message:
        assert str(info.value) == message
    assert drain() == []


def test_non_exact_int_codes_go_through_chr(strategy):
    class Code(int):
        pass
    strategy.on_tick_order(TickOrder(**dict(ORDER, side=Code(50), order_type=Code(49))))
    (event,) = drain()
    assert (event.l2_order.side, event.l2_order.order_type) == (SIDE.SELL, ORDER_TYPE.MARKET)


@pytest.mark.parametrize("handler, record", [("on_tick_order", TickOrder(**dict(ORDER, order_time=500))),
                                             ("on_tick_trade", TickTrade(**dict(TRADE, trade_time=500)))])
def test_record_time_is_seconds_with_the_fraction(strategy, handler, record):
    seen = []
    tdt.convert_int_to_datetime = recorder(seen, "dt", "DT")
    getattr(strategy, handler)(record)
    assert seen == [("dt", (0.5,), {})]
    assert drain()[0].calendar_dt == "DT"


@pytest.mark.parametrize("handler, fields, reads", [
    ("on_tick_order", ORDER, ["order_time", "security_id", "market_type", "side", "market_type", "biz_index",
                              "order_price", "order_volume", "order_type", "market_type", "orig_order_no",
                              "order_type", "market_type"]),
    ("on_tick_trade", TRADE, ["trade_time", "security_id", "market_type", "bid_appl_seq_num",
                              "offer_appl_seq_num", "biz_index", "trade_price", "trade_volume", "value_trade",
                              "trade_type", "bid_appl_seq_num", "offer_appl_seq_num"]),
])
def test_record_attributes_are_read_in_order(strategy, handler, fields, reads):
    record = Recorder(**fields)
    getattr(strategy, handler)(record)
    assert record.reads == reads
    assert len(drain()) == 1
