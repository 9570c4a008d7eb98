"""The module's shortcuts under attack: the attribute read and write sites, the method and
class-value caches, the module globals, the module's own functions and the load state.

Every shortcut must give what plain Python code doing the same reads, writes and calls gives.
Scenarios that could end in a memory error run in a child interpreter (the programs of
tests/children.py), which prints its outcome: a crash there is a failed test, not a lost suite.
"""

import collections
import ctypes
import sys

import pytest

import children
from children import child_outcome, run_child
from conftest import drain
from halvex.lumet.core.events import EVENT
from halvex.lumet.environment import Environment
import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Bar, Snapshot, TickTrade

T = 1700000040000
FUNCTION_TYPE = type(tdt.get_current_tick)


# ---- instance-dict reads: the dict being searched is dropped by a key's comparison ---------------

@pytest.mark.parametrize("case", list(children.DICT_READS))
def test_instance_dict_read_survives_a_key_that_replaces_the_dict(case):
    expected, got = child_outcome(run_child("instance_dict_read", case)).split(" ", 1)
    assert got == expected


# ---- slot reads: a member descriptor that belongs to another class --------------------------------

@pytest.mark.parametrize("layout", list(children.FOREIGN_SLOTS))
def test_foreign_slot_descriptor_raises_as_getattr_does(layout):
    assert child_outcome(run_child("foreign_slot", layout)) == "TypeError TypeError"


# ---- recursion through the module's own functions -------------------------------------------------

@pytest.mark.parametrize("stack_kib", [0, 64], ids=["main thread", "64 KiB thread"])
@pytest.mark.parametrize("cycle", list(children.CYCLES))
def test_a_cycle_of_module_functions_raises_recursion_error(cycle, stack_kib):
    assert child_outcome(run_child("cycle", cycle, stack_kib)) == "caught True"


@pytest.mark.parametrize("stack_kib", [32, 64, 128, 256])
def test_module_functions_run_on_every_stack_plain_python_runs_on(stack_kib):
    # A query and a callback, and the plain-Python reference's callback, on the thread's first calls.
    outcome = child_outcome(run_child("small_stack", stack_kib))
    assert outcome == "['ok', 'ok', 'ok'] ['000001.XSHE'] ['000001.XSHE']"


# ---- attribute writes on a strategy that overrides __setattr__ -------------------------------------

class Watching(object):
    """Records every attribute write, then stores it as object does."""

    def __setattr__(self, name, value):
        object.__getattribute__(self, "__dict__").setdefault("writes", []).append((name, value))
        object.__setattr__(self, name, value)


def watching_strategy(how):
    from pytovik.strategy import TovikStrategy as SdkBase
    if how == "defined in the class":
        cls = type("Watched", (tdt.TovikStrategy,), {"__setattr__": Watching.__setattr__})
    elif how == "inherited from a mixin":
        cls = type("Watched", (Watching, tdt.TovikStrategy), {})
    else:
        cls = type("Watched", (tdt.TovikStrategy,), {})
    s = cls.__new__(cls)
    SdkBase.__init__(s)
    s.bar_cnt = 0
    s.current_trade_dt = 0
    if how == "added after warm-up":
        Environment.get_instance().set_universe(["x"] * 5)
        s.on_bar(Bar(security_id="000001", market_type=MarketType.SZSE, end_time=T - 60000))
        s.bar_cnt, s.current_trade_dt = 0, 0
        cls.__setattr__ = Watching.__setattr__
    s.__dict__["writes"] = []
    return s


@pytest.mark.parametrize("how", ["defined in the class", "inherited from a mixin", "added after warm-up"])
def test_bar_counter_writes_go_through_the_strategy_setattr(how):
    s = watching_strategy(how)
    Environment.get_instance().set_universe(["000001.XSHE", "000002.XSHE"])
    s.on_bar(Bar(security_id="000001", market_type=MarketType.SZSE, end_time=T))
    s.on_bar(Bar(security_id="000002", market_type=MarketType.SZSE, end_time=T))
    assert s.writes == [("bar_cnt", 1), ("current_trade_dt", T / 1000),
                        ("bar_cnt", 2), ("current_trade_dt", T / 1000), ("bar_cnt", 0)]
    assert len(drain()) == 1


# ---- class values after the type cache restarts its version tags ----------------------------------

@pytest.mark.parametrize("member", list(children.REPLACED_MEMBERS))
def test_member_replaced_on_the_class_is_seen_after_the_type_cache_is_cleared(member):
    # Where clearing the type cache restarts the version tags, a class changed since the cache
    # learned it can come back with the tag the cache remembers: the value must still be current.
    assert child_outcome(run_child("replaced_member", member)) == "True"


