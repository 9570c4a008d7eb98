"""Hostile input: every entry point fed records, host objects and queues that misbehave.

Records lose attributes, carry odd values, or get a type whose attribute lookup raises; values
raise from, or return odd results from, their comparisons, truth, text, hashing and arithmetic;
host callables and `event_queue.append` raise. Whatever happens, a callback completes or raises
a Python exception (never a crash, never SystemError), an event is posted whole or not at all,
and the caches hold only what a completed step leaves there.
"""

import collections

import pytest
from hypothesis import given, settings, strategies as st

from halvex.lumet.core.events import EVENT, Event
from halvex.lumet.model.algo_child_order import AlgoChildOrder
from halvex.lumet.model.algo_child_trade import AlgoChildTrade
from halvex.lumet.model.algo_parent_order import AlgoParentOrder
from reliability import entries as E

HOSTILE = settings.get_profile("hostile")
tdt = E.tdt


class Boom(Exception):
    pass


class Abort(BaseException):
    """Not an Exception: nothing in the module may swallow it."""


EXCEPTIONS = [Boom, ValueError, TypeError, KeyError, AttributeError, OverflowError, ZeroDivisionError,
              StopIteration, RecursionError, MemoryError, Abort]

ALGO_CLASSES = {"algo_parent_orders": AlgoParentOrder, "algo_child_orders": AlgoChildOrder,
                "algo_child_trades": AlgoChildTrade}


SHAPES, TICK_KEYS, BAR_KEYS = E.SHAPES, E.TICK_KEYS, E.BAR_KEYS


class CheckingQueue(collections.deque):
    """An event queue that checks every event handed to it, and can refuse them all."""

    def __init__(self, refuse):
        super().__init__()
        self.refuse = refuse
        self.malformed = []

    def append(self, event):
        if self.refuse:
            raise Boom("append refused")
        if type(event) is not Event or event.event_type not in SHAPES or \
                tuple(event.kwargs) not in SHAPES[event.event_type]:
            self.malformed.append(event)
        super().append(event)


# ---- odd values --------------------------------------------------------------------------------

ODD_RESULTS = {
    "__eq__": [NotImplemented, None, "yes", E.Hostile],
    "__gt__": [NotImplemented, None, 0, E.Hostile],
    "__bool__": [2, None],
    "__str__": [5, None],
    "__format__": [b"x", None],
    "__hash__": [2 ** 100, "h", -1],
    "__index__": [1.5, None, 2 ** 80],
    "__add__": [NotImplemented, None],
    "__radd__": [NotImplemented, None],
    "__truediv__": [NotImplemented, float("nan")],
    "__sub__": [NotImplemented, None],
}


@st.composite
def odd_objects(draw):
    """An instance of a fresh class whose chosen special methods raise or return odd results."""
    namespace = {"__repr__": lambda self: "<Odd>"}
    for name in draw(st.sets(st.sampled_from(sorted(ODD_RESULTS)), min_size=1)):
        if draw(st.booleans()):
            exc = draw(st.sampled_from(EXCEPTIONS))

            def method(self, *args, _exc=exc):
                raise _exc("odd")
        else:
            result = draw(st.sampled_from(ODD_RESULTS[name]))
            if result is E.Hostile:  # a result whose own truth test raises
                result = E.Hostile()

            def method(self, *args, _result=result):
                return _result
        namespace[name] = method
    return type("Odd", (object,), namespace)()


plain_values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2 ** 70, max_value=2 ** 70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8), st.binary(max_size=4),
    st.lists(st.integers(), max_size=3), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.sampled_from([float("nan"), -0.0, 10 ** 30, -1, 0, "", "ToMD", "x_ATX"]), st.builds(E.Hostile),
)
odd_values = st.one_of(plain_values, odd_objects())


# ---- faults ------------------------------------------------------------------------------------

def retype(obj, raising):
    """Gives obj a subclass of its type (same layout) whose lookup of the chosen names raises."""
    base = type(obj)

    def __getattribute__(self, name):
        if name in raising:
            raise raising[name]("lookup of " + name)
        return base.__getattribute__(self, name)

    namespace = {"__getattribute__": __getattribute__}
    if hasattr(base, "__slots__"):
        namespace["__slots__"] = ()
    obj.__class__ = type(base.__name__, (base,), namespace)


@st.composite
def faults(draw, targets):
    """Spoils a few attributes of each target, in place: takes one away, gives it an odd value,
    or makes its lookup raise."""
    for target in targets:
        raising = {}
        for name in draw(st.lists(st.sampled_from(E.attrs_of(target)), max_size=3, unique=True)):
            action = draw(st.sampled_from(["missing", "odd", "odd", "odd", "lookup"]))
            if action == "missing":
                delattr(target, name)
            elif action == "odd":
                setattr(target, name, draw(odd_values))
            else:
                raising[name] = draw(st.sampled_from(EXCEPTIONS))
        if raising:
            retype(target, raising)


