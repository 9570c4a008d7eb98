"""Instrument: what the host knows about one tradable code."""


class Instrument:
    """A market code such as "000001.XSHE" split into symbol and exchange."""

    def __init__(self, market_code):
        self.market_code = market_code
        symbol, _, exchange = market_code.partition(".")
        self.symbol = symbol
        self.exchange = exchange

    def __repr__(self):
        return "Instrument(%r)" % self.market_code
