"""L2Transaction: one level-2 tick-by-tick trade (a fill or a cancellation)."""

from halvex.lumet.model._level2_base import Level2Model


class L2Transaction(Level2Model):

    FIELDS = ("biz_index", "market_code", "datetime", "side", "price",
              "volume", "value", "trade_type", "buy_no", "sell_no")
