"""Order reports mirrored onto host orders; refused order actions; the unused trade report."""

import copy

import pytest

from conftest import EmptiedAfterTest, Recorder, drain, tdt
from halvex.lumet.const import ORDER_STATUS as S, SIDE
from halvex.lumet.core.events import EVENT
from halvex.lumet.environment import Environment
from halvex.lumet.model.order import Order
from halvex.lumet.utils.logger import system_log
from pytovik.enums import OrderStatusType as T
from pytovik.records import OrderActionError, OrderReport

CODE = "000001.XSHE"


def host_order(status=S.ACTIVE, filled=0, cid=11):
    order = Order.__from_create__(cid, CODE, 500, SIDE.BUY, 2.0)
    order.status, order.filled_quantity = status, filled
    tdt.orders_dict[cid] = order
    return order


def report(status, **fields):
    base = dict(client_order_id=11, security_id="000001", order_status=status, order_qty=500,
                trade_qty=100, total_trade_value=210.0, last_match_price=2.1, counter_order_id=7,
                frozen_trade_value=1000.0, error_code=7, error_msg="abc")
    base.update(fields)
    return OrderReport(**base)


@pytest.mark.parametrize("status, before, match, filled, after, kinds", [
    (T.Sended, S.PENDING_NEW, 0, 0, S.ACTIVE, [EVENT.ORDER_CREATION_PASS]),
    (T.UnSend, S.PENDING_NEW, 0, 0, S.ACTIVE, [EVENT.ORDER_CREATION_PASS]),
    (T.Sended, S.ACTIVE, 0, 0, S.ACTIVE, []),
    # a late acknowledgement never moves a progressed order back to ACTIVE
    (T.Sended, S.PARTIALLY_FILLED, 0, 100, S.PARTIALLY_FILLED, []),
    (T.Sended, S.FILLED, 0, 500, S.FILLED, []),
    (T.Sended, S.CANCELLED, 0, 0, S.CANCELLED, []),
    (T.Sended, S.REJECTED, 0, 0, S.REJECTED, []),
    (T.Filled, S.ACTIVE, 100, 0, S.FILLED, [EVENT.TRADE]),
    (3, S.ACTIVE, 100, 0, S.FILLED, [EVENT.TRADE]),  # statuses compare by equality
    (T.PartiallyFilled, S.ACTIVE, 100, 0, S.PARTIALLY_FILLED, [EVENT.TRADE]),
    (T.Filled, S.PARTIALLY_FILLED, 0, 100, S.PARTIALLY_FILLED, []),
    (T.Cancelled, S.ACTIVE, 0, 0, S.CANCELLED, [EVENT.ORDER_CANCELLATION_PASS]),
    (T.PartiallyFilledPartiallyCancelled, S.ACTIVE, 100, 0, S.CANCELLED,
     [EVENT.TRADE, EVENT.ORDER_CANCELLATION_PASS]),
    (T.WaitCancelled, S.ACTIVE, 0, 0, S.ACTIVE, [EVENT.ORDER_PENDING_CANCEL]),
    (T.WaitCancelled, S.ACTIVE, 0, 100, S.PARTIALLY_FILLED, [EVENT.ORDER_PENDING_CANCEL]),
    (T.PartiallyFilledWaitCancelled, S.ACTIVE, 100, 0, S.PARTIALLY_FILLED,
     [EVENT.TRADE, EVENT.ORDER_PENDING_CANCEL]),
    (T.Reject, S.ACTIVE, 0, 0, S.REJECTED, [EVENT.ORDER_UNSOLICITED_UPDATE]),
    (99, S.ACTIVE, 100, 0, S.ACTIVE, []),
])
def test_status_table(strategy, status, before, match, filled, after, kinds):
    order = host_order(before, filled)
    strategy.on_order(report(status, last_match_qty=match))
    events = drain()
    assert order.status == after
    assert [ev.event_type for ev in events] == kinds
    account = Environment.get_instance().get_account(CODE)
    for ev in events:
        keys = ["account", "trade", "order"] if ev.event_type == EVENT.TRADE else ["account", "order"]
        assert list(ev.kwargs) == keys and ev.account is account and ev.order is not order
    if events:
        assert events[-1].order == order


def test_each_copy_is_taken_when_its_event_is_built(strategy):
    order = host_order(S.ACTIVE)
    strategy.on_order(report(T.PartiallyFilledPartiallyCancelled, last_match_qty=100))
    trade_ev, cancel_ev = drain()
    assert (trade_ev.order.status, trade_ev.order.filled_quantity) == (S.ACTIVE, 100)
    assert cancel_ev.order.status == S.CANCELLED
    order.avg_price = 9.9
    assert cancel_ev.order.avg_price == 2.1


