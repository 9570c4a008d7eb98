"""Records the SDK hands to strategy callbacks.

Every record takes its fields as keywords (all optional) and stores them
in ``__slots__``. Conventions:

* times (``orig_time``, ``order_time``, ``trade_time``, ``end_time``, ...)
  are integer milliseconds since the Unix epoch;
* ``security_id`` is the bare code ("000001"); ``market_type`` is a
  ``MarketType`` (0 when unset);
* level-2 ``side`` / ``order_type`` / ``trade_type`` are integer character
  codes (49 for "1", 70 for "F");
* the ten-level book arrays default to ten zeros;
* the algo update records (``ParentOrderUpdate``, ``ChildOrderUpdate``,
  ``ChildOrderTrade``) default everything but their ids to None: a field
  left None means "unchanged since the last update".
"""

from pytovik.enums import OrderStatusType

_TEN_INTS = [0] * 10
_TEN_FLOATS = [0.] * 10


class _Record:
    __slots__ = ()
    _fields = ()   # (name, default) pairs, set by each record type

    def __init__(self, **kwargs):
        for name, default in self._fields:
            value = kwargs.pop(name, default)
            if isinstance(value, list) and value is default:
                value = list(value)   # never share a default list
            setattr(self, name, value)
        if kwargs:
            raise TypeError("%s got unknown fields: %s"
                            % (type(self).__name__, ", ".join(sorted(kwargs))))

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name, _ in self._fields))


def _slots(fields):
    return tuple(name for name, _ in fields)


# ---- market data ------------------------------------------------------------

class Snapshot(_Record):
    _fields = (
        ("orig_time", 0), ("security_id", ""), ("market_type", 0),
        ("open_price", 0.), ("close_price", 0.), ("high_price", 0.),
        ("low_price", 0.), ("total_value_trade", 0.),
        ("total_volume_trade", 0), ("pre_close_price", 0.),
        ("ask_volume", _TEN_INTS), ("ask_price", _TEN_FLOATS),
        ("bid_volume", _TEN_INTS), ("bid_price", _TEN_FLOATS),
        ("high_limited", 0.), ("last_price", 0.), ("low_limited", 0.),
        ("open_interest", 0), ("prev_settlement", 0.), ("iopv", 0.),
        ("trading_phase_code", ""),
    )
    __slots__ = _slots(_fields)


class TickOrder(_Record):
    _fields = (
        ("order_time", 0), ("security_id", ""), ("market_type", 0),
        ("side", 0), ("biz_index", 0), ("order_price", 0.),
        ("order_volume", 0), ("order_type", 0), ("orig_order_no", 0),
    )
    __slots__ = _slots(_fields)


class TickTrade(_Record):
    _fields = (
        ("trade_time", 0), ("security_id", ""), ("market_type", 0),
        ("bid_appl_seq_num", 0), ("offer_appl_seq_num", 0),
        ("biz_index", 0), ("trade_price", 0.), ("trade_volume", 0),
        ("value_trade", 0.), ("trade_type", 0),
    )
    __slots__ = _slots(_fields)


class Bar(_Record):
    _fields = (
        ("security_id", ""), ("market_type", 0), ("end_time", 0),
        ("open", 0.), ("close", 0.), ("high", 0.), ("low", 0.),
        ("amount", 0.), ("volume", 0), ("prev_close", 0.),
    )
    __slots__ = _slots(_fields)


# ---- trading session and queries ----------------------------------------------

class LoginRes(_Record):
    _fields = (
        ("fund_account_id", ""), ("error_code", 0), ("client_seq_id", 0),
        ("error_msg", ""),
    )
    __slots__ = _slots(_fields)


class AssetRes(_Record):
    _fields = (
        ("fund_account_id", ""), ("leaves_value", 0.), ("available_t1", 0.),
        ("frozen_all", 0.), ("market_value", 0.), ("total_asset", 0.),
        ("init_leaves_value", 0.),
    )
    __slots__ = _slots(_fields)


class PositionRecord(_Record):
    _fields = (
        ("security_id", ""), ("market_id", 0), ("init_qty", 0),
        ("leaves_qty", 0), ("available_qty", 0), ("cost_price", 0.),
        ("last_price", 0.), ("market_value", 0.), ("profit_loss", 0.),
    )
    __slots__ = _slots(_fields)


# ---- orders -------------------------------------------------------------------

class OrderReport(_Record):
    _fields = (
        ("client_order_id", 0), ("security_id", ""), ("market_type", 0),
        ("order_price", 0.), ("order_status", OrderStatusType.UnSend),
        ("order_qty", 0), ("trade_qty", 0), ("total_trade_value", 0.),
        ("error_msg", ""), ("error_code", 0), ("last_match_qty", 0),
        ("last_match_price", 0.), ("counter_order_id", ""),
        ("frozen_trade_value", 0.),
    )
    __slots__ = _slots(_fields)


class TradeReport(_Record):
    _fields = (
        ("client_order_id", 0), ("security_id", ""), ("trade_qty", 0),
        ("trade_price", 0.), ("trade_id", ""),
    )
    __slots__ = _slots(_fields)


class OrderActionError(_Record):
    _fields = (("client_order_id", 0), ("error_code", 0), ("error_msg", ""))
    __slots__ = _slots(_fields)


# ---- algo orders --------------------------------------------------------------

class AlgoLoginRes(_Record):
    _fields = (
        ("client_seq_id", 0), ("trader_id", ""), ("error_code", 0),
        ("error_msg", ""),
    )
    __slots__ = _slots(_fields)


class CreateParentOrderRes(_Record):
    _fields = (
        ("client_seq_id", 0), ("sys_quote_id", 0), ("error_code", 0),
        ("error_msg", ""),
    )
    __slots__ = _slots(_fields)


class CancelParentOrderRes(_Record):
    _fields = (("sys_quote_id", 0), ("error_code", 0), ("error_msg", ""))
    __slots__ = _slots(_fields)


class ControlParentOrderRes(_Record):
    _fields = (
        ("sys_quote_id", 0), ("control_type", 0), ("error_code", 0),
        ("error_msg", ""),
    )
    __slots__ = _slots(_fields)


class ParentOrderUpdate(_Record):
    _fields = (
        ("sys_quote_id", 0), ("security_id", None), ("market_type", None),
        ("side", None), ("algo_type", None), ("order_qty", None),
        ("trade_qty", None), ("avg_price", None), ("status", None),
        ("start_time", None), ("end_time", None),
    )
    __slots__ = _slots(_fields)


class ChildOrderUpdate(_Record):
    _fields = (
        ("sys_quote_id", 0), ("parent_quote_id", 0), ("security_id", None),
        ("market_type", None), ("side", None), ("order_qty", None),
        ("order_price", None), ("trade_qty", None), ("status", None),
    )
    __slots__ = _slots(_fields)


class ChildOrderTrade(_Record):
    _fields = (
        ("sys_quote_id", 0), ("parent_quote_id", 0), ("security_id", None),
        ("trade_qty", None), ("trade_price", None), ("trade_time", None),
    )
    __slots__ = _slots(_fields)
