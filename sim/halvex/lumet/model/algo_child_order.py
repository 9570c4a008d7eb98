"""AlgoChildOrder: one child order split off an algo parent order.

Built from the SDK's ``ChildOrderUpdate`` records; see ``_algo_base`` for
how an update merges into the previous state.
"""

from halvex.lumet.model._algo_base import AlgoModel


class AlgoChildOrder(AlgoModel):

    FIELDS = ("sys_quote_id", "parent_quote_id", "security_id", "market_type",
              "side", "order_qty", "order_price", "trade_qty", "status")
