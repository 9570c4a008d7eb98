"""Algo orders: response forwarding, and the cached parent-order, child-order and child-trade updates."""

import copy as stdlib_copy
import enum

import pytest

import pytovik.enums
from conftest import Recorder, drain
from halvex.lumet.core.events import EVENT
from halvex.lumet.utils import logger
from pytovik.enums import AlgoControlType
from pytovik.records import (AlgoLoginRes, CancelParentOrderRes, ChildOrderTrade, ChildOrderUpdate,
                             ControlParentOrderRes, CreateParentOrderRes, ParentOrderUpdate)

import halvex.lumet.utils.trade_data_thread as tdt


def values(*names):
    """A distinct object per field, so identity shows which attribute went where."""
    return {name: type("V_" + name, (), {})() for name in names}


# ---- responses -----------------------------------------------------------------------------------

LOGIN = [("req_id", "client_seq_id"), ("algo_account", "trader_id"), ("code", "error_code"), ("msg", "error_msg")]
CREATE = [("req_id", "client_seq_id"), ("parent_order_id", "sys_quote_id"), ("code", "error_code"),
          ("msg", "error_msg")]
CANCEL_OR_CONTROL = [("parent_order_id", "sys_quote_id"), ("code", "error_code"), ("msg", "error_msg")]
PAUSE, RESUME = {"control_type": AlgoControlType.Pause}, {"control_type": AlgoControlType.Resume}
CONTROL = "on_control_algo_parent_order_res"

# callback, record class, extra record fields, reads before the fields, event, [(keyword, attribute)]
RESPONSES = [
    ("on_algo_login", AlgoLoginRes, {}, [], EVENT.ALGO_LOGIN, LOGIN),
    ("on_create_algo_parent_order_res", CreateParentOrderRes, {}, [], EVENT.PARENT_ORDER_CREATE, CREATE),
    ("on_cancel_algo_parent_order_res", CancelParentOrderRes, {}, [], EVENT.PARENT_ORDER_CANCEL, CANCEL_OR_CONTROL),
    # the resume test reads the control type again
    (CONTROL, ControlParentOrderRes, PAUSE, ["control_type"], EVENT.PARENT_ORDER_PAUSE, CANCEL_OR_CONTROL),
    (CONTROL, ControlParentOrderRes, RESUME, ["control_type"] * 2, EVENT.PARENT_ORDER_RESUME, CANCEL_OR_CONTROL),
]


@pytest.mark.parametrize("callback, record_cls, extra, first_reads, kind, fields", RESPONSES,
                         ids=["login", "create", "cancel", "pause", "resume"])
def test_response_forwards_its_fields_unchanged(strategy, callback, record_cls, extra, first_reads, kind, fields):
    fields_in = values(*(attr for _, attr in fields))
    fields_in["error_code"] = -100017  # a failed response is forwarded like any other
    assert getattr(strategy, callback)(record_cls(**fields_in, **extra)) is None
    [event] = drain()
    assert event.event_type is kind
    assert list(event.kwargs) == [kw for kw, _ in fields]
    for kw, attr in fields:
        assert event.kwargs[kw] is fields_in[attr]
    assert logger.system_log.lines() == [] and logger.user_system_log.lines() == []

    record = Recorder(**dict.fromkeys(fields_in, 0), **extra)
    getattr(strategy, callback)(record)
    assert record.reads == first_reads + [attr for _, attr in fields]


@pytest.mark.parametrize("control_type, kinds", [
    (1, [EVENT.PARENT_ORDER_PAUSE]),  # compared by equality, not identity
    (2, [EVENT.PARENT_ORDER_RESUME]),
    (0, []), (3, []), (None, []), ("Pause", []),
])
def test_control_type_selects_the_event(strategy, control_type, kinds):
    record = Recorder(control_type=control_type, sys_quote_id=1, error_code=0, error_msg="")
    assert strategy.on_control_algo_parent_order_res(record) is None
    assert [e.event_type for e in drain()] == kinds
    if not kinds:
        assert record.reads == ["control_type", "control_type"]
    assert logger.system_log.lines() == [] and logger.user_system_log.lines() == []


def test_control_type_is_imported_at_each_call(strategy, monkeypatch):
    class Renumbered(enum.IntEnum):
        Pause = 7
        Resume = 8

    monkeypatch.setattr(pytovik.enums, "AlgoControlType", Renumbered)
    strategy.on_control_algo_parent_order_res(ControlParentOrderRes(control_type=8))
    strategy.on_control_algo_parent_order_res(ControlParentOrderRes(control_type=AlgoControlType.Pause))
    assert [e.event_type for e in drain()] == [EVENT.PARENT_ORDER_RESUME]


# ---- updates -------------------------------------------------------------------------------------

# callback, record class, cache, host class global, event, keyword
STREAMS = [
    ("on_algo_parent_order_update", ParentOrderUpdate, "algo_parent_orders", "AlgoParentOrder",
     EVENT.PARENT_ORDER_UPDATE, "algo_parent_order"),
    ("on_algo_child_order_update", ChildOrderUpdate, "algo_child_orders", "AlgoChildOrder",
     EVENT.CHILD_ORDER_UPDATE, "algo_child_order"),
    ("on_algo_child_order_trade", ChildOrderTrade, "algo_child_trades", "AlgoChildTrade",
     EVENT.CHILD_ORDER_TRADE, "algo_child_trade"),
]
stream_params = pytest.mark.parametrize("callback, record_cls, cache, model, kind, keyword", STREAMS,
                                        ids=[s[0] for s in STREAMS])


class Made:
    def __init__(self, record, existing):
        self.record, self.existing = record, existing


