"""AlgoChildTrade: one fill of an algo child order.

Built from the SDK's ``ChildOrderTrade`` records; see ``_algo_base`` for
how a record merges into the previous state.
"""

from halvex.lumet.model._algo_base import AlgoModel


class AlgoChildTrade(AlgoModel):

    FIELDS = ("sys_quote_id", "parent_quote_id", "security_id", "trade_qty",
              "trade_price", "trade_time")