def raising_callable(exc):
    def host(*args, **kwargs):
        raise exc("host failure")
    return host


HOST_CALLABLES = ("convert_int_to_datetime", "convert_int_to_whole_date", "get_exchane_from_tovik_mdtype",
                  "get_tovik_tdtype", "get_side_from_tovik_l2_order", "get_order_type_from_tovik_l2_order",
                  "get_trade_type_from_tovik", "get_l2order_type_from_tovik", "Event", "TickObject", "Asset",
                  "Position", "deque")


# ---- invariants --------------------------------------------------------------------------------

def kept_records():
    return {id(r) for h in (tdt.history_tick, tdt.history_bar) for ring in h.values() for r in ring}


def check_state(queue, before_orders, before_records, globals_before, rebound):
    """What the call left: well-formed events, and in the caches only complete new records."""
    assert queue.malformed == []
    for history, maxlen, keys in ((tdt.history_tick, 60, TICK_KEYS), (tdt.history_bar, None, BAR_KEYS)):
        for code, ring in history.items():
            assert type(ring) is collections.deque and ring.maxlen == maxlen and len(ring) >= 1, code
            assert all(type(r) is dict and list(r) == keys for r in ring if id(r) not in before_records)
    for name, cls in ALGO_CLASSES.items():
        assert all(type(v) is cls for v in getattr(tdt, name).values()), name
    assert set(tdt.orders_dict) <= before_orders  # the module never inserts orders
    assert set(tdt.tovik_params) <= {"tovik_md", "tovik_td", "tovik_context"}
    changed = [n for n, v in vars(tdt).items() if n not in rebound and globals_before.get(n) is not v]
    assert changed == [], "the module rebound its own globals"
    for event in queue:
        if event.event_type is EVENT.TICK:  # the ring holds the very dictionary the event carries
            ring = tdt.history_tick.get(event.tick._tick_dict["market_code"], ())
            assert any(t is event.tick._tick_dict for t in ring)
        for key in ("order", "algo_parent_order", "algo_child_order", "algo_child_trade"):
            value = event.kwargs.get(key)
            kept = list(tdt.orders_dict.values()) + [v for n in ALGO_CLASSES for v in getattr(tdt, n).values()]
            assert value is None or all(value is not k for k in kept), "posted a kept object, not a copy"


MODULE = E.Module()


@pytest.mark.parametrize("entry", E.ENTRIES, ids=[e[0] for e in E.ENTRIES])
@HOSTILE
@given(data=st.data())
def test_entry_point_survives_hostile_input(entry, data):
    name, variants = entry
    setup = data.draw(st.sampled_from(variants), label="variant")
    queue = CheckingQueue(refuse=data.draw(st.sampled_from([False] * 5 + [True]), label="append raises"))
    MODULE.reset(queue)
    try:
        s = E.new_strategy()
        call, targets = setup(s)
        data.draw(faults(targets), label="record faults")
        rebound = {"event_queue", "datetime"}
        for host in data.draw(st.sets(st.sampled_from(HOST_CALLABLES), max_size=2), label="raising host"):
            setattr(tdt, host, raising_callable(data.draw(st.sampled_from(EXCEPTIONS))))
            rebound.add(host)
        globals_before = dict(vars(tdt))
        before_orders, before_records = set(tdt.orders_dict), kept_records()
        try:
            call()
        except SystemError:
            raise
        except (Exception, Abort):
            pass
        if queue.refuse:
            assert len(queue) == 0
        check_state(queue, before_orders, before_records, globals_before, rebound)
    finally:
        MODULE.reset()


# ---- queries -----------------------------------------------------------------------------------

QUERY_ERRORS = (TypeError, ValueError, OverflowError, KeyError, E.HostileError) + tuple(EXCEPTIONS)


@HOSTILE
@given(code=st.one_of(odd_values, st.just(E.CODE)), count=odd_values,
       which=st.sampled_from(["history_tick", "history_bar"]))
def test_queries_take_any_code_and_count(code, count, which):
    buffer = collections.deque([{"n": i} for i in range(5)])
    getattr(tdt, which).clear()
    getattr(tdt, which)[E.CODE] = buffer
    snapshot = list(buffer)
    current, window = {"history_tick": (tdt.get_current_tick, tdt.history_ticks),
                       "history_bar": (tdt.get_current_bar, tdt.history_bars)}[which]
    try:
        results = [current(code), window(code, count)]
    except SystemError:
        raise
    except QUERY_ERRORS:
        results = []
    for result in results:
        assert result is None or any(result is r for r in snapshot) or (
            type(result) is list and all(any(x is r for r in snapshot) for x in result))
    assert list(buffer) == snapshot and getattr(tdt, which)[E.CODE] is buffer
    getattr(tdt, which).clear()