def recording_factory(monkeypatch, model):
    """Rebinds the host class global to one whose from_tovik logs (record, existing) and returns a new Made."""
    calls = []

    class Factory:
        @classmethod
        def from_tovik(cls, record, existing):
            calls.append((record, existing))
            return Made(record, existing)

    monkeypatch.setattr(tdt, model, Factory)
    return calls


def test_updates_thread_the_cached_object_per_key_and_stream(strategy, monkeypatch):
    """Same keys on all three streams: each stream sees only its own earlier result for a key."""
    calls = {callback: recording_factory(monkeypatch, model) for callback, _, _, model, _, _ in STREAMS}
    records = {callback: [record_cls(sys_quote_id=key) for key in (11, 22, 11)]
               for callback, record_cls, *_ in STREAMS}
    for round_ in range(3):
        for callback, *_ in STREAMS:
            assert getattr(strategy, callback)(records[callback][round_]) is None
    events = drain()

    for i, (callback, _, cache, _, kind, keyword) in enumerate(STREAMS):
        first, other, second = records[callback]
        assert [existing for _, existing in calls[callback][:2]] == [None, None]
        assert calls[callback][2][0] is second and calls[callback][2][1].record is first
        cached = getattr(tdt, cache)
        assert list(cached) == [11, 22]
        assert cached[11].record is second and cached[22].record is other

        mine = events[i::3]
        assert [(e.event_type, list(e.kwargs)) for e in mine] == [(kind, [keyword])] * 3
        payloads = [e.kwargs[keyword] for e in mine]
        assert payloads[2] is not cached[11] and payloads[0] is not cached[11].existing
        assert payloads[2].record is not second  # a deep copy, not a shallow one


@stream_params
def test_update_with_host_classes(strategy, callback, record_cls, cache, model, kind, keyword):
    on_update = getattr(strategy, callback)
    on_update(record_cls(sys_quote_id=5, security_id="000001"))
    on_update(record_cls(sys_quote_id=5, trade_qty=300))
    cached = getattr(tdt, cache)[5]
    assert type(cached) is getattr(tdt, model)
    assert (cached.security_id, cached.trade_qty, cached.update_count) == ("000001", 300, 2)
    first, second = [e.kwargs[keyword] for e in drain()]
    assert first.update_count == 1 and first.trade_qty is None
    assert second == cached and second is not cached


@stream_params
def test_emptied_cache_starts_the_key_over(strategy, monkeypatch, callback, record_cls, cache, model, kind,
                                           keyword):
    calls = recording_factory(monkeypatch, model)
    getattr(strategy, callback)(record_cls(sys_quote_id=3))
    getattr(tdt, cache).clear()  # what the day switch does
    getattr(strategy, callback)(record_cls(sys_quote_id=3))
    assert [existing for _, existing in calls] == [None, None]


@stream_params
def test_raising_factory_changes_nothing(strategy, monkeypatch, callback, record_cls, cache, model, kind, keyword):
    getattr(strategy, callback)(record_cls(sys_quote_id=1))
    before = dict(getattr(tdt, cache))
    drain()

    class Broken:
        @classmethod
        def from_tovik(cls, record, existing):
            raise RuntimeError("bad record")

    monkeypatch.setattr(tdt, model, Broken)
    for key in (1, 2):
        with pytest.raises(RuntimeError, match="bad record"):
            getattr(strategy, callback)(record_cls(sys_quote_id=key))
    assert getattr(tdt, cache) == before
    assert drain() == []


@stream_params
def test_failing_deep_copy_keeps_the_cache_update(strategy, monkeypatch, callback, record_cls, cache, model, kind,
                                                  keyword):
    seen = []

    class FailingCopy:
        @staticmethod
        def deepcopy(obj):
            seen.append(getattr(tdt, cache).get(4) is obj)  # the store came first
            raise RuntimeError("cannot copy")

    monkeypatch.setattr(tdt, "copy", FailingCopy)
    with pytest.raises(RuntimeError, match="cannot copy"):
        getattr(strategy, callback)(record_cls(sys_quote_id=4))
    assert seen == [True]
    assert getattr(tdt, cache)[4].sys_quote_id == 4
    assert drain() == []


class LoggingCache(dict):
    def __init__(self, log):
        super().__init__()
        self.log = log

    def __contains__(self, key):
        self.log.append("contains")
        return super().__contains__(key)

    def get(self, key, default=None):
        self.log.append("get")
        return super().get(key, default)

    def __setitem__(self, key, value):
        self.log.append("setitem")
        super().__setitem__(key, value)


@stream_params
def test_update_step_order(strategy, monkeypatch, callback, record_cls, cache, model, kind, keyword):
    log = []
    monkeypatch.setattr(tdt, cache, LoggingCache(log))

    class Factory:
        @classmethod
        def from_tovik(cls, record, existing):
            log.append("from_tovik")
            return Made(None, existing)

    class Copy:
        @staticmethod
        def deepcopy(obj):
            log.append("deepcopy")
            return stdlib_copy.deepcopy(obj)

    monkeypatch.setattr(tdt, model, Factory)
    monkeypatch.setattr(tdt, "copy", Copy)
    for _ in range(2):
        record = Recorder(sys_quote_id=6)
        record.reads = log  # interleave attribute reads with the cache and factory calls
        getattr(strategy, callback)(record)
    assert log == (["sys_quote_id", "contains", "from_tovik", "sys_quote_id", "setitem", "deepcopy"]
                   + ["sys_quote_id", "contains", "sys_quote_id", "get", "from_tovik", "sys_quote_id", "setitem",
                      "deepcopy"])
    assert len(drain()) == 2