# ---- class values when the lookups that decide caching change the class ----------------------------

@pytest.mark.parametrize("change_at", [1, 2, 3])
def test_class_value_follows_a_change_made_during_its_own_lookups(change_at):
    outcome = child_outcome(run_child("class_value_changed_during_its_lookups", change_at))
    assert outcome in ("[True, True, True, True] new", "[True, True, True, True] old")


# ---- a load that fails after the strategy class was made ---------------------------------------

@pytest.mark.parametrize("sdk_base", list(children.REJECTING_SDKS))
def test_class_left_by_a_failed_load_raises_import_error(sdk_base):
    assert child_outcome(run_child("failed_load_leaves_a_class", sdk_base)) == "ImportError True"


# ---- legacy str objects not yet made ready --------------------------------------------------------

@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyUnicode_FromUnicode"),
                    reason="this interpreter has no legacy str API")
@pytest.mark.parametrize("handler", list(children.LEGACY_STR_HANDLERS))
@pytest.mark.parametrize("legacy", ["security_id", "exchange suffix"])
def test_market_code_from_a_legacy_str(handler, legacy):
    assert child_outcome(run_child("market_code_from_a_legacy_str", handler, legacy)) == "['000001.XSHE']"


# ---- the module's function objects -------------------------------------------------------------

MODULE_FUNCTIONS = [getattr(tdt, name) for name in ("get_current_bar", "get_current_tick", "history_ticks",
                                                   "history_bars")] + \
    [v for v in vars(tdt.TovikStrategy).values() if isinstance(v, FUNCTION_TYPE)]


def test_vectorcall_offset_is_no_address():
    # The attribute, where a function has one, is an offset into the object, never a pointer.
    assert len(MODULE_FUNCTIONS) == 31
    offsets = {f.__qualname__: getattr(f, "__vectorcalloffset__", None) for f in MODULE_FUNCTIONS}
    assert {name: v for name, v in offsets.items() if v is not None and not 0 <= v < 1024} == {}


# ---- further attacks on the caches -------------------------------------------------------------

class Member(object):
    def __init__(self, tag):
        self.tag = tag


def test_class_value_whose_type_gains_get_after_warm_up(strategy):
    # A class value is only kept while it is no descriptor; its type may become one later.
    sides = type("SIDE", (), {"BUY": Member("buy"), "SELL": Member("sell")})
    tdt.SIDE = sides
    trade = dict(trade_time=T, security_id="000001", market_type=MarketType.SZSE, bid_appl_seq_num=7,
                 offer_appl_seq_num=5, trade_type=70)
    for _ in range(3):
        strategy.on_tick_trade(TickTrade(**trade))
    drain()
    Member.__get__ = lambda self, obj, owner: "%s through __get__" % self.tag
    try:
        assert sides.BUY == "buy through __get__"
        strategy.on_tick_trade(TickTrade(**trade))
        assert drain()[-1].l2_transaction.side == "buy through __get__"
    finally:
        del Member.__get__


class SlotSnapshot(object):
    __slots__ = tuple(name for name, _ in Snapshot._fields)

    def __init__(self, **fields):
        for name, default in Snapshot._fields:
            setattr(self, name, fields.get(name, default))


class Shadowing(SlotSnapshot):
    """The same layout; its property hides the slot."""
    __slots__ = ()
    security_id = property(lambda self: "000009")


class DictSnapshot(object):
    def __init__(self, **fields):
        self.__dict__.update(dict(Snapshot._fields, **fields))


class OddDict(dict):
    """A dict subclass whose own item access getattr never uses."""

    def __getitem__(self, key):
        return "000008"

    def __missing__(self, key):
        return "000008"


def reshape(how, record):
    if how == "__class__ set to a subclass whose property hides the slot":
        record.__class__ = Shadowing
    elif how == "__class__ set back to the slot class":
        record.__class__ = Shadowing
        record.__class__ = SlotSnapshot
    elif how == "__dict__ swapped for a dict subclass":
        record.__dict__ = OddDict(record.__dict__, security_id="000007")
    elif how == "__dict__ swapped for one without the field":
        record.__dict__ = {k: v for k, v in record.__dict__.items() if k != "security_id"}
    elif how == "__getattribute__ added to the class":
        type(record).__getattribute__ = lambda self, name: "000006" if name == "security_id" else \
            object.__getattribute__(self, name)


