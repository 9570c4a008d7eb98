"""Programs the tests run in a child interpreter, each a function picked by name.

`python tests/children.py NAME [ARG ...]` runs the child NAME with its arguments (strings); its
last printed line is its outcome. Scenarios that could end in a memory error or a crash run there,
so that a crash is a failed test, not a lost suite. The tests start them with `run_child` and read
them with `child_outcome`. A child imports the module itself (`loaded()`), as some change the SDK
before the load.
"""

import collections
import functools
import gc
import json
import os
import sys
import tempfile
import threading
import types

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.path.dirname(HERE), "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

from halvex.lumet.core.events import EVENT  # noqa: E402
from halvex.lumet.environment import Environment  # noqa: E402
from pytovik.enums import MarketType  # noqa: E402
from pytovik.records import Bar, Snapshot, TickTrade  # noqa: E402

NAME = "halvex.lumet.utils.trade_data_thread"
T = 1700000040000
SNAPSHOT = dict(Snapshot._fields, orig_time=T, security_id="000001", market_type=MarketType.SZSE)
BAR = dict(Bar._fields, end_time=T, security_id="000001", market_type=MarketType.SZSE, close=2.0)
TRADE = dict(TickTrade._fields, trade_time=T, security_id="000001", market_type=MarketType.SZSE,
             bid_appl_seq_num=7, offer_appl_seq_num=5, trade_type=70)


# ---- running a child (the tests' side) ---------------------------------------------------------

def run_child(name, *args):
    """Runs the child `name` with `args` in a fresh interpreter with the stand-ins importable."""
    import subprocess
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([SIM] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-W", "ignore", os.path.abspath(__file__), name] + [str(a) for a in args],
                          env=env, capture_output=True, text=True, timeout=300)


def child_outcome(result):
    """The child's last printed line; the child must have ended normally."""
    assert result.returncode == 0, "child ended with status %d\n%s" % (result.returncode, result.stderr[-4000:])
    lines = result.stdout.strip().splitlines()
    assert lines, result.stderr[-4000:]
    return lines[-1]


# ---- what the children share ---------------------------------------------------------------------

CHILDREN = {}


def child(function):
    CHILDREN[function.__name__] = function
    return function


def loaded():
    """The module on the stand-ins, and a strategy made as the tests' `strategy` fixture makes it
    (plus the bar counter)."""
    import halvex.lumet.utils.trade_data_thread as tdt
    from pytovik.strategy import TovikStrategy as SdkBase
    s = tdt.TovikStrategy.__new__(tdt.TovikStrategy)
    SdkBase.__init__(s)
    s.bar_cnt = 0
    s.current_trade_dt = 0
    return tdt, s


def drain(tdt):
    out = []
    while len(tdt.event_queue):
        out.append(tdt.event_queue.popleft())
    return out


def in_thread(run, stack_kib):
    """run() on a thread whose stack is `stack_kib` KiB, or on this thread when 0."""
    if not stack_kib:
        return run()
    threading.stack_size(stack_kib * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)


# ---- instance-dict reads: the dict being searched is dropped by a key's comparison ---------------

