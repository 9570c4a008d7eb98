"""The trading-day clock: timetable, daily re-arming, day events, day switch."""

import datetime
import time
import types

import numpy as np
import pytest

from conftest import CACHES, drain, tdt
from halvex.lumet.core.events import EVENT
from halvex.lumet.utils import logger

DAY = datetime.date(2024, 3, 4)
NS_PER_S = 1000000000
H, M = 3600 * NS_PER_S, 60 * NS_PER_S


def set_clock(hour, minute=0, second=0, microsecond=0, trading=True):
    """Rebinds the module's `datetime` and `np` so that now is DAY at the given time."""
    moment = datetime.datetime.combine(DAY, datetime.time(hour, minute, second, microsecond))

    class Clock(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls.combine(moment.date(), moment.time())

    seen = []

    def datetime64(*args):
        seen.append(args)
        return np.datetime64(DAY if trading else DAY + datetime.timedelta(days=1), "D")

    tdt.datetime = Clock
    tdt.np = types.SimpleNamespace(datetime64=datetime64)
    return moment, seen


def make():
    return tdt.TovikStrategy(types.SimpleNamespace(base=types.SimpleNamespace(
        trading_calendar=[np.datetime64("2024-03-01"), np.datetime64(DAY)])))


def timers(s):
    return [(args[0], args[1].__name__) for name, args in s.context.calls if name == "add_timer_interval"]


@pytest.mark.parametrize("now, expected", [
    ((7, 0), [(2 * H, "send_before_trading_event"), (2 * H + 24 * M, "send_open_auction_event"),
              (8 * H + 30 * M, "send_after_trading_event")]),
    ((9, 0), [(3 * NS_PER_S, "send_before_trading_event"), (24 * M, "send_open_auction_event"),
              (6 * H + 30 * M, "send_after_trading_event")]),
    ((9, 25), [(3 * NS_PER_S, "send_before_trading_event"), (-M, "send_open_auction_event"),
               (6 * H + 5 * M, "send_after_trading_event")]),
    ((9, 27), [(3 * NS_PER_S, "send_before_trading_event"), (6 * H + 3 * M, "send_after_trading_event")]),
    ((10, 0), [(3 * NS_PER_S, "send_before_trading_event"), (5 * H + 30 * M, "send_after_trading_event")]),
    ((16, 0), [(3 * NS_PER_S, "send_before_trading_event"), (20 * NS_PER_S, "send_after_trading_event")]),
])
def test_timetable(now, expected):
    _, seen = set_clock(*now)
    s = make()
    s.create_time_listener()
    assert timers(s) == expected
    assert seen == [("today", "D")]
    assert all(args[1].__self__ is s for _, args in s.context.calls)


@pytest.mark.parametrize("microsecond, delay", [
    (500000, 1500000000),
    (926260, 1073739999),  # 1.07374 s: the float product is truncated, not rounded
])
def test_delay_is_the_truncated_nanosecond_count(microsecond, delay):
    set_clock(8, 59, 58, microsecond)
    s = make()
    s.create_time_listener()
    assert timers(s)[0] == (delay, "send_before_trading_event")


def test_not_a_trading_day_only_logs():
    set_clock(7, trading=False)
    s = make()
    s.create_time_listener()
    assert s.context.calls == []
    calendar = s.config.base.trading_calendar
    assert logger.system_log.lines() == ["2024-03-05 not trade day... %s" % (calendar,)]


@pytest.mark.parametrize("trading, day_timers", [(True, 3), (False, 0)])
def test_set_timer_rearms_for_eight_tomorrow(trading, day_timers):
    set_clock(7, trading=trading)
    s = make()
    s.set_timer()
    armed = timers(s)
    assert len(armed) == day_timers + 1
    assert armed[-1] == (25 * H, "set_timer")
    assert s.context.calls[-1][1][1] == s.set_timer


class BrokenCalendar:
    def __contains__(self, item):
        raise LookupError("calendar unavailable")


def test_daily_chain_survives_a_failing_listener():
    set_clock(7)
    s = make()
    s.config.base.trading_calendar = BrokenCalendar()
    with pytest.raises(LookupError, match="calendar unavailable"):
        s.set_timer()
    assert timers(s) == [(25 * H, "set_timer")]


def test_failing_rearm_reports_its_own_error_after_a_failing_listener():
    set_clock(7)
    s = make()
    s.config.base.trading_calendar = BrokenCalendar()
    del s.context
    with pytest.raises(AttributeError) as info:
        s.set_timer()
    assert isinstance(info.value.__context__, LookupError)


def test_armed_timers_post_the_day_events_in_order():
    set_clock(7)
    s = make()
    tdt.orders_dict[1] = "order"
    s.create_time_listener()
    assert s.context.timers.fire_due(time.monotonic_ns() + 9 * H) == 3
    assert [event.event_type for event in drain()] == [EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION,
                                                       EVENT.AFTER_TRADING]
    assert tdt.orders_dict == {} and s.context.timers.errors == []


@pytest.mark.parametrize("method, kind", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING),
    ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING),
])
def test_day_event_carries_the_time_of_sending(method, kind):
    moment, _ = set_clock(15, 30, 2, 7)
    seen_on_clear = []

    class Orders(dict):
        def clear(self):
            seen_on_clear.append(len(tdt.event_queue))
            super().clear()

    tdt.orders_dict = Orders(a=1)
    getattr(make(), method)()
    [event] = drain()
    assert event.event_type is kind
    assert list(event.kwargs.items()) == [("calendar_dt", moment), ("trading_dt", moment)]
    assert seen_on_clear == ([1] if kind is EVENT.AFTER_TRADING else [])


def test_day_switch_empties_the_caches_in_place():
    caches = [getattr(tdt, name) for name in CACHES]
    for cache in caches:
        cache["k"] = "v"
    tdt.event_queue.append("queued")
    make().on_switch_day()
    assert [getattr(tdt, name) for name in CACHES] == caches == [{}] * 6
    assert all(getattr(tdt, name) is cache for name, cache in zip(CACHES, caches))
    assert drain() == ["queued"]
