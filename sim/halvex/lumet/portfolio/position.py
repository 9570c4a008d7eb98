"""Position: the host's holding of one instrument in one direction."""

_STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price",
               "market_value", "daily_pnl")


class Position:

    def __init__(self, market_code, direction, quantity):
        self.market_code = market_code
        self.direction = direction
        self.init_qty = quantity          # holding at the start of the day
        self.quantity = quantity
        self.available_qty = quantity     # yesterday's holding may be sold
        self.avg_price = 0.
        self.last_price = 0.
        self.market_value = 0.
        self.daily_pnl = 0.

    def set_state(self, state):
        """Overwrite the live figures from a dict holding all of
        quantity, available_qty, avg_price, last_price, market_value and
        daily_pnl. Nothing changes unless every key is present."""
        if not isinstance(state, dict):
            raise TypeError("position state must be a dict, got %s"
                            % type(state).__name__)
        values = [state[key] for key in _STATE_KEYS]   # KeyError if missing
        for key, value in zip(_STATE_KEYS, values):
            setattr(self, key, value)

    def __repr__(self):
        return ("Position(%r, %s, quantity=%r, available_qty=%r, "
                "avg_price=%r)" % (
                    self.market_code,
                    getattr(self.direction, "name", self.direction),
                    self.quantity, self.available_qty, self.avg_price))