class Rec(object):
    """A record that keeps its fields in its instance dict."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


class CollidingKey(object):
    """An instance-dict key that hashes like `name`. Once armed, its first comparison gives the
    record a new __dict__ (so the dict being searched loses its last owner) and fills the freed
    memory with lookalike dicts."""

    def __init__(self, record, name, replacement):
        self.record, self.name, self.replacement = record, name, replacement
        self.armed = False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed and self.record is not None:
            record, self.record = self.record, None
            record.__dict__ = dict(self.replacement)
            self.litter = [{self.name: "FREED"} for _ in range(64)]
        return False


def colliding(fields, name, replacement):
    record = Rec()
    key = CollidingKey(record, name, replacement)
    record.__dict__[key] = None
    record.__dict__.update(fields)   # the key is in place before `name`: it is compared first
    key.armed = True
    return record


DICT_READS = {
    "snapshot-security_id": ("on_snapshot", SNAPSHOT, "security_id", "000002",
                             lambda tdt: list(tdt.history_tick)[-1].split(".")[0]),
    "snapshot-last_price": ("on_snapshot", SNAPSHOT, "last_price", 9.0,
                            lambda tdt: tdt.history_tick["000001.XSHE"][-1]["last_price"]),
    "bar-security_id": ("on_bar", BAR, "security_id", "000002", lambda tdt: list(tdt.history_bar)[-1].split(".")[0]),
    "bar-close": ("on_bar", BAR, "close", 9.0, lambda tdt: tdt.history_bar["000001.XSHE"][-1]["close_price"]),
}


@child
def instance_dict_read(case):
    handler, fields, name, new_value, observe = DICT_READS[case]
    tdt, s = loaded()
    Environment.get_instance().set_universe(["a", "b", "c"])
    for _ in range(3):   # the read site learns Rec as an instance-dict type
        getattr(s, handler)(Rec(**fields))
    replacement = dict(fields, **{name: new_value})
    expected = getattr(colliding(fields, name, replacement), name)
    tdt.history_tick.clear()
    tdt.history_bar.clear()
    getattr(s, handler)(colliding(fields, name, replacement))
    print(repr(expected), repr(observe(tdt)))


# ---- slot reads: a member descriptor that belongs to another class --------------------------------

def offset_inside_the_record():
    """The foreign slot's offset falls on another slot of the record."""
    class Other(object):
        __slots__ = ("a", "security_id")

    class Rec(object):
        __slots__ = ("x0", "x1", "x2")

        def __init__(self):
            self.x0 = self.x1 = self.x2 = "STRAY"
    return Rec, Other.__dict__["security_id"]


def offset_past_the_record():
    """The foreign slot's offset lies past the record's end."""
    class Other(object):
        __slots__ = tuple("p%d" % i for i in range(40)) + ("security_id",)

    class Rec(object):
        __slots__ = ("x0",)

        def __init__(self):
            self.x0 = "STRAY"
    return Rec, Other.__dict__["security_id"]


FOREIGN_SLOTS = {
    "unrelated class, offset inside the record": offset_inside_the_record,
    "unrelated class, offset past the record": offset_past_the_record,
}


@child
def foreign_slot(layout):
    tdt, s = loaded()
    Rec, foreign = FOREIGN_SLOTS[layout]()
    for key, value in SNAPSHOT.items():
        if key != "security_id":
            setattr(Rec, key, value)

    def first_read(self):
        # The class takes the foreign descriptor while the module reads the attribute the first time.
        Rec.security_id = foreign
        Rec.x0   # and gets its new version tag at once
        return "000001"

    Rec.security_id = property(first_read)
    records = [Rec() for _ in range(64)]
    s.on_snapshot(records[20])
    try:
        s.on_snapshot(records[21])
        module = "no error: %r" % list(tdt.history_tick)
    except TypeError:
        module = "TypeError"
    try:
        records[22].security_id
        python = "no error"
    except TypeError:
        python = "TypeError"
    print(python, module)


# ---- recursion through the module's own functions -------------------------------------------------

def listener_is_the_bound_set_timer(tdt, s):
    s.create_time_listener = s.set_timer
    s.set_timer()


def listener_is_a_partial_of_set_timer(tdt, s):
    s.create_time_listener = functools.partial(tdt.TovikStrategy.set_timer, s)
    s.set_timer()


def deque_factory_is_a_partial_of_on_bar(tdt, s):
    bar = Bar(**BAR)
    tdt.deque = functools.partial(s.on_bar, bar)
    s.on_bar(bar)


def queue_append_is_a_partial_of_send_day_event(tdt, s):
    class Queue(object):
        pass
    queue = Queue()
    queue.append = functools.partial(tdt.TovikStrategy.send_day_event, s, EVENT.TICK)
    tdt.event_queue = queue
    s.send_day_event(EVENT.TICK, 1)


CYCLES = {
    "create_time_listener is the bound set_timer": listener_is_the_bound_set_timer,
    "create_time_listener is a partial of set_timer": listener_is_a_partial_of_set_timer,
    "the history's deque factory is a partial of on_bar": deque_factory_is_a_partial_of_on_bar,
    "the event queue's append is a partial of send_day_event": queue_append_is_a_partial_of_send_day_event,
}


def chain(error):
    while error is not None:
        yield error
        error = error.__cause__ or error.__context__


