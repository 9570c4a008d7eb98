"""SDK enumerations. All are IntEnums: they compare equal to, and hash
like, their integer values."""

import enum

__all__ = ["MDType", "TDType", "AlgoType", "MarketType", "SubscribeDataType",
           "OrderStatusType", "AlgoControlType"]


class MDType(enum.IntEnum):
    """Market data broker."""
    ToMD = 1
    AMD = 2


class TDType(enum.IntEnum):
    """Trading broker (trading destination)."""
    OES = 1
    XTP = 2
    ATP = 3


class AlgoType(enum.IntEnum):
    """Algo trading broker."""
    ATX = 1


class MarketType(enum.IntEnum):
    SSE = 1    # Shanghai
    SZSE = 2   # Shenzhen
    BSE = 3    # Beijing


class SubscribeDataType(enum.IntEnum):
    Snapshot = 1
    TickOrder = 2
    TickTrade = 3
    Bar = 4


class OrderStatusType(enum.IntEnum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8


class AlgoControlType(enum.IntEnum):
    Pause = 1
    Resume = 2
