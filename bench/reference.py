"""The bridge between the pytovik SDK and the halvex.lumet host, in plain Python.

The same behaviour as the native module `halvex.lumet.utils.trade_data_thread`, written the way
a Python team would write it. It is the peer the native module is tested against
(tests/test_oracle.py) and measured against (bench/bench.py), and it can be loaded beside the
native module under any other name: it has its own `event_queue` and caches.
"""

from halvex.lumet.environment import Environment
from halvex.lumet.core.events import EVENT, Event
from halvex.lumet.model.tick import TickObject
from halvex.lumet.model.trade import Trade
from halvex.lumet.model.l2_order import L2Order
from halvex.lumet.model.l2_transaction import L2Transaction
from halvex.lumet.utils.datetime_func import convert_int_to_whole_date, convert_int_to_datetime
from halvex.lumet.utils.trade_func import (get_exchane_from_tovik_mdtype, get_tovik_tdtype,
                                          get_side_from_tovik_l2_order,
                                          get_order_type_from_tovik_l2_order,
                                          get_trade_type_from_tovik, get_l2order_type_from_tovik)
from halvex.lumet.utils.logger import system_log
from halvex.lumet.model.algo_parent_order import AlgoParentOrder
from halvex.lumet.model.algo_child_order import AlgoChildOrder
from halvex.lumet.model.algo_child_trade import AlgoChildTrade
from halvex.lumet.const import ORDER_STATUS, POSITION_DIRECTION, SIDE
from halvex.lumet.portfolio.account import Asset
from halvex.lumet.portfolio.position import Position
from numpy_ringbuffer import RingBuffer as RB
import numpy as np
from collections import deque
import copy
from datetime import datetime, time, timedelta
import pytovik.strategy as strategy
from pytovik.enums import *  # noqa: F401,F403

import operator

tovik_params = {}
# A fixed-capacity FIFO of any object; when full, appending drops the oldest event.
event_queue = RB(capacity=1000000, dtype=object)
history_bar = {}
history_tick = {}
orders_dict = {}
algo_parent_orders = {}
algo_child_orders = {}
algo_child_trades = {}


def _user_system_log():
    """The host's user logger, found when a warning is written: a global or a builtin of that name,
    else the one the host's logger module keeps then."""
    try:
        return user_system_log  # noqa: F821 - the host's to provide
    except NameError:
        pass
    try:
        from halvex.lumet.utils.logger import user_system_log as found
    except ImportError:
        raise NameError("name 'user_system_log' is not defined") from None
    return found


# ---- queries: each takes one consistent view, so a code whose buffer goes meanwhile reads as absent

def get_current_bar(market_code):
    bars = history_bar.get(market_code)
    return None if bars is None else bars[-1]


def get_current_tick(market_code):
    ticks = history_tick.get(market_code)
    return None if ticks is None else ticks[-1]


def history_ticks(market_code, count):
    ticks = history_tick.get(market_code)
    return None if ticks is None else _newest(ticks, count)


def history_bars(market_code, count):
    bars = history_bar.get(market_code)
    return None if bars is None else _newest(bars, count)


def _newest(buffer, count):
    """The newest `count` records of a buffer, oldest first, as a new list."""
    count = operator.index(count)
    if count < 0:
        raise ValueError(f"count must be a non-negative integer, not {count}")
    records = list(buffer)
    return records if count >= len(records) else records[len(records) - count:]


# ---- helpers

def _readable(obj, name):
    """True when the attribute can be read; any failure to read it counts as absent."""
    try:
        getattr(obj, name)
    except BaseException:
        return False
    return True


def _split_account(value):
    """An account string is "<account>_<destination>" with exactly one "_"."""
    parts = value.split("_")
    if len(parts) < 2:
        raise ValueError("need more than 1 value to unpack")
    if len(parts) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    account, destination = parts
    return account, destination


def _delay_ns(time_diff):
    return int(time_diff.total_seconds() * 1000000000)