@child
def cycle(name, stack_kib):
    tdt, s = loaded()

    def run():
        try:
            CYCLES[name](tdt, s)
            print("returned")
        except Exception as e:
            print("caught", any(isinstance(x, RecursionError) for x in chain(e)))
    in_thread(run, int(stack_kib))


@child
def small_stack(stack_kib):
    """A query and a snapshot callback, by the module and by the plain-Python reference, on a
    thread with a stack of `stack_kib` KiB."""
    import importlib.util
    tdt, s = loaded()
    spec = importlib.util.spec_from_file_location("reference", os.path.join(os.path.dirname(HERE), "bench",
                                                                            "reference.py"))
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    from pytovik.strategy import TovikStrategy as SdkBase
    plain = reference.TovikStrategy.__new__(reference.TovikStrategy)
    SdkBase.__init__(plain)
    outcomes = []

    def attempt(call):
        try:
            call()
            outcomes.append("ok")
        except Exception as e:
            outcomes.append(repr(e))

    def run():
        attempt(lambda: tdt.get_current_tick("000001.XSHE"))
        attempt(lambda: s.on_snapshot(Snapshot(**SNAPSHOT)))
        attempt(lambda: plain.on_snapshot(Snapshot(**SNAPSHOT)))
    in_thread(run, int(stack_kib))
    print(outcomes, list(tdt.history_tick), list(reference.history_tick))


# ---- class values after the type cache restarts its version tags ----------------------------------

def before_trading_event(tdt, s):
    s.send_before_trading_event()
    return drain(tdt)[-1].event_type


def side_of_a_trade(tdt, s):
    s.on_tick_trade(TickTrade(**TRADE))
    return drain(tdt)[-1].l2_transaction.side


# The class, the member's name, and the steps that read it.
REPLACED_MEMBERS = {
    "EVENT.BEFORE_TRADING": (lambda tdt: EVENT, "BEFORE_TRADING", before_trading_event),
    "SIDE.BUY": (lambda tdt: tdt.SIDE, "BUY", side_of_a_trade),
}


@child
def replaced_member(member):
    tdt, s = loaded()
    owner, name, steps = REPLACED_MEMBERS[member]

    def run():
        # The same steps every time, so the class gets the same version tag whenever tags restart.
        sys._clear_type_cache()
        getattr(owner(tdt), name)
        return steps(tdt, s)

    for _ in range(5):
        run()
    replacement = object()
    type.__setattr__(owner(tdt), name, replacement)
    print(all(run() is replacement for _ in range(3)))


# ---- class values when the lookups that decide caching change the class ----------------------------

class Member(object):
    def __init__(self, tag):
        self.tag = tag


@child
def class_value_changed_during_its_lookups(change_at):
    # The metaclass namespace holds a key that hashes like "BUY": every lookup of BUY on the
    # metaclass compares it. Its comparison replaces SIDE.BUY at the chosen comparison (and gives
    # the class its new version tag at once), then fails, so no type cache keeps that lookup.
    change_at = int(change_at)
    tdt, s = loaded()

    class CollidingKey(object):
        armed = False
        compared = 0

        def __hash__(self):
            return hash("BUY")

        def __eq__(self, other):
            if CollidingKey.armed:
                CollidingKey.compared += 1
                if CollidingKey.compared == change_at:
                    type.__setattr__(SIDE, "BUY", Member("new"))
                    SIDE.SELL
                raise LookupError("comparison refused")
            return False

    Meta = type("Meta", (type,), {CollidingKey(): None})
    SIDE = Meta("SIDE", (), {"BUY": Member("old"), "SELL": Member("sell")})
    tdt.SIDE = SIDE
    for _ in range(3):
        s.on_tick_trade(TickTrade(**TRADE))
    drain(tdt)
    CollidingKey.armed = True
    Meta.touched = True    # the metaclass changes: remembered values are checked again
    outcomes = []
    for _ in range(4):
        before = vars(SIDE)["BUY"].tag
        s.on_tick_trade(TickTrade(**TRADE))
        after = vars(SIDE)["BUY"].tag
        got = drain(tdt)[-1].l2_transaction.side
        got = got.tag if type(got) is Member else repr(got)
        # Read while the class changes: the value before or after; once changed: the new one.
        outcomes.append(got in (before, after))
        gc.collect()
        litter = [Member("freed") for _ in range(100)]  # noqa: F841
    print(outcomes, vars(SIDE)["BUY"].tag)


