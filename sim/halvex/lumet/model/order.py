"""Order: the host's record of one order sent to a broker.

All state lives in plain attributes, so ``copy.deepcopy`` gives an
independent snapshot, and two orders compare equal when every attribute
value is equal (handy for checking a posted copy against the live order).
"""

from dataclasses import dataclass

from halvex.lumet.const import ORDER_STATUS, POSITION_EFFECT

_FINAL_STATUSES = (ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED,
                   ORDER_STATUS.REJECTED)


@dataclass(eq=False, repr=False)
class Order:

    order_id: int
    client_order_id: str
    secondary_order_id: object   # the broker's own id, once known
    market_code: str
    side: object                 # SIDE
    position_effect: object      # POSITION_EFFECT
    style: object
    price: float
    quantity: int
    status: object               # ORDER_STATUS
    filled_quantity: int
    unfilled_quantity: int
    avg_price: float
    frozen_cash: float
    message: str

    @classmethod
    def __from_create__(cls, order_id, market_code, quantity, side, price,
                        position_effect=POSITION_EFFECT.OPEN, style=None):
        return cls(order_id=order_id, client_order_id=str(order_id),
                   secondary_order_id=None, market_code=market_code,
                   side=side, position_effect=position_effect, style=style,
                   price=price, quantity=quantity,
                   status=ORDER_STATUS.PENDING_NEW, filled_quantity=0,
                   unfilled_quantity=quantity, avg_price=0., frozen_cash=0.,
                   message="")

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