@pytest.mark.parametrize("how, record_cls", [
    ("__class__ set to a subclass whose property hides the slot", SlotSnapshot),
    ("__class__ set back to the slot class", SlotSnapshot),
    ("__dict__ swapped for a dict subclass", DictSnapshot),
    ("__dict__ swapped for one without the field", DictSnapshot),
    ("__getattribute__ added to the class", DictSnapshot),
])
def test_record_reshaped_between_calls_reads_as_getattr(strategy, how, record_cls):
    fields = dict(orig_time=T, security_id="000001", market_type=MarketType.SZSE)
    cls = type(record_cls.__name__, (record_cls,), {}) if record_cls is DictSnapshot else record_cls
    for _ in range(3):
        strategy.on_snapshot(cls(**fields))
    record = cls(**fields)
    reshape(how, record)
    try:
        expected = getattr(record, "security_id") + ".XSHE"
    except AttributeError:
        expected = AttributeError
    tdt.history_tick.clear()
    if expected is AttributeError:
        with pytest.raises(AttributeError):
            strategy.on_snapshot(record)
    else:
        strategy.on_snapshot(record)
        assert list(tdt.history_tick) == [expected]


@pytest.mark.parametrize("change, outcome", [
    ("rebind", "NEW DATE"),
    ("delete", NameError),
    ("delete the event class", NameError),
])
def test_globals_changed_by_a_host_callable_mid_callback(strategy, monkeypatch, change, outcome):
    # The universe is read after the bar is kept and counted, before the date conversion and the post.
    strategy.bar_cnt = strategy.current_trade_dt = 0
    env = Environment.get_instance()
    env.set_universe(["000001.XSHE"])
    strategy.on_bar(Bar(security_id="000001", market_type=MarketType.SZSE, end_time=T))
    drain()

    def universe():
        if change == "rebind":
            tdt.convert_int_to_whole_date = lambda value: "NEW DATE"
        elif change == "delete":
            del tdt.convert_int_to_whole_date
        else:
            del tdt.Event
        return ["000001.XSHE"]

    monkeypatch.setattr(env, "get_universe", universe)
    bar = Bar(security_id="000001", market_type=MarketType.SZSE, end_time=T + 60000)
    if outcome is NameError:
        with pytest.raises(NameError):
            strategy.on_bar(bar)
        assert drain() == []
    else:
        strategy.on_bar(bar)
        assert drain()[-1].calendar_dt == outcome


def test_history_deque_replaced_by_one_with_its_own_append(strategy):
    # The builtin append remembered for a deque type must not serve another type.
    class Counting(collections.deque):
        __slots__ = ()
        seen = []

        def append(self, item):
            Counting.seen.append(item)

    snap = Snapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE)
    strategy.on_snapshot(snap)
    strategy.on_snapshot(snap)
    tdt.history_tick["000001.XSHE"] = Counting()
    strategy.on_snapshot(snap)
    assert len(Counting.seen) == 1 and len(tdt.history_tick["000001.XSHE"]) == 0


# ---- host classes constructed without the generic type call ----------------------------------

def _event_classes():
    import abc

    class Plain:
        def __init__(self, event_type, calendar_dt, trading_dt):
            self.args = (event_type, calendar_dt, trading_dt)

    class ReturnsValue(Plain):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            return 1

    class Raises(Plain):
        def __init__(self, *args, **kwargs):
            raise LookupError("refused")

    class NewElsewhere(Plain):
        def __new__(cls, *args, **kwargs):
            return ("made by __new__", args, tuple(sorted(kwargs)))

    class Abstract(Plain, abc.ABC):
        @abc.abstractmethod
        def must(self):
            pass

    class Meta(type):
        def __call__(cls, *args, **kwargs):
            return ("made by the metaclass", args)

    class ByMetaclass(Plain, metaclass=Meta):
        pass

    class WrongSignature:
        def __init__(self, event_type):
            pass

    return [Plain, ReturnsValue, Raises, NewElsewhere, Abstract, ByMetaclass, WrongSignature]


def _outcome(make):
    try:
        made = make()
    except Exception as exc:
        return type(exc), str(exc)
    return made if isinstance(made, tuple) else (type(made).__name__, made.args)


@pytest.mark.parametrize("cls", _event_classes(), ids=lambda c: c.__name__)
def test_event_class_constructed_as_a_call_would(strategy, cls):
    tdt.Event = cls
    expected = _outcome(lambda: cls(EVENT.TICK, calendar_dt=1, trading_dt=1))
    for _ in range(3):  # the first call learns the class, the others use what it learned
        got = _outcome(lambda: (strategy.send_day_event(EVENT.TICK, 1), drain()[-1])[1])
        assert got == expected