# ---- a load that fails after the strategy class was made ---------------------------------------

def metaclass_registers_then_rejects(sdk, registry):
    class CheckedMeta(sdk.StrategyMeta):
        def __init__(cls, name, bases, namespace, **kwargs):
            super().__init__(name, bases, namespace, **kwargs)
            registry.append(cls)
            if cls.__module__ != __name__ and "on_account_update" not in namespace:
                raise TypeError("%s does not define on_account_update" % name)

    class Base(sdk.TovikStrategy, metaclass=CheckedMeta):
        pass
    return Base


def init_subclass_registers_then_rejects(sdk, registry):
    class Base(sdk.TovikStrategy):
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            registry.append(cls)
            raise TypeError("%s does not define on_account_update" % cls.__name__)
    return Base


REJECTING_SDKS = {
    "metaclass registers, then rejects": metaclass_registers_then_rejects,
    "__init_subclass__ registers, then rejects": init_subclass_registers_then_rejects,
}


@child
def failed_load_leaves_a_class(sdk_base):
    import pytovik.strategy as sdk
    registry = []
    Base = REJECTING_SDKS[sdk_base](sdk, registry)
    sdk.TovikStrategy = Base
    try:
        import halvex.lumet.utils.trade_data_thread  # noqa: F401
        print("imported")
    except TypeError:
        pass
    gc.collect()
    litter = [dict(a=i) for i in range(1000)]  # noqa: F841
    (cls,) = [c for c in registry if c.__module__ == NAME]
    strategy = cls.__new__(cls)
    Base.__init__(strategy)
    try:
        strategy.on_snapshot(Snapshot(security_id="000001", market_type=MarketType.SZSE))
        print("worked")
    except Exception as e:
        print(type(e).__name__, NAME in str(e))


# ---- legacy str objects not yet made ready --------------------------------------------------------

def legacy_str(text):
    """A str made through the legacy wide-character API, its buffer filled, never made ready."""
    import ctypes
    new = ctypes.pythonapi.PyUnicode_FromUnicode
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_ssize_t]
    buffer = ctypes.pythonapi.PyUnicode_AsUnicode
    buffer.restype, buffer.argtypes = ctypes.c_void_p, [ctypes.py_object]
    obj = new(None, len(text))
    ctypes.memmove(buffer(obj), ctypes.create_unicode_buffer(text), len(text) * ctypes.sizeof(ctypes.c_wchar))
    return obj


# The handler, its record with the given fields, and where the market code shows.
LEGACY_STR_HANDLERS = {
    "snapshot": ("on_snapshot", lambda fields: Snapshot(**dict(SNAPSHOT, **fields)),
                 lambda tdt: list(tdt.history_tick) + [drain(tdt)[-1].tick.market_code]),
    "bar": ("on_bar", lambda fields: Bar(**dict(BAR, **fields)), lambda tdt: list(tdt.history_bar)),
    "tick_trade": ("on_tick_trade", lambda fields: TickTrade(**dict(TRADE, **fields)),
                   lambda tdt: [drain(tdt)[-1].l2_transaction.market_code]),
}


@child
def market_code_from_a_legacy_str(handler, legacy):
    tdt, s = loaded()
    method, record, observe = LEGACY_STR_HANDLERS[handler]
    Environment.get_instance().set_universe(["a", "b"])
    fields = {}
    if legacy == "security_id":
        fields["security_id"] = legacy_str("000001")
    else:
        tdt.get_exchane_from_tovik_mdtype = lambda market_type: legacy_str("XSHE")
    getattr(s, method)(record(fields))
    print(sorted(set(observe(tdt))))


# ---- sub-interpreters ----------------------------------------------------------------------------

def import_in_sub_interpreter(out):
    """Runs in the sub-interpreter: tries the import and writes what happened, and which modules it
    imported, to the file `out`."""
    before = set(sys.modules)
    try:
        import halvex.lumet.utils.trade_data_thread  # noqa: F401
        outcome = "imported"
    except BaseException as e:
        outcome = "%s: %s" % (type(e).__name__, e)
    parents = {"halvex", "halvex.lumet", "halvex.lumet.utils"}
    with open(out, "w") as f:
        json.dump([outcome, sorted(set(sys.modules) - before - parents)], f)


