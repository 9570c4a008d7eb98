"""Trade: one fill of a host order."""

import itertools
from dataclasses import dataclass

_trade_ids = itertools.count(1)


@dataclass(eq=False, repr=False)
class Trade:

    trade_id: int
    order_id: int
    market_code: str
    side: object              # SIDE
    position_effect: object   # POSITION_EFFECT
    price: float
    amount: int
    frozen_price: float
    commission: float
    tax: float

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect,
                        market_code, frozen_price, commission=0., tax=0.,
                        trade_id=None):
        # a trade without an id from the broker gets the next local number
        return cls(next(_trade_ids) if trade_id is None else trade_id,
                   order_id, market_code, side, position_effect, price,
                   amount, frozen_price, commission, tax)

    def __repr__(self):
        return ("Trade(trade_id=%r, order_id=%r, market_code=%r, side=%s, "
                "price=%r, amount=%r)" % (
                    self.trade_id, self.order_id, self.market_code,
                    getattr(self.side, "name", self.side), self.price,
                    self.amount))