def test_event_class_changed_after_warm_up(strategy):
    class Event:
        def __init__(self, event_type, calendar_dt, trading_dt):
            self.seen = "first"

    tdt.Event = Event
    strategy.send_day_event(EVENT.TICK, 1)
    Event.__init__ = lambda self, *args, **kwargs: setattr(self, "seen", "second")
    strategy.send_day_event(EVENT.TICK, 1)
    Event.__new__ = lambda cls, *args, **kwargs: "made by __new__"
    strategy.send_day_event(EVENT.TICK, 1)
    assert [getattr(e, "seen", e) for e in drain()] == ["first", "second", "made by __new__"]


# ---- a field table read under one guard ---------------------------------------------------------

class _LastPriceProperty(Snapshot):
    __slots__ = ()
    _fields = tuple(field for field in Snapshot._fields if field[0] != "last_price")

    @property
    def last_price(self):
        return "from a property"


class _WithDict(Snapshot):
    pass   # an instance dict beside the slots


def _fields_of(snapshot):
    return {key: value for key, value in snapshot.items() if key not in ("market_code", "datetime")}


@pytest.mark.parametrize("reshape", ["empty slot", "property on a subclass", "instance dict",
                                     "slot replaced after warm-up"])
def test_snapshot_fields_read_as_getattr_would(strategy, reshape):
    def make(cls=Snapshot):
        extra = {} if cls is _LastPriceProperty else {"last_price": 1.5}
        return cls(orig_time=T, security_id="000001", market_type=MarketType.SZSE, **extra)

    for _ in range(3):
        strategy.on_snapshot(make())   # the table learns plain slot records
    record = make(_LastPriceProperty if reshape == "property on a subclass" else
                  _WithDict if reshape == "instance dict" else Snapshot)
    if reshape == "empty slot":
        del record.iopv
        with pytest.raises(AttributeError):
            strategy.on_snapshot(record)
        return
    if reshape == "slot replaced after warm-up":
        original = Snapshot.__dict__["last_price"]
        Snapshot.last_price = property(lambda self: "replaced")
        try:
            strategy.on_snapshot(record)
        finally:
            Snapshot.last_price = original
        expected = "replaced"
    else:
        strategy.on_snapshot(record)
        expected = record.last_price
    tick = tdt.get_current_tick("000001.XSHE")
    assert _fields_of(tick)["last_price"] == expected


# ---- finalizers that run while a record is read ---------------------------------------------

def test_class_change_by_a_finalizer_during_a_read_leaves_memory_intact():
    # From 3.11 a plain record keeps its fields as inline values; a read that made its dict would
    # allocate, and a finalizer that then changes the record's class made the interpreter build a
    # second dict over the same values (freed memory walked by the next collection).
    assert child_outcome(run_child("finalizer_changes_the_class_during_a_read")) == "survived 000001"


class _Text(str):
    """A keyword name with its own equality, as a host may pass one."""

    def __eq__(self, other):
        return self.matches

    __hash__ = str.__hash__


@pytest.mark.parametrize("matches, outcome", [(True, None), (False, TypeError)])
def test_keyword_names_compare_as_python_functions_do(matches, outcome):
    def plain(market_code):
        return None

    name = _Text("some_name")
    name.matches = matches
    for fn in (plain, tdt.get_current_tick):
        if outcome is TypeError:
            with pytest.raises(TypeError):
                fn(**{name: "000001.XSHE"})
        else:
            assert fn(**{name: "000001.XSHE"}) is outcome


# ---- dicts of a fixed shape -----------------------------------------------------------------

def _built(strategy, kind, **fields):
    """The dict the module builds for one record of `kind`, and the record."""
    if kind == "tick":
        record = Snapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE, **fields)
        strategy.on_snapshot(record)
        return tdt.get_current_tick("000001.XSHE"), record
    record = Bar(end_time=T, security_id="000001", market_type=MarketType.SZSE, **fields)
    strategy.bar_cnt, strategy.current_trade_dt = 0, 0
    strategy.on_bar(record)
    return tdt.history_bar["000001.XSHE"][-1], record


SCALARS = dict(ask_volume=None, ask_price=1.5, bid_volume="x", bid_price=None)


@pytest.mark.parametrize("kind, fields", [
    ("tick", {}),                    # lists among the values: the collector tracks the dict
    ("tick", SCALARS),               # nothing a cycle could go through: it does not
    ("tick", dict(SCALARS, iopv=(1, [2]))),   # a tuple holding a list counts as a container
    ("bar", {}),
], ids=["tick-lists", "tick-scalars", "tick-tuple", "bar"])
def test_built_dict_is_the_dict_insertion_would_make(strategy, kind, fields):
    import gc
    for _ in range(3):
        built, record = _built(strategy, kind, **fields)
    expected = {key: value for key, value in built.items()}   # made by insertion, key by key
    assert type(built) is dict and list(built) == list(expected)
    assert all(built[key] is expected[key] for key in expected)
    assert gc.is_tracked(built) == gc.is_tracked(expected)
    if kind == "tick":
        assert built["last_price"] is record.last_price and built["iopv"] is record.iopv
    built["added"] = 1                 # an ordinary dict: it grows and shrinks as any other
    del built["market_code"]
    assert list(built)[-1] == "added" and "market_code" not in built