def legacy_sub_interpreter():
    """Runs code in a sub-interpreter made as embedding applications make one: the GIL shared, no
    checks of extension modules. ImportError where this interpreter has no means to."""
    import _testcapi
    return _testcapi.run_in_subinterp


def interpreters_module_sub_interpreter():
    """Runs code in a sub-interpreter of the interpreter's own module: up to 3.11 it shares the
    GIL; from 3.12 it is isolated, with its own GIL."""
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def run(code):
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
    return run


SUB_INTERPRETERS = {
    "legacy": legacy_sub_interpreter,
    "interpreters module": interpreters_module_sub_interpreter,
}


@child
def sub_interpreter_import(kind, order):
    """The import in a sub-interpreter of `kind`, with the main interpreter's import before or after
    it: what the sub-interpreter saw, and the main interpreter's module at work."""
    try:
        run = SUB_INTERPRETERS[kind]()
    except ImportError as e:
        print("no sub-interpreter:", e)
        return
    if order == "main first":
        tdt, s = loaded()
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "outcome")
        run("import sys; sys.path[:0] = %r; import children; children.import_in_sub_interpreter(%r)"
            % ([HERE] + sys.path, out))
        with open(out) as f:
            outcome, imported = json.load(f)
    if order == "sub first":
        tdt, s = loaded()
    s.on_snapshot(Snapshot(security_id="000001", market_type=MarketType.SZSE, last_price=2.5))
    tick = tdt.get_current_tick("000001.XSHE")
    print(json.dumps([outcome, imported, list(tdt.history_tick), len(tdt.event_queue), tick["last_price"]]))


# ---- reference counts of the built dicts and the class values -----------------------------------

@child
def built_dict_reference_counts():
    from pytovik.records import PositionRecord, TickOrder
    tdt, s = loaded()
    tdt.event_queue = collections.deque()   # holds nothing once cleared
    value = float("12345.678")

    def first(*values):
        return values[0]
    factory = staticmethod(first)
    plain = type("Plain", (), {"__call__": lambda self, *values: values[0]})()
    classes = [type("A", (), {"__from_create__": factory}), type("B", (), {"__from_create__": plain}),
               type("C", (), {"__from_create__": classmethod(lambda cls, *values: values[0])})]
    l2_order = TickOrder(order_time=T, security_id="000001", market_type=MarketType.SZSE, side=49,
                         order_type=50, biz_index=11)

    def tick():
        s.on_snapshot(Snapshot(**dict(SNAPSHOT, last_price=value)))

    def bar():
        s.bar_cnt = s.current_trade_dt = 0
        s.on_bar(Bar(**dict(BAR, close=value)))

    def position():
        s.on_query_position([PositionRecord(security_id="000001", market_id=MarketType.SZSE,
                                            cost_price=value)], 1, 0, "")

    def factories():
        for cls in classes + classes[::-1] + classes[:1]:
            tdt.L2Order = cls
            s.on_tick_order(l2_order)

    def counts():
        tdt.event_queue.clear()
        tdt.history_tick.clear()
        tdt.history_bar.clear()
        gc.collect()
        return [sys.getrefcount(o) for o in (value, None, "close_price", "avg_price", first, factory, plain)]

    changed = []
    for convert in (tick, bar, position, factories):
        for _ in range(5):
            convert()
        before = counts()
        for _ in range(200):
            convert()
        if counts() != before:
            changed.append((convert.__name__, before, counts()))
    print(changed)


# ---- finalizers that run between a dict's fields and its making -----------------------------------