class TovikStrategy(strategy.TovikStrategy):

    def __init__(self, config):
        super().__init__()
        self.logged_in = False
        self.order_num = 0
        self.bar_cnt = 0
        self.current_trade_dt = 0
        self.first_dt = datetime.now().date()
        self.config = config

    def initialize(self, config):
        system_log.info("TovikStrategy initialize...")
        if _readable(self.config.base, "md_type") and self.config.base.md_type == "ToMD":
            self.context.add_md_broker(MDType.ToMD)
            tovik_params["tovik_md"] = MDType.ToMD
        else:
            self.context.add_md_broker(MDType.AMD)
            tovik_params["tovik_md"] = MDType.AMD
        if _readable(self.config.base, "order_way"):
            self.context.set_order_way(self.config.base.order_way)
        for _, account in self.config.base.accounts.items():
            _, destination = _split_account(account)
            self.context.add_td_broker(get_tovik_tdtype(destination.upper()))
            tovik_params["tovik_td"] = get_tovik_tdtype(destination.upper())
        if _readable(self.config.base, "algo_account") and self.config.base.algo_account is not None:
            _, destination = _split_account(self.config.base.algo_account)
            if destination.upper() == "ATX":
                self.context.add_algo_broker(AlgoType.ATX)
        tovik_params["tovik_context"] = self.context
        self.context.subscribe(tovik_params["tovik_md"], MarketType.SZSE, SubscribeDataType.Bar, [], "1m")
        self.set_timer()

    def on_initialize(self):
        pass

    def on_switch_day(self):
        orders_dict.clear()
        history_bar.clear()
        history_tick.clear()
        algo_parent_orders.clear()
        algo_child_orders.clear()
        algo_child_trades.clear()

    # ---- market data

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_tovik_mdtype(snapshot.market_type)
        tick_dict = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick_dict)
        event_queue.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt,
                                 tick=TickObject(Environment.get_instance().data_proxy.instruments(market_code),
                                                 tick_dict)))

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_tovik_mdtype(tick_order.market_type)
        side = get_side_from_tovik_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_tovik_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_tovik(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_tovik_mdtype(tick_trade.market_type)
        side = SIDE.BUY if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num else SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_tovik(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                 l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_tovik_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        # Count the run of consecutive bars sharing one end time; the first bar ever starts one.
        if self.current_trade_dt == 0:
            self.bar_cnt += 1
        elif self.current_trade_dt == bar.end_time / 1000:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = bar.end_time / 1000
        # A run as long as the universe completes the period.
        if len(Environment.get_instance().get_universe()) == self.bar_cnt:
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0

    # ---- login and account synchronisation

    def on_login(self, login_res):
        system_log.info(f"on_login fund_account_id:{login_res.fund_account_id}, error_code:{login_res.error_code}")
        event_queue.append(Event(EVENT.LOGIN, rid=login_res.client_seq_id, account_id=login_res.fund_account_id,
                                 code=login_res.error_code, msg=login_res.error_msg))
        if login_res.error_code != 0:
            return
        self.logged_in = True
        self.context.query_asset(login_res.fund_account_id)
        self.context.query_position(login_res.fund_account_id)

    def on_query_asset(self, asset_res, request_id, code, msg):
        system_log.info(f"on_query_asset, {asset_res.fund_account_id}, leaves_value:{asset_res.leaves_value}"
                        f" code {code}  ms {msg}")
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=asset_res.fund_account_id,
                                     code=code, msg=msg))
        else:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=asset_res.fund_account_id,
                                     asset=Asset(asset_res.fund_account_id, asset_res.available_t1,
                                                 asset_res.frozen_all, asset_res.market_value,
                                                 asset_res.total_asset, asset_res.leaves_value,
                                                 asset_res.init_leaves_value)))

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info(f"on_query_position: code:{code}, msg:{msg}")
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, code=code, msg=msg))
            return
        if type(query_position_res) is not list or not query_position_res:
            return
        positions = []
        for record in query_position_res:
            try:
                market_code = record.security_id + "." + get_exchane_from_tovik_mdtype(record.market_id)
                position = Position(market_code, POSITION_DIRECTION.LONG, record.init_qty)
                position.set_state({
                    "quantity": record.leaves_qty,
                    "available_qty": record.available_qty,
                    "avg_price": record.cost_price,
                    "last_price": record.last_price,
                    "market_value": record.market_value,
                    "daily_pnl": record.profit_loss,
                })
            except Exception as e:
                # a record bad enough not to convert may not even say what it is
                try:
                    security_id = f"{record.security_id}"
                except Exception:
                    security_id = "<unknown>"
                try:
                    reason = str(e)
                except Exception:
                    reason = "<unknown>"
                _user_system_log().warning(f"on_query_position position do not add: {security_id}"
                                           f"  exception: {reason}")
                continue
            positions.append(position)
        event_queue.append(Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))

    # ---- orders

    def on_order(self, order):
        system_log.info(f"on_order:{order.client_order_id}, symbol: {order.security_id}, price:{order.order_price}"
                        f", status:{order.order_status}, order_qty:{order.order_qty}, trade_qty:{order.trade_qty}"
                        f", total_trade_value: {order.total_trade_value}, error_msg:{order.error_msg}"
                        f", last_match_qty: {order.last_match_qty}")
        if order.client_order_id not in orders_dict:
            return
        client_order_id = order.client_order_id
        try:
            hx_order = orders_dict[client_order_id]
        except KeyError:  # emptied since the test, by the after-trading timer or the day switch
            return
        account = Environment.get_instance().get_account(hx_order.market_code)
        status = order.order_status
        if status == OrderStatusType.UnSend or status == OrderStatusType.Sended:
            # A late acceptance never reopens a finished order, nor takes a partly filled one back to ACTIVE.
            if (hx_order.status == ORDER_STATUS.FILLED or hx_order.status == ORDER_STATUS.CANCELLED
                    or hx_order.status == ORDER_STATUS.REJECTED):
                return
            hx_order.secondary_order_id = order.counter_order_id
            hx_order.set_frozen_cash(order.frozen_trade_value)
            if (order.counter_order_id and order.counter_order_id > 0 and hx_order.status != ORDER_STATUS.ACTIVE
                    and hx_order.status != ORDER_STATUS.PARTIALLY_FILLED):
                hx_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account, order=copy.deepcopy(hx_order)))
        elif (status == OrderStatusType.PartiallyFilled or status == OrderStatusType.Filled
              or status == OrderStatusType.PartiallyFilledPartiallyCancelled
              or status == OrderStatusType.WaitCancelled or status == OrderStatusType.PartiallyFilledWaitCancelled
              or status == OrderStatusType.Cancelled):
            if order.last_match_qty > 0:
                trade = Trade.__from_create__(order_id=hx_order.order_id, price=order.last_match_price,
                                              amount=order.last_match_qty, side=hx_order.side,
                                              position_effect=hx_order.position_effect,
                                              market_code=hx_order.market_code, frozen_price=hx_order.price)
                # Nothing filled in total gives no average: the order keeps the one it has.
                if order.trade_qty != 0:
                    hx_order.avg_price = order.total_trade_value / order.trade_qty
                hx_order.filled_quantity = order.trade_qty
                hx_order.unfilled_quantity = order.order_qty - order.trade_qty
                if status == OrderStatusType.Filled:
                    hx_order.status = ORDER_STATUS.FILLED
                elif status == OrderStatusType.PartiallyFilled:
                    hx_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.TRADE, account=account, trade=trade, order=copy.deepcopy(hx_order)))
            if status == OrderStatusType.PartiallyFilledPartiallyCancelled or status == OrderStatusType.Cancelled:
                hx_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(hx_order)))
            elif status == OrderStatusType.PartiallyFilledWaitCancelled or status == OrderStatusType.WaitCancelled:
                if hx_order.filled_quantity > 0:
                    hx_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account, order=copy.deepcopy(hx_order)))
        elif status == OrderStatusType.Reject:
            hx_order.mark_rejected(str(order.error_code) + "_" + order.error_msg)
            hx_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account, order=copy.deepcopy(hx_order)))

    def on_trade(self, trade):
        pass

    def on_order_action_error(self, order_action_error):
        if order_action_error.client_order_id not in orders_dict:
            return
        client_order_id = order_action_error.client_order_id
        try:
            hx_order = orders_dict[client_order_id]
        except KeyError:  # emptied since the test
            return
        account = Environment.get_instance().get_account(hx_order.market_code)
        event_queue.append(Event(EVENT.ORDER_CANCELLATION_REJECT, account=account, order=copy.deepcopy(hx_order)))

    # ---- algo orders: responses

    def on_algo_login(self, algo_login_res):
        event_queue.append(Event(EVENT.ALGO_LOGIN, req_id=algo_login_res.client_seq_id,
                                 algo_account=algo_login_res.trader_id, code=algo_login_res.error_code,
                                 msg=algo_login_res.error_msg))

    def on_create_algo_parent_order_res(self, create_parent_order_res):
        event_queue.append(Event(EVENT.PARENT_ORDER_CREATE, req_id=create_parent_order_res.client_seq_id,
                                 parent_order_id=create_parent_order_res.sys_quote_id,
                                 code=create_parent_order_res.error_code, msg=create_parent_order_res.error_msg))

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res):
        event_queue.append(Event(EVENT.PARENT_ORDER_CANCEL, parent_order_id=cancel_parent_order_res.sys_quote_id,
                                 code=cancel_parent_order_res.error_code, msg=cancel_parent_order_res.error_msg))

    def on_control_algo_parent_order_res(self, control_parent_order_res):
        from pytovik.enums import AlgoControlType
        if control_parent_order_res.control_type == AlgoControlType.Pause:
            event_queue.append(Event(EVENT.PARENT_ORDER_PAUSE, parent_order_id=control_parent_order_res.sys_quote_id,
                                     code=control_parent_order_res.error_code,
                                     msg=control_parent_order_res.error_msg))
        elif control_parent_order_res.control_type == AlgoControlType.Resume:
            event_queue.append(Event(EVENT.PARENT_ORDER_RESUME, parent_order_id=control_parent_order_res.sys_quote_id,
                                     code=control_parent_order_res.error_code,
                                     msg=control_parent_order_res.error_msg))

    # ---- algo orders: updates, cached by sys_quote_id and posted as deep copies

    def on_algo_parent_order_update(self, parent_order):
        if parent_order.sys_quote_id in algo_parent_orders:
            existing_order = algo_parent_orders.get(parent_order.sys_quote_id)
        else:
            existing_order = None
        algo_parent_order = AlgoParentOrder.from_tovik(parent_order, existing_order)
        algo_parent_orders[parent_order.sys_quote_id] = algo_parent_order
        event_queue.append(Event(EVENT.PARENT_ORDER_UPDATE, algo_parent_order=copy.deepcopy(algo_parent_order)))

    def on_algo_child_order_update(self, child_order):
        if child_order.sys_quote_id in algo_child_orders:
            existing_order = algo_child_orders.get(child_order.sys_quote_id)
        else:
            existing_order = None
        algo_child_order = AlgoChildOrder.from_tovik(child_order, existing_order)
        algo_child_orders[child_order.sys_quote_id] = algo_child_order
        event_queue.append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=copy.deepcopy(algo_child_order)))

    def on_algo_child_order_trade(self, child_trade):
        if child_trade.sys_quote_id in algo_child_trades:
            existing_trade = algo_child_trades.get(child_trade.sys_quote_id)
        else:
            existing_trade = None
        algo_child_trade = AlgoChildTrade.from_tovik(child_trade, existing_trade)
        algo_child_trades[child_trade.sys_quote_id] = algo_child_trade
        event_queue.append(Event(EVENT.CHILD_ORDER_TRADE, algo_child_trade=copy.deepcopy(algo_child_trade)))

    # ---- trading-day clock

    def create_time_listener(self):
        current_date = np.datetime64("today", "D")
        if current_date not in self.config.base.trading_calendar:
            system_log.info(f"{current_date} not trade day... {self.config.base.trading_calendar}")
            return
        now = datetime.now()
        current_time = now.time()
        if current_time < time(9, 0, 0):
            self.context.add_timer_interval(_delay_ns(datetime.combine(now.date(), time(9, 0, 0)) - now),
                                            self.send_before_trading_event)
        else:
            self.context.add_timer_interval(3000000000, self.send_before_trading_event)
        # Armed until 09:27 although it aims at 09:24: a late start still gets its (overdue) auction event.
        if current_time < time(9, 27, 0):
            self.context.add_timer_interval(_delay_ns(datetime.combine(now.date(), time(9, 24, 0)) - now),
                                            self.send_open_auction_event)
        if current_time < time(15, 30, 0):
            self.context.add_timer_interval(_delay_ns(datetime.combine(now.date(), time(15, 30, 0)) - now),
                                            self.send_after_trading_event)
        else:
            self.context.add_timer_interval(20000000000, self.send_after_trading_event)

    def send_day_event(self, event_type, dt):
        event_queue.append(Event(event_type, calendar_dt=dt, trading_dt=dt))

    def send_before_trading_event(self):
        self.send_day_event(EVENT.BEFORE_TRADING, datetime.now())

    def send_after_trading_event(self):
        self.send_day_event(EVENT.AFTER_TRADING, datetime.now())
        orders_dict.clear()

    def send_open_auction_event(self):
        self.send_day_event(EVENT.OPEN_AUCTION, datetime.now())

    def set_timer(self):
        # The chain re-arms itself for 08:00 tomorrow even when today's timers could not be armed.
        try:
            self.create_time_listener()
        finally:
            tomorrow_8am = datetime.now().replace(hour=8, minute=0, second=0, microsecond=0) + timedelta(days=1)
            time_diff = tomorrow_8am - datetime.now()
            self.context.add_timer_interval(_delay_ns(time_diff), self.set_timer)


__test__ = {}
