"""L2Order: one level-2 order-book entry (a new order or a deletion)."""


class L2Order(object):

    FIELDS = ("biz_index", "market_code", "datetime", "side", "price",
              "volume", "order_type", "order_no", "l2_order_type")

    def __init__(self):
        for name in self.FIELDS:
            setattr(self, name, None)

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price,
                        volume, order_type, order_no, l2_order_type):
        obj = cls()
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.volume = volume
        obj.order_type = order_type
        obj.order_no = order_no
        obj.l2_order_type = l2_order_type
        return obj

    def __repr__(self):
        return "L2Order(%s)" % ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name in self.FIELDS)
