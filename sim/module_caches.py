"""The module-level caches of `halvex.lumet.utils.trade_data_thread`, in the order the module
creates them: dicts that the host reads, keyed by market code, client order id or quote id. The
day switch empties every one of them in place.

The tests, the demo and the benchmarks read the names from here."""

CACHES = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders", "algo_child_orders",
          "algo_child_trades")