class _PeekingSnapshot(Snapshot):
    """A record whose last_price read runs code: it looks for a tick dict already under way."""
    __slots__ = ()
    _fields = tuple(field for field in Snapshot._fields if field[0] != "last_price")
    seen = []

    @property
    def last_price(self):
        import gc
        gc.collect()
        half_made = [o for o in gc.get_objects() if type(o) is dict and "open_price" in o and
                     "iopv" not in o]
        for d in half_made:
            d["intruder"] = True
        _PeekingSnapshot.seen.append(len(half_made))
        return 3.5


def test_tick_dict_is_not_visible_while_its_fields_are_read(strategy):
    for _ in range(3):
        strategy.on_snapshot(_PeekingSnapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE))
    tick = tdt.get_current_tick("000001.XSHE")
    assert _PeekingSnapshot.seen == [0, 0, 0]
    assert "intruder" not in tick and tick["last_price"] == 3.5


class _ReenteringBar(Bar):
    """A record whose close read converts another bar first, through the same dict shape."""
    __slots__ = ()
    _fields = tuple(field for field in Bar._fields if field[0] != "close")
    strategy = None

    @property
    def close(self):
        inner = Bar(end_time=T, security_id="000002", market_type=MarketType.SZSE, close=7.0)
        type(self).strategy.on_bar(inner)
        return 8.0


def test_bar_dict_built_while_another_is_under_way(strategy):
    _ReenteringBar.strategy = strategy
    strategy.bar_cnt, strategy.current_trade_dt = 0, 0
    strategy.on_bar(_ReenteringBar(end_time=T, security_id="000001", market_type=MarketType.SZSE))
    outer, inner = tdt.history_bar["000001.XSHE"][-1], tdt.history_bar["000002.XSHE"][-1]
    assert (outer["close_price"], inner["close_price"]) == (8.0, 7.0)
    assert list(outer) == list(inner) and outer["market_code"] == "000001.XSHE"


# ---- class values: staticmethods and constants kept on plain objects ----------------------------

def _first(*values):
    return ("first", values[0])


def _second(*values):
    return ("second", values[0])


def _l2_order(strategy):
    from pytovik.records import TickOrder
    strategy.on_tick_order(TickOrder(order_time=T, security_id="000001", market_type=MarketType.SZSE,
                                     side=49, order_type=50, biz_index=11))
    return drain()[-1].l2_order


class _MetaWithFactory(type):
    @property
    def __from_create__(cls):
        return _second


@pytest.mark.parametrize("change", ["staticmethod re-initialised", "staticmethod replaced by a function",
                                    "metaclass property", "classmethod"])
def test_factory_found_on_the_class_as_getattr_would(strategy, monkeypatch, change):
    factory = type("Factory", (), {"__from_create__": staticmethod(_first)})
    monkeypatch.setattr(tdt, "L2Order", factory)
    for _ in range(3):
        assert _l2_order(strategy) == ("first", 11)
    if change == "staticmethod re-initialised":
        factory.__dict__["__from_create__"].__init__(_second)
    elif change == "staticmethod replaced by a function":
        factory.__from_create__ = _second
    elif change == "metaclass property":
        monkeypatch.setattr(tdt, "L2Order", _MetaWithFactory("Factory", (), {"__from_create__": staticmethod(_first)}))
    else:
        factory.__from_create__ = classmethod(lambda cls, *values: ("second", cls))
        assert _l2_order(strategy) == ("second", factory)
        return
    assert _l2_order(strategy) == ("second", 11)


def test_event_types_kept_on_a_plain_namespace_follow_its_changes(strategy, monkeypatch):
    import types
    kinds = types.SimpleNamespace(**{member.name: member.name.lower() for member in EVENT})
    monkeypatch.setattr(tdt, "EVENT", kinds)
    seen = []
    for label in ("tick", "tick", "tick", "changed"):
        strategy.on_snapshot(Snapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE))
        seen.append(drain()[-1].event_type)
        kinds.TICK = "changed"
    del kinds.TICK
    with pytest.raises(AttributeError):
        strategy.on_snapshot(Snapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE))
    assert seen == ["tick", "changed", "changed", "changed"]


# ---- instance attributes read where the interpreter keeps them ------------------------------------