@child
def finalizers_convert_other_snapshots():
    # Reading iopv leaves cyclic garbage whose finalizers convert another snapshot; with a low
    # threshold the collector runs them at allocations, the dict's own among them.
    tdt, s = loaded()
    tdt.event_queue = collections.deque()
    depth = []

    class Garbage:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if not depth:
                depth.append(1)
                try:
                    s.on_snapshot(Snapshot(**dict(SNAPSHOT, security_id="000002", last_price=-1.0)))
                finally:
                    depth.pop()

    class Rec(Snapshot):
        __slots__ = ()
        _fields = tuple(field for field in Snapshot._fields if field[0] != "iopv")

        @property
        def iopv(self):
            for _ in range(3):
                Garbage()
            return self.last_price * 2

    fields = {k: v for k, v in SNAPSHOT.items() if k != "iopv"}
    wrong = []
    for i in range(300):
        free_list = [{} for _ in range(i % 90)]   # some dicts allocate, some come off the free list
        gc.set_threshold(1 + i % 5, 1000, 1000)
        s.on_snapshot(Rec(**dict(fields, last_price=float(i))))
        gc.set_threshold(700, 10, 10)
        tick = tdt.get_current_tick("000001.XSHE")
        if (list(tick)[:3], tick["last_price"], tick["iopv"], tick["market_code"]) != (
                ["market_code", "datetime", "open_price"], float(i), 2.0 * i, "000001.XSHE"):
            wrong.append(i)
        del free_list
    gc.collect()
    other = tdt.get_current_tick("000002.XSHE")
    print(wrong, other["last_price"], other["market_code"])


# ---- finalizers that run while a record is read ---------------------------------------------

@child
def finalizer_changes_the_class_during_a_read():
    tdt, s = loaded()

    class Rec:
        def __init__(self, **fields):
            for k, v in fields.items():
                setattr(self, k, v)

    class Other(Rec):
        pass

    fired = []

    class Bomb:
        def __del__(self):
            if not fired:
                fired.append(1)
                rec.__class__ = Other

    for _ in range(3):
        s.on_snapshot(Rec(**SNAPSHOT))
    drain(tdt)
    rec = Rec(**SNAPSHOT)
    hold = [{} for _ in range(300)]   # no dict left on the free list: the next one allocates
    gc.disable()
    junk = [[] for _ in range(1000)]
    b = Bomb()
    b.cyc = b
    del b
    gc.set_threshold(1)
    gc.enable()
    tdt.TovikStrategy.on_snapshot(s, rec)
    gc.set_threshold(700)
    del hold, junk
    gc.collect()
    print("survived", vars(rec)["security_id"])


# ---- plain records whose attributes move between inline values, dicts and tables ------------------

class Finalized(object):
    def __del__(self):
        gc.collect()


