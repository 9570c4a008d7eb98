"""L2Transaction: one level-2 tick-by-tick trade (a fill or a cancellation)."""


class L2Transaction(object):

    FIELDS = ("biz_index", "market_code", "datetime", "side", "price",
              "volume", "value", "trade_type", "buy_no", "sell_no")

    def __init__(self):
        for name in self.FIELDS:
            setattr(self, name, None)

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price,
                        volume, value, trade_type, buy_no, sell_no):
        obj = cls()
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.volume = volume
        obj.value = value
        obj.trade_type = trade_type
        obj.buy_no = buy_no
        obj.sell_no = sell_no
        return obj

    def __repr__(self):
        return "L2Transaction(%s)" % ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name in self.FIELDS)
