"""The host's queries over the tick and bar histories."""

import collections

import pytest

import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Snapshot

CODE = "000001.XSHE"


def feed(strategy, n):
    for i in range(n):
        strategy.on_snapshot(Snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=1000 * i,
                                      last_price=i))


@pytest.mark.parametrize("query", [
    lambda: tdt.get_current_tick(CODE), lambda: tdt.history_ticks(CODE, 5),
    lambda: tdt.get_current_bar(CODE), lambda: tdt.history_bars(CODE, 5),
    lambda: tdt.history_ticks(CODE, "not a count"), lambda: tdt.history_bars(CODE, -1),
])
def test_a_code_without_a_buffer_gives_none(query):
    assert query() is None


@pytest.mark.parametrize("count, expected", [
    (1, [74]), (3, [72, 73, 74]), (60, list(range(15, 75))), (100, list(range(15, 75))), (0, []),
    (True, [74]), (10 ** 30, list(range(15, 75))),
])
def test_windows_are_the_newest_records_oldest_first(strategy, count, expected):
    feed(strategy, 75)
    window = tdt.history_ticks(CODE, count)
    assert type(window) is list and [t["last_price"] for t in window] == expected
    if window:
        assert window[-1] is tdt.get_current_tick(CODE)


@pytest.mark.parametrize("count, error", [(-1, ValueError), (1.0, TypeError), ("2", TypeError), (None, TypeError)])
def test_unusable_counts_are_refused(strategy, count, error):
    feed(strategy, 3)
    with pytest.raises(error):
        tdt.history_ticks(CODE, count)
    assert len(tdt.history_tick[CODE]) == 3


def test_window_does_not_follow_later_records(strategy):
    feed(strategy, 2)
    window = tdt.history_ticks(CODE, 10)
    feed(strategy, 1)
    assert len(window) == 2 and window[0] is tdt.history_tick[CODE][0]


def test_unhashable_code_raises_the_dictionary_error():
    with pytest.raises(TypeError):
        tdt.get_current_tick([])


class Vanishing(dict):
    """A mapping whose entries disappear between the membership test and the fetch."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        raise KeyError(key)


def test_a_buffer_that_vanishes_mid_query_reads_as_absent():
    tdt.history_bar = Vanishing()
    assert tdt.get_current_bar(CODE) is None
    assert tdt.history_bars(CODE, 3) is None


def test_host_mapping_in_place_of_the_history_is_honoured():
    tdt.history_tick = collections.OrderedDict({CODE: collections.deque([1, 2])})
    assert tdt.get_current_tick(CODE) == 2 and tdt.history_ticks(CODE, 1) == [2]
