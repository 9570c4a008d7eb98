"""Environment: the host's one shared context object.

``Environment.get_instance()`` returns the single instance, created on
first use; ``Environment.reset()`` drops it so the next call starts fresh.
"""

import threading

from halvex.lumet.model.instrument import Instrument
from halvex.lumet.portfolio.account import Account


class DataProxy:
    """Reference data lookups. Instruments are created on first ask and
    the same object is returned afterwards."""

    def __init__(self):
        self._instruments = {}

    def instruments(self, market_code):
        instrument = self._instruments.get(market_code)
        if instrument is None:
            instrument = Instrument(market_code)
            self._instruments[market_code] = instrument
        return instrument


class Environment:

    _instance = None
    _lock = threading.Lock()

    def __init__(self):
        self.data_proxy = DataProxy()
        self._universe = []
        self._default_account = Account("STOCK")
        self._accounts = []

    @classmethod
    def get_instance(cls):
        with cls._lock:
            if cls._instance is None:
                cls._instance = cls()
            return cls._instance

    @classmethod
    def reset(cls):
        with cls._lock:
            cls._instance = None

    # universe: the market codes the strategy trades and subscribes to

    def get_universe(self):
        return list(self._universe)

    def set_universe(self, codes):
        self._universe = list(codes)

    # accounts

    def add_account(self, account):
        """An account with a ``market_codes`` predicate serves the codes it
        matches; one without a predicate replaces the default account."""
        if account.market_codes is None:
            self._default_account = account
        else:
            self._accounts.append(account)

    def get_account(self, market_code):
        """The first added account whose predicate matches, else the
        default stock account."""
        for account in self._accounts:
            if account.holds(market_code):
                return account
        return self._default_account