class _PlainSnapshot:
    """A snapshot record keeping its fields as ordinary instance attributes."""

    def __init__(self, **fields):
        for name, default in Snapshot._fields:
            setattr(self, name, fields.get(name, default))


def _change_plain(record, change):
    """Moves or alters the record's last_price; the value a getattr now gives, or AttributeError."""
    if change == "dict made":
        vars(record)
    elif change == "dict item changed":
        vars(record)["last_price"] = 4.5
    elif change == "attribute deleted":
        del record.last_price
        return AttributeError
    elif change == "dict replaced":
        record.__dict__ = dict(vars(record), last_price=5.5)
    elif change == "equal key, another object":
        d = vars(record)
        del d["last_price"]
        d["".join(["last_", "price"])] = 6.5
    elif change == "later key shares the table":
        record.extra = 1
        record.last_price = 7.5
    elif change == "class gains the name":
        type(record).last_price = property(lambda self: "from the class")
    elif change == "class changed":
        record.__class__ = type("Other", (_PlainSnapshot,), {})
    return getattr(record, "last_price")


@pytest.mark.parametrize("change", ["dict made", "dict item changed", "attribute deleted", "dict replaced",
                                    "equal key, another object", "later key shares the table",
                                    "class gains the name", "class changed"])
def test_plain_record_read_follows_where_its_values_live(strategy, change):
    cls = type("Plain", (_PlainSnapshot,), {})
    for i in range(3):   # the sites learn records whose values are not in a dict yet
        strategy.on_snapshot(cls(orig_time=T, security_id="000001", market_type=MarketType.SZSE, last_price=i))
    record = cls(orig_time=T, security_id="000001", market_type=MarketType.SZSE, last_price=3.5)
    expected = _change_plain(record, change)
    if expected is AttributeError:
        with pytest.raises(AttributeError):
            strategy.on_snapshot(record)
        return
    strategy.on_snapshot(record)
    assert tdt.get_current_tick("000001.XSHE")["last_price"] == expected
    if "last_price" in vars(cls):
        del cls.last_price
    strategy.on_snapshot(cls(orig_time=T, security_id="000001", market_type=MarketType.SZSE, last_price=8.5))
    assert tdt.get_current_tick("000001.XSHE")["last_price"] == 8.5   # the sites still read fresh records


@pytest.mark.parametrize("security_id, exchange", [
    ("000001", "XSHE"), ("00000\u00e9", "XSHE"), ("000001", "XSH\u00c9"), ("\u4e2d00001", "XSHE"),
    ("000001", "\U0001f600"), ("", ""),
], ids=["ascii", "latin-1 id", "latin-1 suffix", "two-byte id", "four-byte suffix", "empty"])
def test_market_code_joins_any_characters(strategy, monkeypatch, security_id, exchange):
    monkeypatch.setattr(tdt, "get_exchane_from_tovik_mdtype", lambda market_type: exchange)
    strategy.on_snapshot(Snapshot(orig_time=T, security_id=security_id, market_type=MarketType.SZSE))
    code = security_id + "." + exchange
    assert list(tdt.history_tick)[-1] == code and tdt.get_current_tick(code)["market_code"] == code


# ---- a record that changes class while its field table is learned -----------------------------

def _moved_mid_learning(base, collides_with, changed_field):
    """A record class whose namespace holds a key that hashes like `collides_with`, so that looking
    that name up on the class compares it; the first comparison after `arm()` moves the record to a
    class of the same layout where `changed_field` is a property."""
    moved = type("Moved", (base,), {"__slots__": (), changed_field: property(lambda self: "PROPERTY")})
    victim = []

    class CollidingKey(str):
        def __hash__(self):
            return hash(collides_with)

        def __eq__(self, other):
            if victim:
                victim.pop().__class__ = moved
            return False

    cls = type("Record", (base,), {"__slots__": (), CollidingKey("colliding"): None})

    def arm(record):
        cls.touched = True   # a new version tag: the next lookups search the namespaces again
        victim.append(record)
        return record
    return cls, moved, arm


