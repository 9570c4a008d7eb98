"""TickObject: the host's view of one market snapshot.

The object wraps the dict it is given (the very object, no copy) and
reads every value from it on access. Keys of the dict:

    market_code, datetime, open_price, close_price, high_price, low_price,
    total_turnover, volume, prev_close, ask_vols, asks, bid_vols, bids,
    high_limited, last_price, low_limited, open_interest, prev_settlement,
    iopv, trading_phase_code
"""


class TickObject:

    def __init__(self, instrument, tick_dict):
        self.instrument = instrument
        self._tick_dict = tick_dict

    @property
    def market_code(self):
        return self._tick_dict["market_code"]

    @property
    def datetime(self):
        return self._tick_dict["datetime"]

    @property
    def last(self):
        return self._tick_dict["last_price"]

    @property
    def open(self):
        return self._tick_dict["open_price"]

    @property
    def high(self):
        return self._tick_dict["high_price"]

    @property
    def low(self):
        return self._tick_dict["low_price"]

    @property
    def prev_close(self):
        return self._tick_dict["prev_close"]

    @property
    def volume(self):
        return self._tick_dict["volume"]

    @property
    def total_turnover(self):
        return self._tick_dict["total_turnover"]

    @property
    def asks(self):
        return self._tick_dict["asks"]

    @property
    def bids(self):
        return self._tick_dict["bids"]

    @property
    def ask_vols(self):
        return self._tick_dict["ask_vols"]

    @property
    def bid_vols(self):
        return self._tick_dict["bid_vols"]

    def __repr__(self):
        return "TickObject(%s @ %s last=%r)" % (
            self._tick_dict.get("market_code"),
            self._tick_dict.get("datetime"),
            self._tick_dict.get("last_price"),
        )
