"""The fast paths, seen through the stats build's counters (`tdt._fastpath_stats()`): each path meant
to exist on this interpreter is taken on the warm path of every hot entry point, without a miss or a
relearning, and is refused where its guard must fail, with the result plain Python gives. Also, on
every build: the module makes no instance dict that plain Python code would not make.
"""

import collections
import enum
import json
import subprocess
import ctypes
import os
import sys
import sysconfig

import pytest

from conftest import ROOT, drain
import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Snapshot, TickTrade

sys.path.insert(0, os.path.join(ROOT, "bench"))
import bench as B  # noqa: E402

STATS = hasattr(tdt, "_fastpath_stats")
stats_only = pytest.mark.skipif(not STATS, reason="counters exist in the stats build only")
V = sys.version_info[:2]
KNOWN = V <= (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")
INLINE = KNOWN and V >= (3, 11)  # instance attributes kept as inline values
T = 1700000040000


def paths_meant(label, records, host):
    """The paths every warm call of the entry point takes on this interpreter."""
    with_record = label not in ("get_current_tick", "history_ticks(code, 60)")
    meant = {"global"}
    if not with_record and KNOWN:
        meant.add("deque_window")  # the newest tick, or the newest 60, read from the deque's blocks
    if with_record:
        meant |= {"method", "class_value"}  # event_queue.append; enumeration members
        if label != "on_bar":
            meant.add("dict_equal_key")  # the lean host's EVENT, a namespace of keys made from text
        if label in ("on_snapshot", "on_bar", "on_order (fill)"):
            meant.add("classmethod")  # the host model factories
        if records == "slots":
            meant.add("read_slot")
        else:
            meant.add("read_inline" if INLINE else "read_dict_entry")
        if label == "on_bar" and not INLINE:
            meant.add("store_dict")  # the strategy's bar counter, in the dict it has
        if label in ("on_snapshot", "on_bar"):
            meant.add("dict_template")
            if records == "slots":
                meant.add("read_table")
    return meant


@stats_only
@pytest.mark.parametrize("records", ["slots", "dict"])
def test_warm_path_takes_the_fast_paths_meant_for_this_interpreter(records):
    # In a fresh interpreter: sites that other tests taught many classes are backing off.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "counters.py"), "--records", records,
                          "--calls", "20", "--json"], env=env, capture_output=True, text=True, check=True)
    counts = json.loads(out.stdout.strip().splitlines()[-1])["counts"]
    for label, paths in counts.items():
        hit = {path for path, c in paths.items() if c["hit"]}
        assert paths_meant(label, records, "lean") <= hit, label
        refused = {path: c for path, c in paths.items() if c["miss"] or c["learn"]}
        if V < (3, 11):
            refused.pop("text", None)  # an IntEnum formats through Enum.__format__ there: never int's
        assert refused == {}, label
        if label == "on_order (fill)":
            assert ("text" in hit) == (V >= (3, 11))  # the log line's IntEnum status, by its value


@stats_only
def test_layouts_checked_at_load():
    assert tdt._fastpath_stats()["layouts"] == {
        "dict_entries": KNOWN, "inline_values": INLINE, "managed_dict": INLINE, "member_slots": KNOWN,
        "deque_blocks": KNOWN, "classmethod_callable": KNOWN}


# ---- guards that must refuse --------------------------------------------------------------------

def _counts():
    return {p: dict(c) for p, c in tdt._fastpath_stats().items() if p != "layouts"}


def _taken(before, path):
    after = tdt._fastpath_stats()[path]
    return {event: after[event] - before[path][event] for event in after}


class _PropertyPrice(Snapshot):
    __slots__ = ()
    last_price = property(lambda self: 99.0, lambda self, value: None)


class _OwnAppend(collections.deque):
    def append(self, item):
        super().append(("wrapped", item))


def _snapshot(cls=Snapshot):
    return cls(**dict(Snapshot._fields, orig_time=T, security_id="000001", market_type=MarketType.SZSE))


def _trade():
    return TickTrade(**dict(TickTrade._fields, trade_time=T, security_id="000001", market_type=MarketType.SZSE,
                            bid_appl_seq_num=7, offer_appl_seq_num=5, trade_type=70))


@stats_only
def test_field_table_refuses_a_class_with_a_property(strategy):
    for _ in range(3):
        strategy.on_snapshot(_snapshot())
    drain()
    before = _counts()
    strategy.on_snapshot(_snapshot(_PropertyPrice))
    (event,) = drain()
    assert tdt.history_tick["000001.XSHE"][-1]["last_price"] == 99.0
    assert _taken(before, "read_table")["hit"] == 0


@stats_only
def test_method_site_refuses_a_queue_with_its_own_append(strategy, monkeypatch):
    for _ in range(3):
        strategy.on_tick_trade(_trade())
    drain()
    queue = _OwnAppend()
    monkeypatch.setattr(tdt, "event_queue", queue)
    for _ in range(3):
        before = _counts()
        strategy.on_tick_trade(_trade())
        assert _taken(before, "method")["hit"] == 0
    assert [item[0] for item in queue] == ["wrapped"] * 3


@stats_only
def test_alternating_record_classes_back_off(strategy):
    """Two classes taking turns at the same reads: after a few relearnings the sites stop learning."""
    class Other(TickTrade):
        __slots__ = ()
    records = [_trade(), Other(**{name: getattr(_trade(), name) for name, _ in TickTrade._fields})]
    before = _counts()
    for i in range(200):
        strategy.on_tick_trade(records[i % 2])
    drain()
    learned = _taken(before, "read_slot")["learn"]
    per_call_sites = 12
    assert learned < per_call_sites * 15  # about log2(200) relearnings per site, not one per call