def test_partial_fill_worked_example(strategy):
    calls = []

    class Trade(tdt.Trade):
        @classmethod
        def __from_create__(cls, *args, **kwargs):
            calls.append((args, list(kwargs)))
            return super().__from_create__(**kwargs)

    tdt.Trade = Trade
    order = host_order(S.ACTIVE)
    strategy.on_order(report(T.PartiallyFilled, trade_qty=300, total_trade_value=606.0,
                             last_match_qty=100, last_match_price=2.1))
    (ev,) = drain()
    assert (ev.order.avg_price, ev.order.filled_quantity, ev.order.unfilled_quantity) == (606.0 / 300, 300, 200)
    assert ev.order.avg_price == pytest.approx(2.02)
    assert calls == [((), ["order_id", "price", "amount", "side", "position_effect", "market_code",
                           "frozen_price"])]
    trade = ev.trade
    assert (trade.order_id, trade.price, trade.amount, trade.side, trade.position_effect,
            trade.market_code, trade.frozen_price) == (11, 2.1, 100, SIDE.BUY, order.position_effect, CODE, 2.0)


@pytest.mark.parametrize("cumulative", [0, 0.0])
def test_fill_without_cumulative_quantity_keeps_average(strategy, cumulative):
    order = host_order(S.ACTIVE)
    order.avg_price = 1.5
    strategy.on_order(report(T.PartiallyFilled, trade_qty=cumulative, last_match_qty=100))
    (ev,) = drain()
    assert ev.event_type == EVENT.TRADE and ev.trade.amount == 100
    assert (order.avg_price, order.filled_quantity, order.unfilled_quantity, order.status) == (
        1.5, cumulative, 500, S.PARTIALLY_FILLED)


@pytest.mark.parametrize("before, exchange_id, recorded", [
    (S.PENDING_NEW, 0, True), (S.PARTIALLY_FILLED, 42, True), (S.FILLED, 42, False),
    (S.CANCELLED, 42, False), (S.REJECTED, 42, False)])
def test_acknowledgement_without_status_move(strategy, before, exchange_id, recorded):
    order = host_order(before)
    untouched = copy.deepcopy(order)
    strategy.on_order(report(T.Sended, counter_order_id=exchange_id, frozen_trade_value=88.0))
    assert drain() == []
    assert (order.secondary_order_id, order.frozen_cash, order.status) == (
        (exchange_id, 88.0, before) if recorded else (None, 0., before))
    assert recorded or order == untouched


def test_reject_reason_and_frozen_cash(strategy):
    order = host_order(S.ACTIVE)
    strategy.on_order(report(T.Reject, frozen_trade_value=0.5))
    assert (order.message, order.frozen_cash) == ("7_abc", 0.5)


def test_log_line_and_unknown_order(strategy):
    host_order(S.ACTIVE)
    strategy.on_order(report(T.Filled, client_order_id=12, order_price=2.5, last_match_qty=100,
                             error_msg="none"))
    assert system_log.lines() == [
        f"on_order:12, symbol: 000001, price:2.5, status:{T.Filled}, order_qty:500, trade_qty:100, "
        f"total_trade_value: 210.0, error_msg:none, last_match_qty: 100"]
    assert drain() == [] and tdt.orders_dict[11].status == S.ACTIVE


def test_failure_midway_keeps_completed_steps(strategy):
    class Broken:
        def deepcopy(self, obj):
            raise RuntimeError("no copy")

    order = host_order(S.ACTIVE)
    tdt.copy = Broken()
    with pytest.raises(RuntimeError, match="no copy"):
        strategy.on_order(report(T.Filled, trade_qty=500, total_trade_value=1000.0, last_match_qty=500))
    assert (order.status, order.filled_quantity, order.avg_price) == (S.FILLED, 500, 2.0)
    assert drain() == []


def test_action_error_posts_cancellation_reject(strategy):
    order = host_order(S.PARTIALLY_FILLED, filled=100)
    untouched = copy.deepcopy(order)
    strategy.on_order_action_error(OrderActionError(client_order_id=12))
    assert drain() == []
    strategy.on_order_action_error(OrderActionError(client_order_id=11, error_code=3))
    (ev,) = drain()
    assert ev.event_type == EVENT.ORDER_CANCELLATION_REJECT and list(ev.kwargs) == ["account", "order"]
    assert ev.account is Environment.get_instance().get_account(CODE)
    assert ev.order == order == untouched and ev.order is not order
    assert system_log.lines() == []


def test_trade_report_is_ignored(strategy):
    order = host_order(S.ACTIVE)
    untouched = copy.deepcopy(order)
    record = Recorder()
    assert strategy.on_trade(record) is None
    assert record.reads == [] and drain() == [] and order == untouched
    assert dict(tdt.orders_dict) == {11: order} and system_log.lines() == []


class FetchFails(dict):
    def __getitem__(self, key):
        raise LookupError("not a missing key")


@pytest.mark.parametrize("callback, record, logged", [
    ("on_order", report(T.Filled, last_match_qty=100), 1),
    ("on_order_action_error", OrderActionError(client_order_id=11), 0),
])
def test_order_gone_between_test_and_fetch_is_dropped(strategy, callback, record, logged):
    order = host_order(S.ACTIVE)
    untouched = copy.deepcopy(order)
    tdt.orders_dict = EmptiedAfterTest(tdt.orders_dict)
    assert getattr(strategy, callback)(record) is None
    assert drain() == [] and order == untouched and len(system_log.lines()) == logged
    # only a missing key is a vanished order; any other failure of the fetch propagates
    tdt.orders_dict = FetchFails({11: order})
    with pytest.raises(LookupError, match="not a missing key"):
        getattr(strategy, callback)(record)
