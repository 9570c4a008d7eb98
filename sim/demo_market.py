"""The demo's clock and market: a virtual clock the module and the SDK's timers read, and a
random-walk market (snapshots, level-2 records, one-minute bars) reproducible from its seed."""

import datetime
import math
import random
import time

import numpy

from pytovik import records
from pytovik.enums import MarketType

NS = 1000000000
MS = 1000000


def to_ns(dt):
    """A naive local date-time as integer nanoseconds since the epoch."""
    return int(time.mktime(dt.timetuple())) * NS + dt.microsecond * 1000


def from_ns(ns):
    """The naive local date-time of integer nanoseconds since the epoch (to the microsecond)."""
    seconds, rest = divmod(ns, NS)
    return datetime.datetime.fromtimestamp(seconds) + datetime.timedelta(microseconds=rest // 1000)


# ---- the virtual clock ----------------------------------------------------------------------

class VirtualClock:
    """Virtual local time in integer nanoseconds since the epoch.

    Only the SDK thread moves it, forward, as it works through the day's schedule, and never
    faster than `speed` virtual seconds per wall second. When the work itself is slower, the
    clock simply waits for it: virtual time never runs ahead of the data.
    """

    def __init__(self, start, speed):
        self.start_ns = to_ns(start)
        self.speed = float(speed)
        self._ns = self.start_ns
        self._wall0 = time.perf_counter()

    def now_ns(self):
        return self._ns

    def now(self):
        return from_ns(self._ns)

    def start(self):
        """Pins wall time to the current virtual time."""
        self._wall0 = time.perf_counter() - (self._ns - self.start_ns) / NS / self.speed

    def advance_to(self, t_ns):
        if t_ns <= self._ns:
            return
        ahead = self._wall0 + (t_ns - self.start_ns) / NS / self.speed - time.perf_counter()
        if ahead > 0.0005:
            time.sleep(ahead)
        self._ns = t_ns


class VirtualDatetime(datetime.datetime):
    """`datetime.datetime` whose `now()` reads the virtual clock set in `clock`."""

    clock = None

    @classmethod
    def now(cls, tz=None):
        if tz is not None:
            raise ValueError("the virtual clock keeps naive local time only")
        t = from_ns(cls.clock.now_ns())
        return cls(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond)


class VirtualNumpy:
    """numpy, except that `datetime64("today", "D")` is the virtual date."""

    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, *args):
        if args == ("today", "D"):
            return numpy.datetime64(self._clock.now().date(), "D")
        return numpy.datetime64(*args)

    def __getattr__(self, name):
        return getattr(numpy, name)


# ---- the market -------------------------------------------------------------------------------

STEP = datetime.timedelta(seconds=3)    # one snapshot per instrument every 3 seconds
SESSIONS = ((datetime.time(9, 15), datetime.time(11, 30)),
            (datetime.time(13, 0), datetime.time(15, 0)))
OPEN_AUCTION_MATCH = datetime.time(9, 25)
CONTINUOUS = ((datetime.time(9, 30), datetime.time(11, 30)),
              (datetime.time(13, 0), datetime.time(14, 57)))
CLOSE = datetime.time(15, 0)
BAR_MINUTES = ((datetime.time(9, 31), datetime.time(11, 30)),
               (datetime.time(13, 1), datetime.time(15, 0)))

# Board prefixes: (prefix, market, daily price limit).
BOARDS = (("000", MarketType.SZSE, 0.10), ("002", MarketType.SZSE, 0.10),
          ("300", MarketType.SZSE, 0.20), ("600", MarketType.SSE, 0.10),
          ("601", MarketType.SSE, 0.10), ("688", MarketType.SSE, 0.20))
BOOK_VOLUMES = tuple(100 * n for n in range(1, 31))
L2_RATE = 0.4                           # chance per step of one level-2 order, and of one trade


def within(t, ranges):
    return any(lo <= t <= hi for lo, hi in ranges)


def phase_code(t):
    if t < OPEN_AUCTION_MATCH:
        return "O"                      # opening call auction
    if within(t, CONTINUOUS) and t != CONTINUOUS[0][1]:
        return "T"                      # continuous trading
    if t < CLOSE and t >= CONTINUOUS[1][1]:
        return "C"                      # closing call auction
    if t == CLOSE:
        return "E"                      # closed
    return "B"                          # break (before the open, lunch)


def tick_round(price):
    return round(price + 1e-9, 2)


class Instrument:
    """One instrument's market state for the day."""

    def __init__(self, security_id, market_type, limit, rng):
        self.security_id = security_id
        self.market_type = market_type
        self.prev_close = tick_round(rng.uniform(3.0, 80.0))
        self.high_limited = tick_round(self.prev_close * (1 + limit))
        self.low_limited = tick_round(self.prev_close * (1 - limit))
        self.avg_lots = rng.randint(5, 60)
        self.last = self.prev_close
        self.open = self.high = self.low = 0.0
        self.volume = 0
        self.value = 0.0
        self.asks = self.bids = [0.0] * 10
        self.ask_vols = self.bid_vols = [0] * 10
        self.biz_index = 0
        self.appl_seq = 0
        self.bar = None                 # [open, high, low, close, volume, amount] of the minute
        self.bar_prev_close = self.prev_close


