"""Enumerations shared by the host framework.

Every member's value is its own name, so values survive a round trip
through logs and config files unchanged.
"""

import enum


class ORDER_STATUS(enum.Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    FILLED = "FILLED"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"


class POSITION_DIRECTION(enum.Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class SIDE(enum.Enum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(enum.Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class ORDER_TYPE(enum.Enum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"
    BEST_OWN = "BEST_OWN"


class L2_ORDER_TYPE(enum.Enum):
    ADD = "ADD"
    DELETE = "DELETE"


class TRADE_TYPE(enum.Enum):
    FILL = "FILL"
    CANCEL = "CANCEL"