class PlainRecords:
    """Records of a plain class (attributes kept by the interpreter, no slots), a handler's fields
    by attribute and by the key it is stored under, and a check that compares what the module
    stored with what getattr gives for the same record, object for object."""

    HANDLERS = {
        "on_snapshot": (SNAPSHOT, "history_tick",
                        dict(zip(["open_price", "close_price", "high_price", "low_price", "total_turnover", "volume",
                                  "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
                                  "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"],
                                 ["open_price", "close_price", "high_price", "low_price", "total_value_trade",
                                  "total_volume_trade", "pre_close_price", "ask_volume", "ask_price", "bid_volume",
                                  "bid_price", "high_limited", "last_price", "low_limited", "open_interest",
                                  "prev_settlement", "iopv", "trading_phase_code"]))),
        "on_bar": (BAR, "history_bar",
                   {"open_price": "open", "close_price": "close", "high_price": "high", "low_price": "low",
                    "total_turnover": "amount", "volume": "volume", "prev_close": "prev_close"}),
    }

    def __init__(self, tdt, s, handler):
        self.tdt, self.s, self.handler = tdt, s, handler
        self.fields, self.history, self.stored_as = self.HANDLERS[handler]
        self.serial = 0
        self.flips = []

    def values(self, reverse=False):
        self.serial += 1
        out = [(name, float(self.serial * 100 + i) + 0.5 if name in self.stored_as.values() else self.fields[name])
               for i, name in enumerate(self.fields)]
        return out[::-1] if reverse else out

    def fill(self, record, reverse=False, store=setattr):
        for name, value in self.values(reverse):
            store(record, name, value)
        return record

    def new(self, cls, reverse=False):
        return self.fill(cls.__new__(cls), reverse)

    def convert(self, record):
        self.s.bar_cnt = self.s.current_trade_dt = 0
        getattr(self.s, self.handler)(record)

    def check(self, record):
        try:
            expected = {key: getattr(record, attr) for key, attr in self.stored_as.items()}
        except AttributeError:
            expected = AttributeError
        try:
            self.convert(record)
        except AttributeError:
            return expected is AttributeError
        got = getattr(self.tdt, self.history)["000001.XSHE"][-1]
        return expected is not AttributeError and all(got[key] is value for key, value in expected.items())

    # ---- the records, each made from the plain class `cls`

    def keys_in_reverse_order(self, cls):
        return self.new(cls, reverse=True)

    def stored_through_the_dict(self, cls):
        return self.fill(cls.__new__(cls), store=lambda r, n, v: vars(r).__setitem__(n, v))

    def dict_made(self, cls):
        record = self.new(cls)
        vars(record)
        return record

    def dict_made_then_attributes_set(self, cls):
        record = self.new(cls)
        vars(record)
        return self.fill(record)

    def dict_replaced(self, cls):
        record = self.new(cls)
        record.__dict__ = dict(vars(record))
        return record

    def dicts_replaced_in_alternating_orders(self, cls):
        record = self.new(cls)
        record.__dict__ = dict(list(vars(record).items())[::1 - 2 * (len(self.flips) % 2)])
        self.flips.append(record)
        return record

    def dict_replaced_by_a_subclass(self, cls):
        record = self.new(cls)
        record.__dict__ = type("D", (dict,), {"__getitem__": lambda self, k: "SUBCLASS"})(vars(record))
        return record

    def dict_cleared_and_refilled_in_reverse(self, cls):
        record = self.new(cls)
        vars(record).clear()
        self.fill(record, reverse=True)
        return record

    def every_attribute_deleted_and_set_again(self, cls):
        record = self.new(cls)
        for name in self.fields:
            delattr(record, name)
        return self.fill(record)

    def an_attribute_deleted(self, cls):
        record = self.new(cls)
        delattr(record, list(self.stored_as.values())[-1])
        return record

    @staticmethod
    def padded(record, count):
        for i in range(count):
            setattr(record, "p%d" % i, i)
        return record

    def more_keys_than_the_shared_table_holds_first(self, cls):
        return self.fill(self.padded(cls.__new__(cls), 40))

    def more_keys_than_the_shared_table_holds_after(self, cls):
        return self.fill(self.padded(self.new(cls), 40))

    def a_dict_of_two_byte_indices(self, cls):
        return self.fill(self.padded(self.new(cls), 300))

    def a_dict_of_two_byte_indices_pads_deleted(self, cls):
        record = self.fill(self.padded(cls.__new__(cls), 300))
        for i in range(300):
            delattr(record, "p%d" % i)
        return record

    def equal_keys_other_objects(self, cls):
        return self.fill(cls.__new__(cls), store=lambda r, n, v: vars(r).__setitem__("".join(list(n)), v))

    def str_subclass_keys(self, cls):
        class Key(str):
            pass
        record = cls.__new__(cls)
        for name, value in self.values():
            vars(record)[Key(name)] = value
        return record

    def a_key_that_is_no_str(self, cls):
        record = self.new(cls)
        vars(record)[1] = 2
        return record

    def class_changed_and_back(self, cls):
        record = self.fill(cls.__new__(cls), reverse=True)
        other = type("Other", (object,), {})
        self.new(other, reverse=True)   # its shared keys in the other order
        record.__class__ = other
        record.__class__ = cls
        return record

    def class_changed(self, cls):
        record = self.new(cls)
        record.__class__ = type("Other", (object,), {})
        return record

    def subclass(self, cls):
        return self.new(type("Sub", (cls,), {}))

    def type_cache_cleared(self, cls):
        sys._clear_type_cache()
        return self.new(cls)

    def finalizer_collects_while_a_value_is_replaced(self, cls):
        record = self.fill(cls.__new__(cls))
        record.__dict__[next(iter(self.stored_as.values()))] = Finalized()
        return self.fill(record)

    def dict_deleted(self, cls):
        record = self.fill(cls.__new__(cls))
        try:
            del record.__dict__
        except (AttributeError, TypeError):
            pass
        return self.fill(record, reverse=True)

    def function_object(self, cls):
        return self.fill(lambda: None)

    def namespace(self, cls):
        return self.fill(types.SimpleNamespace())

    def exception(self, cls):
        return self.fill(Exception())

    def slots_beside_a_dict(self, cls):
        return self.new(type("Mixed", (object,), {"__slots__": (list(self.stored_as.values())[0], "__dict__")}))

    def list_subclass(self, cls):
        return self.new(type("L", (list,), {}))

    def int_subclass(self, cls):
        return self.fill(type("I", (int,), {})(2 ** 70))


