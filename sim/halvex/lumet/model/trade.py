"""Trade: one fill of a host order."""

import itertools

_trade_ids = itertools.count(1)


class Trade(object):

    def __init__(self):
        self.trade_id = None
        self.order_id = None
        self.market_code = None
        self.side = None
        self.position_effect = None
        self.price = 0.
        self.amount = 0
        self.frozen_price = 0.
        self.commission = 0.
        self.tax = 0.

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect,
                        market_code, frozen_price, commission=0., tax=0.,
                        trade_id=None):
        trade = cls()
        # a trade without an id from the broker gets the next local number
        trade.trade_id = next(_trade_ids) if trade_id is None else trade_id
        trade.order_id = order_id
        trade.market_code = market_code
        trade.side = side
        trade.position_effect = position_effect
        trade.price = price
        trade.amount = amount
        trade.frozen_price = frozen_price
        trade.commission = commission
        trade.tax = tax
        return trade

    def __repr__(self):
        return ("Trade(trade_id=%r, order_id=%r, market_code=%r, side=%s, "
                "price=%r, amount=%r)" % (
                    self.trade_id, self.order_id, self.market_code,
                    getattr(self.side, "name", self.side), self.price,
                    self.amount))
