"""Event types and the event object passed to the host's event bus."""

import enum


class EVENT(enum.Enum):
    # market data
    TICK = "tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    BAR = "bar"
    # trading session and account queries
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    # order life cycle
    ORDER_CREATION_PASS = "order_creation_pass"
    TRADE = "trade"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    # trading day phases
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"
    # algorithmic (parent/child) orders
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"


class Event:
    """One event: a type plus keyword payload.

    The payload is kept twice: as the dict ``kwargs`` (in the order the
    keywords were given) and as attributes, so handlers can write
    ``event.tick`` or ``event.order``.
    """

    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.kwargs = kwargs
        for key, value in kwargs.items():
            setattr(self, key, value)

    def __repr__(self):
        if isinstance(self.event_type, EVENT):
            parts = ["EVENT.%s" % self.event_type.name]
        else:
            parts = [repr(self.event_type)]
        parts.extend("%s=%r" % (k, v) for k, v in self.kwargs.items())
        return "Event(%s)" % ", ".join(parts)