PLAIN_CASES = {
    "keys in reverse order": PlainRecords.keys_in_reverse_order,
    "stored through the dict": PlainRecords.stored_through_the_dict,
    "dict made": PlainRecords.dict_made,
    "dict made, then attributes set": PlainRecords.dict_made_then_attributes_set,
    "dict replaced": PlainRecords.dict_replaced,
    "dicts replaced in alternating orders": PlainRecords.dicts_replaced_in_alternating_orders,
    "dict replaced by a subclass": PlainRecords.dict_replaced_by_a_subclass,
    "dict cleared and refilled in reverse": PlainRecords.dict_cleared_and_refilled_in_reverse,
    "every attribute deleted and set again": PlainRecords.every_attribute_deleted_and_set_again,
    "an attribute deleted": PlainRecords.an_attribute_deleted,
    "more keys than the shared table holds, first": PlainRecords.more_keys_than_the_shared_table_holds_first,
    "more keys than the shared table holds, after": PlainRecords.more_keys_than_the_shared_table_holds_after,
    "a dict of two-byte indices": PlainRecords.a_dict_of_two_byte_indices,
    "a dict of two-byte indices, pads deleted": PlainRecords.a_dict_of_two_byte_indices_pads_deleted,
    "equal keys, other objects": PlainRecords.equal_keys_other_objects,
    "str subclass keys": PlainRecords.str_subclass_keys,
    "a key that is no str": PlainRecords.a_key_that_is_no_str,
    "class changed and back": PlainRecords.class_changed_and_back,
    "class changed": PlainRecords.class_changed,
    "subclass": PlainRecords.subclass,
    "type cache cleared": PlainRecords.type_cache_cleared,
    "finalizer collects while a value is replaced": PlainRecords.finalizer_collects_while_a_value_is_replaced,
    "dict deleted": PlainRecords.dict_deleted,
    "function object": PlainRecords.function_object,
    "namespace": PlainRecords.namespace,
    "exception": PlainRecords.exception,
    "slots beside a dict": PlainRecords.slots_beside_a_dict,
    "list subclass": PlainRecords.list_subclass,
    "int subclass": PlainRecords.int_subclass,
}


@child
def plain_record_fields(handler, case):
    tdt, s = loaded()
    Environment.get_instance().set_universe(["a", "b"])
    records = PlainRecords(tdt, s, handler)
    Plain = type("Plain", (object,), {})
    for _ in range(3):   # the sites learn instances that keep their values out of a dict
        records.convert(records.new(Plain))
    wrong = []
    for attempt in range(3):
        if not records.check(PLAIN_CASES[case](records, Plain)):
            wrong.append(attempt)
        if not records.check(records.new(Plain)):   # and fresh records still read right after it
            wrong.append("fresh %d" % attempt)
    print(wrong)


@child
def plain_record_reference_counts():
    tdt, s = loaded()
    tdt.event_queue = collections.deque()   # holds nothing once cleared
    value = float("12345.678")
    Plain = type("Plain", (object,), {})

    def record(where):
        r = (lambda: None) if where == "function" else Plain()
        for name, default in SNAPSHOT.items():
            setattr(r, name, value if name == "last_price" else default)
        if where == "dict made":
            vars(r)
        elif where == "dict replaced":
            r.__dict__ = dict(vars(r))
        return r

    changed = []
    for where in ("inline", "dict made", "dict replaced", "function"):
        records = [record(where) for _ in range(200)]
        for r in records[:5]:
            s.on_snapshot(r)
        tdt.event_queue.clear()
        tdt.history_tick.clear()
        gc.collect()
        before = sys.getrefcount(value)
        for r in records:
            s.on_snapshot(r)
        tdt.event_queue.clear()
        tdt.history_tick.clear()
        gc.collect()
        if sys.getrefcount(value) != before:
            changed.append((where, before, sys.getrefcount(value)))
    print(changed)


if __name__ == "__main__":
    CHILDREN[sys.argv[1]](*sys.argv[2:])