# ---- no instance dict made ------------------------------------------------------------------------

def dict_made(obj):
    """Whether the interpreter has made obj's __dict__ (its attributes are no longer inline values),
    read without making it."""
    word = ctypes.c_void_p.from_address(id(obj) - 3 * ctypes.sizeof(ctypes.c_void_p)).value or 0
    if V == (3, 12):
        return word != 0 and not word & 1  # odd: the inline values' address, tagged
    return word != 0


@pytest.mark.skipif(not INLINE, reason="instances keep inline values from 3.11 on")
def test_warm_callbacks_leave_instance_values_inline():
    from pytovik.strategy import TovikStrategy as SdkBase

    class Strategy(tdt.TovikStrategy):  # classes of this test's own, whose instances start inline
        pass

    class PlainTrade:
        def __init__(self, **fields):
            for name, value in fields.items():
                setattr(self, name, value)

    strategy = Strategy.__new__(Strategy)
    SdkBase.__init__(strategy)
    strategy.bar_cnt = 0
    strategy.current_trade_dt = 0
    fields = {name: getattr(_trade(), name) for name, _ in TickTrade._fields}
    first = PlainTrade(**{k: v for k, v in fields.items() if k != "value_trade"})  # lacks a field
    records = [PlainTrade(**fields) for _ in range(3)]
    bar = B.make_record("bar", "dict")
    assert not any(dict_made(o) for o in [strategy, first, bar] + records)
    with pytest.raises(AttributeError):
        strategy.on_tick_trade(first)
    for record in records:
        strategy.on_tick_trade(record)
        strategy.on_bar(bar)
    drain()
    assert [dict_made(o) for o in [strategy, first, bar] + records] == [False] * 6


# ---- guards on the warm path ---------------------------------------------------------------------

class _Other:
    __slots__ = ("a", "security_id")


def _foreign_record_class():
    """A record class whose security_id is another class's slot descriptor, at an offset that falls
    on a slot of its own: reading it must raise as getattr does, not read that slot."""
    ns = {"__slots__": ("x0", "x1", "x2")}
    ns.update({k: v for k, v in Snapshot._fields if k != "security_id"})
    ns.update(orig_time=T, market_type=MarketType.SZSE, security_id=_Other.__dict__["security_id"])
    cls = type("ForeignRecord", (), ns)
    record = cls()
    record.x0 = record.x1 = record.x2 = "STRAY"
    return record


def test_foreign_slot_descriptor_raises_on_every_warm_call(strategy):
    for _ in range(3):
        strategy.on_snapshot(_snapshot())
    record = _foreign_record_class()
    with pytest.raises(TypeError) as python:
        record.security_id
    for _ in range(3):
        with pytest.raises(TypeError) as native:
            strategy.on_snapshot(record)
        assert str(native.value) == str(python.value)


class _QueueWithDict(collections.deque):
    pass


def test_instance_attribute_shadowing_append_is_called(strategy, monkeypatch):
    for _ in range(3):
        strategy.on_tick_trade(_trade())
    drain()
    queue = _QueueWithDict()
    seen = []
    queue.append = seen.append
    monkeypatch.setattr(tdt, "event_queue", queue)
    for _ in range(3):
        strategy.on_tick_trade(_trade())
    assert len(seen) == 3 and len(queue) == 0


def test_more_classes_than_a_class_value_site_keeps(strategy, monkeypatch):
    """Nine factories taking turns at one site that keeps six: each call uses its own class's."""
    from pytovik.records import TickOrder
    record = TickOrder(order_time=T, security_id="000001", market_type=MarketType.SZSE, side=49, order_type=50,
                       biz_index=11)

    def factory(tag, kind):
        def make(*values):
            return (tag, values[0])
        return kind(make) if kind else make
    kinds = [staticmethod, None, classmethod]
    classes = [type("F%d" % i, (), {"__from_create__": factory(i, kinds[i % 3])}) for i in range(9)]
    for round_ in range(40):
        for i, cls in enumerate(classes):
            monkeypatch.setattr(tdt, "L2Order", cls)
            strategy.on_tick_order(record)
            made = drain()[-1].l2_order
            assert made == (i, cls if kinds[i % 3] is classmethod else 11)


# ---- comparisons of built-in numbers and enumeration members ------------------------------------

class _Int(int):
    pass


class _Contrary(int):
    def __gt__(self, other):
        return not int.__gt__(self, other)


class _Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@pytest.mark.parametrize("bid, offer", [
    (7, 5), (5, 7), (5, 5), (True, False), (2 ** 70, 2 ** 70 - 1), (-2 ** 70, 3), (_Int(9), 8),
    (_Contrary(9), 8), (_Level.HIGH, _Level.LOW), (_Level.LOW, 1), (1.5, 1.25), (float("nan"), 1.0),
    (-0.0, 0.0), (3, 2.5), (2.5, _Int(3)),
])
def test_aggressor_side_compares_as_python_does(strategy, bid, offer):
    from halvex.lumet.const import SIDE
    record = _trade()
    record.bid_appl_seq_num, record.offer_appl_seq_num = bid, offer
    for _ in range(3):
        strategy.on_tick_trade(record)
    assert drain()[-1].l2_transaction.side is (SIDE.BUY if bid > offer else SIDE.SELL)
