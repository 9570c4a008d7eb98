"""Asset (a broker's answer to an asset query) and Account (a host account)."""


class Asset(object):
    """Funds of one fund account as reported by the broker."""

    def __init__(self, fund_account_id, available_t1, frozen_all,
                 market_value, total_asset, leaves_value, init_leaves_value):
        self.fund_account_id = fund_account_id
        self.available_t1 = available_t1
        self.frozen_all = frozen_all
        self.market_value = market_value
        self.total_asset = total_asset
        self.leaves_value = leaves_value
        self.init_leaves_value = init_leaves_value

    def __repr__(self):
        return ("Asset(fund_account_id=%r, available_t1=%r, frozen_all=%r, "
                "market_value=%r, total_asset=%r, leaves_value=%r, "
                "init_leaves_value=%r)" % (
                    self.fund_account_id, self.available_t1, self.frozen_all,
                    self.market_value, self.total_asset, self.leaves_value,
                    self.init_leaves_value))


class Account(object):
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
