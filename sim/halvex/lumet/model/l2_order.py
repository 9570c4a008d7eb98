"""L2Order: one level-2 order-book entry (a new order or a deletion)."""

from halvex.lumet.model._level2_base import Level2Model


class L2Order(Level2Model):

    FIELDS = ("biz_index", "market_code", "datetime", "side", "price",
              "volume", "order_type", "order_no", "l2_order_type")
