"""Snapshots: the tick dictionary, the ring of 60 per code, the TICK event."""

import builtins
import collections
import sys

import pytest

import halvex.lumet.utils.trade_data_thread as tdt
from conftest import Recorder, drain
from halvex.lumet.core.events import EVENT
from pytovik.enums import MarketType
from pytovik.records import Snapshot

T0 = 1700000000000  # epoch milliseconds

COPIED = [  # tick key, snapshot attribute
    ("open_price", "open_price"), ("close_price", "close_price"), ("high_price", "high_price"),
    ("low_price", "low_price"), ("total_turnover", "total_value_trade"), ("volume", "total_volume_trade"),
    ("prev_close", "pre_close_price"), ("ask_vols", "ask_volume"), ("asks", "ask_price"),
    ("bid_vols", "bid_volume"), ("bids", "bid_price"), ("high_limited", "high_limited"),
    ("last_price", "last_price"), ("low_limited", "low_limited"), ("open_interest", "open_interest"),
    ("prev_settlement", "prev_settlement"), ("iopv", "iopv"), ("trading_phase_code", "trading_phase_code"),
]


def snap(security_id="000001", market_type=MarketType.SZSE, orig_time=T0, **fields):
    return Snapshot(security_id=security_id, market_type=market_type, orig_time=orig_time, **fields)


def distinct_fields():
    """Every copied attribute with its own distinct object, so identity checks are meaningful."""
    return {attr: [i, object()] for i, (_, attr) in enumerate(COPIED)}


def test_tick_dictionary_ring_and_event(strategy):
    fields = distinct_fields()
    strategy.on_snapshot(snap(**fields))
    ring = tdt.history_tick["000001.XSHE"]
    assert isinstance(ring, collections.deque) and ring.maxlen == 60 and len(ring) == 1
    tick = ring[0]
    assert list(tick) == ["market_code", "datetime"] + [k for k, _ in COPIED]
    assert tick["market_code"] == "000001.XSHE"
    assert all(tick[key] is fields[attr] for key, attr in COPIED)
    [event] = drain()
    assert event.event_type is EVENT.TICK and list(event.kwargs) == ["calendar_dt", "trading_dt", "tick"]
    assert event.calendar_dt is event.trading_dt is tick["datetime"]
    assert event.tick._tick_dict is tick  # one object shared by the ring and the TickObject
    assert event.tick.instrument.market_code == "000001.XSHE"


def test_attribute_read_order(strategy):
    record = Recorder(orig_time=T0, security_id="1", market_type=MarketType.SSE,
                      **{attr: 0 for _, attr in COPIED})
    strategy.on_snapshot(record)
    assert record.reads == ["orig_time", "security_id", "market_type"] + [attr for _, attr in COPIED]


def test_ring_keeps_the_newest_60(strategy):
    for i in range(61):
        strategy.on_snapshot(snap(orig_time=T0 + i, last_price=i))
    ring = tdt.history_tick["000001.XSHE"]
    assert [t["last_price"] for t in ring] == list(range(1, 61))
    assert len(drain()) == 61


def test_one_security_on_two_markets_has_two_rings(strategy):
    strategy.on_snapshot(snap(market_type=MarketType.SZSE))
    strategy.on_snapshot(snap(market_type=MarketType.SSE))
    assert sorted(tdt.history_tick) == ["000001.XSHE", "000001.XSHG"]


@pytest.mark.parametrize("orig_time, seconds", [(500, 0.5), (2000, 2.0), (T0 + 1, (T0 + 1) / 1000),
                                                (2 ** 60 + 1, (2 ** 60 + 1) / 1000)])
def test_record_time_is_a_true_division(strategy, orig_time, seconds):
    seen = []
    tdt.convert_int_to_datetime = lambda s: seen.append(s) or "dt"
    strategy.on_snapshot(snap(orig_time=orig_time))
    assert seen == [seconds] and type(seen[0]) is float


def test_fresh_ring_after_the_day_switch(strategy):
    strategy.on_snapshot(snap())
    tdt.history_tick.clear()
    strategy.on_snapshot(snap(last_price=7))
    assert [t["last_price"] for t in tdt.history_tick["000001.XSHE"]] == [7]


def failing(*args, **kwargs):
    raise RuntimeError("host failure")


@pytest.mark.parametrize("global_name, cached", [
    ("convert_int_to_datetime", False),
    ("get_exchane_from_tovik_mdtype", False),
    ("deque", False),
    ("TickObject", True),
    ("Event", True),
])
def test_what_stays_done_when_a_step_fails(strategy, global_name, cached):
    setattr(tdt, global_name, failing)
    with pytest.raises(RuntimeError, match="host failure"):
        strategy.on_snapshot(snap())
    assert ("000001.XSHE" in tdt.history_tick) is cached
    assert drain() == []


def test_instrument_lookup_failure_keeps_the_tick(strategy, monkeypatch):
    from halvex.lumet.environment import Environment
    monkeypatch.setattr(Environment.get_instance().data_proxy, "instruments", failing)
    with pytest.raises(RuntimeError):
        strategy.on_snapshot(snap(last_price=3))
    assert tdt.get_current_tick("000001.XSHE")["last_price"] == 3
    assert drain() == []


@pytest.mark.parametrize("in_builtins", [False, True])
def test_missing_global_is_a_builtin_or_a_name_error(strategy, monkeypatch, in_builtins):
    history = {}
    del tdt.history_tick
    if in_builtins:
        monkeypatch.setattr(builtins, "history_tick", history, raising=False)
        strategy.on_snapshot(snap())
        assert list(history) == ["000001.XSHE"]
    else:
        with pytest.raises(NameError, match="name 'history_tick' is not defined"):
            strategy.on_snapshot(snap())


