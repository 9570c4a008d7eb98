"""Bars: the per-code bar history, the run counter and the BAR event, and the bar queries."""

import datetime

import pytest

from conftest import Recorder, drain
from halvex.lumet.core.events import EVENT
from halvex.lumet.environment import Environment
import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Bar

T = 1700000040000
T2 = T + 60000
CODE = "000001.XSHE"
FIELDS = dict(security_id="000001", market_type=MarketType.SZSE, end_time=T, open=1.0, close=2.0, high=3.0,
              low=0.5, amount=1000.0, volume=500, prev_close=1.5)


@pytest.fixture
def s(strategy):
    strategy.bar_cnt = 0
    strategy.current_trade_dt = 0
    return strategy


def bar(end_time=T, security_id="000001"):
    return Bar(**dict(FIELDS, end_time=end_time, security_id=security_id))


def universe(n):
    Environment.get_instance().set_universe(["%06d.XSHE" % i for i in range(n)])


@pytest.mark.parametrize("size, end_times, posted_after, bar_cnt", [
    (3, [T, T, T], [3], 0),                      # one event, on the third bar
    (3, [T, T, T2], [], 1),                      # the interrupted run never fires
    (3, [T2], [], 1),                            # the first bar ever counts 1
    (3, [T, T + 1], [], 1),                      # bar times compare exactly (fraction kept)
    (1, [T, T, T2], [1, 2, 3], 0),               # universe of one: every bar
    (0, [T, T, T], [], 3),                       # empty universe: never
    (3, [T, T, T, T], [3], 1),                   # a fourth bar after the event starts a new run
    (2, [T, T2, T2, T2, T2], [3, 5], 0),         # runs restart after each event and each new time
])
def test_bar_event_fires_when_a_run_reaches_the_universe(s, size, end_times, posted_after, bar_cnt):
    universe(size)
    posted = []
    for n, end_time in enumerate(end_times, 1):
        s.on_bar(bar(end_time))
        events = drain()
        assert len(events) <= 1
        if events:
            posted.append(n)
            (event,) = events
            assert event.event_type is EVENT.BAR
            assert list(event.kwargs) == ["calendar_dt", "trading_dt"]
            assert event.calendar_dt is event.trading_dt
            assert event.calendar_dt == datetime.date.fromtimestamp(end_time // 1000)
    assert posted == posted_after
    assert s.bar_cnt == bar_cnt
    assert s.current_trade_dt == end_times[-1] / 1000


def test_bar_time_keeps_its_fraction_and_the_event_date_drops_it(s):
    universe(1)
    seen = []
    tdt.convert_int_to_whole_date = lambda v: seen.append(v) or "DATE"
    s.on_bar(bar(2500))
    assert s.current_trade_dt == 2.5 and type(s.current_trade_dt) is float
    assert seen == [2] and type(seen[0]) is int
    assert drain()[0].calendar_dt == "DATE"


def test_the_day_switch_keeps_the_counter(s):
    universe(2)
    s.on_bar(bar())
    tdt.history_bar.clear()
    s.on_bar(bar())
    assert len(drain()) == 1
    assert len(tdt.history_bar[CODE]) == 1


def test_bar_dict_and_unbounded_history(s):
    for i in range(75):
        s.on_bar(bar(T + i * 60000))
    s.on_bar(bar(T, security_id="000002"))
    ring = tdt.history_bar[CODE]
    assert len(ring) == 75 and len(tdt.history_bar["000002.XSHE"]) == 1
    assert ring[-1] == {"market_code": CODE,
                        "orig_time": datetime.datetime.fromtimestamp((T + 74 * 60000) / 1000),
                        "open_price": 1.0, "close_price": 2.0, "high_price": 3.0, "low_price": 0.5,
                        "total_turnover": 1000.0, "volume": 500, "prev_close": 1.5}
    assert list(ring[-1]) == ["market_code", "orig_time", "open_price", "close_price", "high_price",
                              "low_price", "total_turnover", "volume", "prev_close"]


def test_bar_queries(s):
    assert tdt.get_current_bar(CODE) is None and tdt.history_bars(CODE, 1) is None
    s.on_bar(bar(T))
    s.on_bar(bar(T2))
    newest = tdt.get_current_bar(CODE)
    assert newest["orig_time"] == datetime.datetime.fromtimestamp(T2 / 1000)
    assert tdt.history_bars(CODE, 1)[0] is newest
    assert tdt.history_bars(CODE, 5) == list(tdt.history_bar[CODE])


@pytest.mark.parametrize("current, reads", [
    (0, ["security_id", "market_type", "end_time", "open", "close", "high", "low", "amount", "volume",
         "prev_close", "end_time"]),
    (1.0, ["security_id", "market_type", "end_time", "open", "close", "high", "low", "amount", "volume",
           "prev_close", "end_time", "end_time"]),
])
def test_bar_attributes_are_read_in_order(s, current, reads):
    s.current_trade_dt = current
    record = Recorder(**FIELDS)
    s.on_bar(record)
    assert record.reads == reads


def test_a_failing_universe_leaves_the_counter_updated_and_posts_nothing(s, monkeypatch):
    def broken(self):
        raise RuntimeError("no universe")
    monkeypatch.setattr(Environment, "get_universe", broken)
    with pytest.raises(RuntimeError, match="no universe"):
        s.on_bar(bar())
    assert (s.bar_cnt, s.current_trade_dt) == (1, T / 1000)
    assert len(tdt.history_bar[CODE]) == 1
    assert drain() == []


def test_a_failing_post_leaves_the_counter_at_the_universe_size(s):
    universe(2)
    s.on_bar(bar())
    real_event = tdt.Event

    def broken(*args, **kwargs):
        raise RuntimeError("no event")
    tdt.Event = broken
    with pytest.raises(RuntimeError, match="no event"):
        s.on_bar(bar())
    assert s.bar_cnt == 2 and drain() == []
    tdt.Event = real_event
    s.on_bar(bar())                             # the same period overshoots: no event
    assert s.bar_cnt == 3 and drain() == []
    s.on_bar(bar(T2))
    s.on_bar(bar(T2))                           # a new period restarts the run
    assert s.bar_cnt == 0 and len(drain()) == 1


def test_a_failing_market_code_changes_nothing(s):
    tdt.get_exchane_from_tovik_mdtype = lambda market_type: 1 / 0
    with pytest.raises(ZeroDivisionError):
        s.on_bar(bar())
    assert (s.bar_cnt, s.current_trade_dt, tdt.history_bar) == (0, 0, {})


def test_counter_writes_honour_a_descriptor_added_to_the_class(s):
    universe(5)
    s.on_bar(bar())
    s.on_bar(bar())
    stored = []
    tdt.TovikStrategy.bar_cnt = property(lambda self: self.__dict__["bar_cnt"], lambda self, value: stored.append(value))
    try:
        s.on_bar(bar())
    finally:
        del tdt.TovikStrategy.bar_cnt
    assert stored == [3] and s.__dict__["bar_cnt"] == 2
    s.on_bar(bar())
    assert s.bar_cnt == 3