@pytest.mark.parametrize("kind", ["tick", "bar", "position"])
def test_fields_read_after_the_record_changes_class_while_its_table_is_learned(strategy, kind):
    from pytovik.records import PositionRecord
    if kind == "tick":
        cls, moved, arm = _moved_mid_learning(Snapshot, "open_price", "last_price")
        record = arm(cls(orig_time=T, security_id="000001", market_type=MarketType.SZSE, last_price=1.5))
        strategy.on_snapshot(record)
        got = tdt.get_current_tick("000001.XSHE")["last_price"]
    elif kind == "bar":
        cls, moved, arm = _moved_mid_learning(Bar, "open", "volume")
        record = arm(cls(end_time=T, security_id="000001", market_type=MarketType.SZSE, volume=100))
        strategy.bar_cnt, strategy.current_trade_dt = 0, 0
        strategy.on_bar(record)
        got = tdt.history_bar["000001.XSHE"][-1]["volume"]
    else:
        states = []
        tdt.Position = type("Position", (), {"__init__": lambda self, *args: None,
                                             "set_state": lambda self, state: states.append(state)})
        cls, moved, arm = _moved_mid_learning(PositionRecord, "leaves_qty", "cost_price")
        record = arm(cls(security_id="000001", market_id=MarketType.SZSE, cost_price=2.5))
        strategy.on_query_position([record], 1, 0, "")
        got = states[-1]["avg_price"]
    # Moved while the first row was looked up: every later row is read from the new class.
    assert type(record) is moved
    assert got == "PROPERTY"


# ---- class values through every change of kind ------------------------------------------------

class _CallableValue:
    def __call__(self, *values):
        return ("first", values[0])


class _Meta(type):
    pass


class _MetaWithFactory2(type):
    @property
    def __from_create__(cls):
        return _second


def _get_via_get(self, obj, cls=None):
    return _second


CLASS_CHANGES = {
    "staticmethod, classmethod, plain value, deleted, staticmethod": [
        lambda F: setattr(F, "__from_create__", classmethod(lambda cls, *values: ("cls", cls.__name__))),
        lambda F: setattr(F, "__from_create__", _CallableValue()),
        lambda F: delattr(F, "__from_create__"),
        lambda F: setattr(F, "__from_create__", staticmethod(_second)),
    ],
    "the value's type gains and loses __get__": [
        lambda F: setattr(F, "__from_create__", type("Value", (_CallableValue,), {})()),
        lambda F: setattr(type(F.__dict__["__from_create__"]), "__get__", _get_via_get),
        lambda F: delattr(type(F.__dict__["__from_create__"]), "__get__"),
    ],
    "the value's class is assigned": [
        lambda F: setattr(F, "__from_create__", type("Value", (_CallableValue,), {})()),
        lambda F: setattr(F.__dict__["__from_create__"], "__class__",
                          type("Getter", (_CallableValue,), {"__get__": _get_via_get})),
    ],
    "the metaclass gains __getattribute__": [
        lambda F: setattr(type(F), "__getattribute__", lambda cls, n: (lambda *values: ("second", "intercepted"))
                          if n == "__from_create__" else type.__getattribute__(cls, n)),
        lambda F: delattr(type(F), "__getattribute__"),
    ],
    "the metaclass gains __getattr__, the value goes": [
        lambda F: setattr(type(F), "__getattr__", lambda cls, n: (lambda *values: ("second", "fallback"))),
        lambda F: delattr(F, "__from_create__"),
        lambda F: setattr(F, "__from_create__", staticmethod(_first)),
    ],
    "the metaclass gains a property, then a plain value": [
        lambda F: setattr(type(F), "__from_create__", property(lambda cls: _second)),
        lambda F: setattr(type(F), "__from_create__", _second),
        lambda F: delattr(F, "__from_create__"),
    ],
    "the class's metaclass is assigned": [
        lambda F: setattr(F, "__class__", _MetaWithFactory2),
        lambda F: setattr(F, "__class__", _Meta),
    ],
    "a base's value, shadowed and unshadowed": [
        lambda F: delattr(F, "__from_create__"),
        lambda F: setattr(F, "__from_create__", staticmethod(_second)),
        lambda F: setattr(F.__bases__[0], "__from_create__", staticmethod(_first)),
        lambda F: delattr(F, "__from_create__"),
    ],
    "the bases are assigned": [
        lambda F: delattr(F, "__from_create__"),
        lambda F: setattr(F, "__bases__", (_Meta("Other", (), {"__from_create__": staticmethod(_second)}),)),
    ],
    "an uninitialised staticmethod": [
        lambda F: setattr(F, "__from_create__", staticmethod.__new__(staticmethod)),
        lambda F: F.__dict__["__from_create__"].__init__(_second),
    ],
    "the type cache is cleared": [
        lambda F: sys._clear_type_cache(),
        lambda F: (sys._clear_type_cache(), setattr(F, "__from_create__", staticmethod(_second))),
    ],
}


def _result_or_error(call):
    try:
        return call()
    except Exception as e:
        return type(e).__name__


