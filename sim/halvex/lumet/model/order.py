"""Order: the host's record of one order sent to a broker.

All state lives in plain attributes, so ``copy.deepcopy`` gives an
independent snapshot, and two orders compare equal when every attribute
value is equal (handy for checking a posted copy against the live order).
"""

from halvex.lumet.const import ORDER_STATUS, POSITION_EFFECT

_FINAL_STATUSES = (ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED,
                   ORDER_STATUS.REJECTED)


class Order(object):

    def __init__(self):
        self.order_id = None
        self.client_order_id = None
        self.secondary_order_id = None   # the broker's own id, once known
        self.market_code = None
        self.side = None
        self.position_effect = None
        self.style = None
        self.price = 0.
        self.quantity = 0
        self.status = None
        self.filled_quantity = 0
        self.unfilled_quantity = 0
        self.avg_price = 0.
        self.frozen_cash = 0.
        self.message = ""

    @classmethod
    def __from_create__(cls, order_id, market_code, quantity, side, price,
                        position_effect=POSITION_EFFECT.OPEN, style=None):
        order = cls()
        order.order_id = order_id
        order.client_order_id = str(order_id)
        order.market_code = market_code
        order.quantity = quantity
        order.unfilled_quantity = quantity
        order.side = side
        order.price = price
        order.position_effect = position_effect
        order.style = style
        order.status = ORDER_STATUS.PENDING_NEW
        return order

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        # a rejected order keeps its unfilled quantity as it was
        self.status = ORDER_STATUS.REJECTED
        self.message = reason

    def is_final(self):
        return self.status in _FINAL_STATUSES

    def __eq__(self, other):
        if not isinstance(other, Order):
            return NotImplemented
        return vars(self) == vars(other)

    __hash__ = None

    def __repr__(self):
        return ("Order(order_id=%r, market_code=%r, side=%s, price=%r, "
                "quantity=%r, filled=%r, status=%s, message=%r)" % (
                    self.order_id, self.market_code,
                    getattr(self.side, "name", self.side), self.price,
                    self.quantity, self.filled_quantity,
                    getattr(self.status, "name", self.status), self.message))