def test_rebound_globals_are_seen_by_the_next_call(strategy):
    queue = collections.deque()
    tdt.event_queue = queue
    strategy.on_snapshot(snap())
    assert len(queue) == 1 and queue[0].event_type is EVENT.TICK


class SlotRecord:
    __slots__ = ("orig_time", "security_id", "market_type") + tuple(a for _, a in COPIED)


def test_slot_cache_follows_type_changes(strategy):
    record = SlotRecord()
    for name in SlotRecord.__slots__:
        setattr(record, name, 0)
    record.orig_time, record.security_id, record.market_type = T0, "9", MarketType.SSE
    strategy.on_snapshot(record)
    strategy.on_snapshot(record)
    # A type that starts overriding lookup must be honoured at once.
    SlotRecord.__getattribute__ = lambda self, name: "X" if name == "trading_phase_code" else \
        object.__getattribute__(self, name)
    try:
        strategy.on_snapshot(record)
    finally:
        del SlotRecord.__getattribute__
    del record.iopv
    with pytest.raises(AttributeError):
        strategy.on_snapshot(record)
    codes = [t["trading_phase_code"] for t in tdt.history_tick["9.XSHG"]]
    assert codes == [0, 0, "X"]


def test_no_references_leak(strategy):
    tdt.event_queue = collections.deque()  # the ring buffer keeps popped slots until overwritten
    fields = distinct_fields()
    record = snap(**fields)
    values = list(fields.values())
    before = [sys.getrefcount(v) for v in values] + [sys.getrefcount(record)]
    for _ in range(200):
        strategy.on_snapshot(record)
        tdt.event_queue.clear()
    tdt.history_tick.clear()
    after = [sys.getrefcount(v) for v in values] + [sys.getrefcount(record)]
    assert after == before


def test_event_kind_follows_changes_to_the_host_enumeration(strategy):
    class Kinds:
        TICK = "first"

    tdt.EVENT = Kinds
    strategy.on_snapshot(snap())
    strategy.on_snapshot(snap())
    Kinds.TICK = "second"
    strategy.on_snapshot(snap())

    class Meta(type):
        @property
        def TICK(cls):
            return "from the metaclass"

    tdt.EVENT = Meta("Kinds", (object,), {"TICK": "shadowed"})
    strategy.on_snapshot(snap())
    assert [e.event_type for e in drain()] == ["first", "first", "second", "from the metaclass"]


class DictRecord(Exception):
    """A record type whose instances keep their attributes in a dict at a fixed offset."""


@pytest.mark.parametrize("record_type", [DictRecord, type("PlainRecord", (object,), {})])
def test_instance_dict_records_follow_class_changes(strategy, record_type):
    record = record_type()
    for _, attr in COPIED:
        setattr(record, attr, 0)
    record.orig_time, record.security_id, record.market_type = T0, "8", MarketType.SSE
    strategy.on_snapshot(record)
    strategy.on_snapshot(record)
    record_type.iopv = property(lambda self: "from the class")  # a data descriptor wins over the dict
    try:
        strategy.on_snapshot(record)
    finally:
        del record_type.iopv
    del record.__dict__["open_price"]
    with pytest.raises(AttributeError):
        strategy.on_snapshot(record)
    record_type.open_price = "class default"  # a plain class attribute fills in for the dict
    try:
        strategy.on_snapshot(record)
    finally:
        del record_type.open_price
    ticks = list(tdt.history_tick["8.XSHG"])
    assert [t["iopv"] for t in ticks] == [0, 0, "from the class", 0]
    assert ticks[-1]["open_price"] == "class default"


@pytest.mark.parametrize("security_id, suffix, expected", [
    ("000001", "XSHE", "000001.XSHE"),
    ("\u00e91\u4e2d", "XSHE", "\u00e91\u4e2d.XSHE"),
    ("1", "\U0001f600", "1.\U0001f600"),
    (123, "XSHE", TypeError),  # the str + int error comes before the suffix is fetched
    ("1", 5, TypeError),
])
def test_market_code_is_a_plain_concatenation(strategy, security_id, suffix, expected):
    calls = []
    tdt.get_exchane_from_tovik_mdtype = lambda market_type: calls.append(market_type) or suffix
    if expected is TypeError:
        with pytest.raises(TypeError):
            strategy.on_snapshot(snap(security_id=security_id))
        assert calls == ([] if not isinstance(security_id, str) else [MarketType.SZSE])
    else:
        strategy.on_snapshot(snap(security_id=security_id))
        assert list(tdt.history_tick) == [expected] and type(list(tdt.history_tick)[0]) is str


def test_each_queue_gets_its_own_append(strategy):
    plain = collections.deque()
    tdt.event_queue = plain
    strategy.on_snapshot(snap())
    strategy.on_snapshot(snap())

    class Counting(collections.deque):
        __slots__ = ()  # no instance dict: only the overriding method tells it apart
        appended = []

        def append(self, event):
            Counting.appended.append(event)

    counting = Counting()
    tdt.event_queue = counting
    strategy.on_snapshot(snap())
    listed = []
    tdt.event_queue = listed
    strategy.on_snapshot(snap())
    assert len(plain) == 2 and len(counting) == 0 and len(Counting.appended) == 1 and len(listed) == 1