@pytest.mark.parametrize("changes", list(CLASS_CHANGES))
def test_factory_follows_every_change_as_getattr_would(strategy, monkeypatch, changes):
    base = _Meta("Base", (), {"__from_create__": staticmethod(_second)})
    factory = _Meta("Factory", (base,), {"__from_create__": staticmethod(_first)})
    monkeypatch.setattr(tdt, "L2Order", factory)
    seen = []
    for change in [lambda F: None] * 3 + CLASS_CHANGES[changes]:
        change(factory)
        for _ in range(2):
            seen.append((_result_or_error(lambda: _l2_order(strategy)),
                         _result_or_error(lambda: factory.__from_create__(11))))
    assert [got for got, _ in seen] == [expected for _, expected in seen]


class _Kinds:
    def __init__(self):
        self.__dict__.update({member.name: member.name.lower() for member in EVENT})


class _SlottedKinds:
    __slots__ = tuple(member.name for member in EVENT)

    def __init__(self):
        for member in EVENT:
            setattr(self, member.name, member.name.lower())


def _module_kinds():
    import types
    module = types.ModuleType("kinds")
    module.__dict__.update({member.name: member.name.lower() for member in EVENT})
    return module


NAMESPACE_CHANGES = {
    "instance dict swapped": (_Kinds, [
        lambda o: setattr(o, "__dict__", dict(vars(o), TICK="swapped")),
        lambda o: setattr(o, "__dict__", {k: v for k, v in vars(o).items() if k != "TICK"}),
    ]),
    "class gains a property": (_Kinds, [
        lambda o: setattr(type(o), "TICK", property(lambda self: "property")),
        lambda o: delattr(type(o), "TICK"),
    ]),
    "class gains __getattr__, the value goes": (_Kinds, [
        lambda o: setattr(type(o), "__getattr__", lambda self, n: "fallback"),
        lambda o: vars(o).pop("TICK"),
        lambda o: delattr(type(o), "__getattr__"),
    ]),
    "class gains __getattribute__": (_Kinds, [
        lambda o: setattr(type(o), "__getattribute__", lambda self, n: "intercepted"),
    ]),
    "object's class assigned": (_Kinds, [
        lambda o: setattr(o, "__class__", type("Other", (type(o),), {"TICK": property(lambda self: "other")})),
        lambda o: setattr(o, "__class__", type(o).__bases__[0]),
    ]),
    "slot emptied, refilled, shadowed": (_SlottedKinds, [
        lambda o: delattr(o, "TICK"),
        lambda o: setattr(o, "TICK", "refilled"),
        lambda o: setattr(type(o), "TICK", "class value"),
    ]),
    "module with a __getattr__": (_module_kinds, [
        lambda o: setattr(o, "__getattr__", lambda n: "module fallback"),
        lambda o: delattr(o, "TICK"),
        lambda o: setattr(o, "TICK", "back"),
    ]),
}


@pytest.mark.parametrize("changes", list(NAMESPACE_CHANGES))
def test_event_types_on_an_object_follow_every_change_as_getattr_would(strategy, monkeypatch, changes):
    make, steps = NAMESPACE_CHANGES[changes]
    if isinstance(make, type):
        make = type(make.__name__, (make,), {})   # a class of this test's own, free to change
    kinds = make()
    monkeypatch.setattr(tdt, "EVENT", kinds)

    def convert():
        strategy.on_snapshot(Snapshot(orig_time=T, security_id="000001", market_type=MarketType.SZSE))
        return drain()[-1].event_type
    seen = []
    for change in [lambda o: None] * 3 + steps:
        change(kinds)
        for _ in range(2):
            seen.append((_result_or_error(convert), _result_or_error(lambda: kinds.TICK)))
    assert [got for got, _ in seen] == [expected for _, expected in seen]


# ---- reference counts of the built dicts and the class values -----------------------------------

def test_dicts_and_class_values_leave_reference_counts_as_they_found_them():
    assert child_outcome(run_child("built_dict_reference_counts")) == "[]"


# ---- finalizers that run between a dict's fields and its making -----------------------------------

def test_tick_dicts_built_while_finalizers_convert_other_snapshots():
    # Reading iopv leaves cyclic garbage whose finalizers convert another snapshot; with a low
    # threshold the collector runs them at allocations, the dict's own among them.
    assert child_outcome(run_child("finalizers_convert_other_snapshots")) == "[] -1.0 000002.XSHE"


# ---- plain records whose attributes move between inline values, dicts and tables ------------------

@pytest.mark.parametrize("handler", ["on_snapshot", "on_bar"])
@pytest.mark.parametrize("case", list(children.PLAIN_CASES))
def test_plain_record_fields_are_the_objects_getattr_gives(handler, case):
    assert child_outcome(run_child("plain_record_fields", handler, case)) == "[]"


def test_plain_record_reads_leave_reference_counts_as_they_found_them():
    assert child_outcome(run_child("plain_record_reference_counts")) == "[]"