class Market:
    """A random-walk market for a universe of instruments, reproducible from its seed."""

    def __init__(self, size, seed):
        self.rng = random.Random(seed)
        codes = set()
        self.instruments = []
        while len(self.instruments) < size:
            prefix, market_type, limit = self.rng.choice(BOARDS)
            code = prefix + "%03d" % self.rng.randint(1, 999)
            if code not in codes:
                codes.add(code)
                self.instruments.append(Instrument(code, market_type, limit, self.rng))
        self.instruments.sort(key=lambda inst: inst.security_id)
        self.by_id = {inst.security_id: inst for inst in self.instruments}

    def advance(self, inst, t, ms):
        """Moves the instrument one step to time of day `t` (`ms` epoch milliseconds); returns the
        level-2 records of the step."""
        rng = self.rng
        if t == OPEN_AUCTION_MATCH:
            self._trade(inst, inst.prev_close * math.exp(rng.gauss(0, 0.01)), inst.avg_lots * 2000)
            inst.open = inst.high = inst.low = inst.last
        elif t == CLOSE:
            self._trade(inst, inst.last * math.exp(rng.gauss(0, 0.001)), inst.avg_lots * 1000)
        elif phase_code(t) == "T":
            before = inst.last
            lots = 1 + int(rng.expovariate(1.0 / inst.avg_lots))
            self._trade(inst, inst.last * math.exp(rng.gauss(0, 0.0006)), lots * 100)
            return self._level2(inst, ms, inst.last >= before)
        return ()

    def _trade(self, inst, price, volume):
        price = min(max(tick_round(price), inst.low_limited), inst.high_limited)
        inst.last = price
        inst.volume += volume
        inst.value += volume * price
        if inst.open:
            inst.high = max(inst.high, price)
            inst.low = min(inst.low, price)
        bar = inst.bar
        if bar is None:
            inst.bar = [price, price, price, price, volume, volume * price]
        else:
            bar[1] = max(bar[1], price)
            bar[2] = min(bar[2], price)
            bar[3] = price
            bar[4] += volume
            bar[5] += volume * price

    def _level2(self, inst, ms, buyer_initiated):
        rng = self.rng
        shanghai = inst.market_type == MarketType.SSE
        out = []
        if rng.random() < L2_RATE:
            inst.appl_seq += 1
            inst.biz_index += 1
            buy = rng.random() < 0.5
            if shanghai:
                side, kind = ("B" if buy else "S"), ("D" if rng.random() < 0.1 else "A")
            else:
                side, kind = ("1" if buy else "2"), rng.choice("2222222221U")
            price = tick_round(inst.last + (-0.01 if buy else 0.01) * rng.randint(0, 5))
            out.append(records.TickOrder(
                order_time=ms, security_id=inst.security_id, market_type=inst.market_type,
                side=ord(side), biz_index=inst.biz_index, order_price=price,
                order_volume=100 * rng.randint(1, 50), order_type=ord(kind),
                orig_order_no=inst.appl_seq))
        if rng.random() < L2_RATE:
            inst.appl_seq += 1
            inst.biz_index += 1
            newest, earlier = inst.appl_seq, max(1, inst.appl_seq - rng.randint(1, 50))
            bid, offer = (newest, earlier) if buyer_initiated else (earlier, newest)
            volume = 100 * rng.randint(1, 30)
            if not shanghai and rng.random() < 0.1:   # Shenzhen reports cancellations as trades
                bid, offer = (earlier, 0) if buyer_initiated else (0, earlier)
                kind, price = "4", 0.0
            else:
                kind, price = "F", inst.last
            out.append(records.TickTrade(
                trade_time=ms, security_id=inst.security_id, market_type=inst.market_type,
                bid_appl_seq_num=bid, offer_appl_seq_num=offer, biz_index=inst.biz_index,
                trade_price=price, trade_volume=volume, value_trade=price * volume,
                trade_type=ord(kind)))
        return out

    def snapshot(self, inst, t, ms):
        rng = self.rng
        last = inst.last
        inst.asks = [tick_round(last + 0.01 * (i + 1)) for i in range(10)]
        inst.bids = [tick_round(last - 0.01 * i) for i in range(10)]
        inst.ask_vols = rng.choices(BOOK_VOLUMES, k=10)
        inst.bid_vols = rng.choices(BOOK_VOLUMES, k=10)
        return records.Snapshot(
            orig_time=ms, security_id=inst.security_id, market_type=inst.market_type,
            open_price=inst.open, close_price=last if t == CLOSE else 0.0,
            high_price=inst.high, low_price=inst.low, total_value_trade=inst.value,
            total_volume_trade=inst.volume, pre_close_price=inst.prev_close,
            ask_volume=inst.ask_vols, ask_price=inst.asks, bid_volume=inst.bid_vols,
            bid_price=inst.bids, high_limited=inst.high_limited, last_price=last,
            low_limited=inst.low_limited, trading_phase_code=phase_code(t))

    def take_bar(self, inst, ms):
        """The one-minute bar ending at `ms`; a minute without trades repeats the last price."""
        bar = inst.bar or [inst.last, inst.last, inst.last, inst.last, 0, 0.0]
        inst.bar = None
        record = records.Bar(
            security_id=inst.security_id, market_type=inst.market_type, end_time=ms,
            open=bar[0], high=bar[1], low=bar[2], close=bar[3], volume=bar[4], amount=bar[5],
            prev_close=inst.bar_prev_close)
        inst.bar_prev_close = bar[3]
        return record
