"""Strategy base class and the context a strategy talks to the SDK through.

A strategy subclasses ``TovikStrategy`` and defines ``on_*`` callback
methods; the SDK calls them as data and broker responses arrive. The
metaclass records the callback names a class defines (inherited ones
included) in ``_callbacks``, in definition order.

The base ``__init__`` creates the context, so a strategy cannot hand it a
clock; ``set_default_clock(clock)`` sets the clock (a callable returning
integer nanoseconds) that contexts created afterwards give their timers
when none is passed, e.g. a simulator's virtual clock. ``None`` restores
the SDK's own, ``time.monotonic_ns``.

``StrategyContext`` here records every request in ``calls`` as
``(method_name, args_tuple)`` so a simulator or a test can see what the
strategy asked for. Its methods take positional arguments only.
"""

from pytovik.timer import Timers

_default_clock = None


def set_default_clock(clock):
    """Clock for the timers of contexts created from now on (None: the
    SDK's own). Returns the previous setting."""
    global _default_clock
    previous, _default_clock = _default_clock, clock
    return previous


class StrategyMeta(type):

    @classmethod
    def __prepare__(mcls, name, bases, **kwargs):
        return {}

    def __new__(mcls, name, bases, namespace, **kwargs):
        callbacks = []
        for base in bases:
            for cb in getattr(base, "_callbacks", ()):
                if cb not in callbacks:
                    callbacks.append(cb)
        for key in namespace:
            if key.startswith("on_") and key not in callbacks:
                callbacks.append(key)
        namespace = dict(namespace)
        namespace["_callbacks"] = tuple(callbacks)
        return super().__new__(mcls, name, bases, namespace, **kwargs)


class StrategyContext:

    def __init__(self, clock=None):
        self.calls = []
        self.md_brokers = []
        self.td_brokers = []
        self.algo_brokers = []
        self.subscriptions = []
        self.order_way = None
        self.timers = Timers(clock if clock is not None else _default_clock)
        # a simulator may set these to answer queries: f(fund_account_id)
        self.on_query_asset_request = None
        self.on_query_position_request = None

    def _record(self, name, *args):
        self.calls.append((name, args))

    def add_md_broker(self, md_type, /):
        self._record("add_md_broker", md_type)
        self.md_brokers.append(md_type)

    def set_order_way(self, order_way, /):
        self._record("set_order_way", order_way)
        self.order_way = order_way

    def add_td_broker(self, td_type, /):
        self._record("add_td_broker", td_type)
        self.td_brokers.append(td_type)

    def add_algo_broker(self, algo_type, /):
        self._record("add_algo_broker", algo_type)
        self.algo_brokers.append(algo_type)

    def subscribe(self, md_type, market_type, data_type, codes, period, /):
        self._record("subscribe", md_type, market_type, data_type, codes,
                     period)
        self.subscriptions.append(
            (md_type, market_type, data_type, list(codes), period))

    def query_asset(self, fund_account_id, /):
        self._record("query_asset", fund_account_id)
        if self.on_query_asset_request is not None:
            self.on_query_asset_request(fund_account_id)

    def query_position(self, fund_account_id, /):
        self._record("query_position", fund_account_id)
        if self.on_query_position_request is not None:
            self.on_query_position_request(fund_account_id)

    def add_timer_interval(self, delay_ns, callback, /):
        """Call ``callback()`` once, ``delay_ns`` nanoseconds from now, on
        the SDK's timer thread (or whoever calls ``timers.fire_due``)."""
        if not isinstance(delay_ns, int) or isinstance(delay_ns, bool):
            raise TypeError("delay_ns must be an int, got %s"
                            % type(delay_ns).__name__)
        if not callable(callback):
            raise TypeError("timer callback must be callable")
        self._record("add_timer_interval", delay_ns, callback)
        self.timers.add(delay_ns, callback)


class TovikStrategy(metaclass=StrategyMeta):
    """Base of every strategy. It defines no callbacks itself."""

    def __init__(self):
        self.context = StrategyContext()
