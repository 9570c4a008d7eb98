"""AlgoParentOrder: the host's view of one algo parent order.

Built from the SDK's ``ParentOrderUpdate`` records; see ``_algo_base`` for
how an update merges into the previous state.
"""

from halvex.lumet.model._algo_base import AlgoModel


class AlgoParentOrder(AlgoModel):

    FIELDS = ("sys_quote_id", "security_id", "market_type", "side",
              "algo_type", "order_qty", "trade_qty", "avg_price", "status",
              "start_time", "end_time")
