"""Conversions from SDK (pytovik) codes to host values.

Exchanges (SDK ``MarketType``, IntEnum member or plain int):
    SSE  (1) -> "XSHG"    Shanghai
    SZSE (2) -> "XSHE"    Shenzhen
    BSE  (3) -> "BJSE"    Beijing

Trading destinations: the upper-case name of a ``pytovik.enums.TDType``
member ("OES", "XTP", "ATP"); names are matched exactly.

Level-2 character codes (one-character strings; the SDK hands out int
character codes, so callers pass ``chr(code)``):
    order / trade side:  "1" buy, "2" sell (Shenzhen);  "B" buy, "S" sell
                         (Shanghai)
    order type:          Shenzhen "1" market, "2" limit, "U" best-own price;
                         Shanghai "A" add (a limit order), "D" delete
    l2 order type:       Shanghai "D" is a deletion; every other known
                         order-type character is an addition
    trade type:          "F" fill, "4" cancellation

The Shanghai and Shenzhen character sets do not overlap, so the character
alone decides; ``market_type`` is accepted to keep the call shape the same
for every exchange.

Anything not listed raises ValueError.
"""

from halvex.lumet.const import L2_ORDER_TYPE, ORDER_TYPE, SIDE, TRADE_TYPE
from pytovik.enums import MarketType, TDType

_EXCHANGE_BY_MARKET = {
    MarketType.SSE: "XSHG",
    MarketType.SZSE: "XSHE",
    MarketType.BSE: "BJSE",
}

_SIDE_BY_CHAR = {
    "1": SIDE.BUY,
    "2": SIDE.SELL,
    "B": SIDE.BUY,
    "S": SIDE.SELL,
}

_ORDER_TYPE_BY_CHAR = {
    # Shenzhen
    "1": ORDER_TYPE.MARKET,
    "2": ORDER_TYPE.LIMIT,
    "U": ORDER_TYPE.BEST_OWN,
    # Shanghai
    "A": ORDER_TYPE.LIMIT,
    "D": ORDER_TYPE.LIMIT,
}

_TRADE_TYPE_BY_CHAR = {
    "F": TRADE_TYPE.FILL,
    "4": TRADE_TYPE.CANCEL,
}


def _lookup(table, key, what):
    try:
        return table[key]
    except (KeyError, TypeError):
        raise ValueError("unknown %s: %r" % (what, key))


def get_exchane_from_tovik_mdtype(market_type):
    return _lookup(_EXCHANGE_BY_MARKET, market_type, "market type")


def get_tovik_tdtype(destination):
    member = TDType.__members__.get(destination) if isinstance(
        destination, str) else None
    if member is None:
        raise ValueError("unknown trading destination: %r" % (destination,))
    return member


def get_side_from_tovik_l2_order(side_char, market_type):
    return _lookup(_SIDE_BY_CHAR, side_char, "level-2 side")


def get_order_type_from_tovik_l2_order(order_type_char, market_type):
    return _lookup(_ORDER_TYPE_BY_CHAR, order_type_char, "level-2 order type")


def get_l2order_type_from_tovik(order_type_char, market_type):
    _lookup(_ORDER_TYPE_BY_CHAR, order_type_char, "level-2 order type")
    if order_type_char == "D":
        return L2_ORDER_TYPE.DELETE
    return L2_ORDER_TYPE.ADD


def get_trade_type_from_tovik(trade_type_char):
    return _lookup(_TRADE_TYPE_BY_CHAR, trade_type_char, "level-2 trade type")
