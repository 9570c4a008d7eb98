"""Asset (a broker's answer to an asset query) and Account (a host account)."""

from dataclasses import dataclass


@dataclass(eq=False)
class Asset:
    """Funds of one fund account as reported by the broker."""

    fund_account_id: str
    available_t1: float
    frozen_all: float
    market_value: float
    total_asset: float
    leaves_value: float
    init_leaves_value: float


class Account:
    """A host account.

    ``market_codes`` is an optional predicate ``f(market_code) -> bool``
    telling which instruments this account holds; the environment uses it
    to route an instrument to its account. None means "no particular
    instruments" (such an account serves as the default).
    """

    def __init__(self, account_type="STOCK", account_id="", total_cash=0.,
                 market_codes=None):
        self.account_type = account_type
        self.account_id = account_id
        self.total_cash = total_cash
        self.market_codes = market_codes

    def holds(self, market_code):
        return self.market_codes is not None and bool(
            self.market_codes(market_code))

    def __repr__(self):
        return "Account(account_type=%r, account_id=%r, total_cash=%r)" % (
            self.account_type, self.account_id, self.total_cash)
