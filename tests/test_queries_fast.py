"""The history window and the market code against the plain-Python reference (bench/reference.py)
over hostile values: deques in every shape their blocks can take, subclasses and other buffers,
counts of every kind; security ids and suffixes of every storage a str can have, str subclasses,
and more codes than the module keeps. The stats build also shows which of them take the fast path.
"""

import collections
import ctypes
import gc
import importlib.util
import os
import sys
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Snapshot

CODE = "000001.XSHE"
ITEMS = [object() for _ in range(400)]
STATS = hasattr(tdt, "_fastpath_stats")
needs_stats = pytest.mark.skipif(not STATS, reason="needs the stats build (make test-stats)")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
LAYOUTS_KNOWN = (3, 8) <= sys.version_info[:2] <= (3, 13) and not FREE_THREADED


def _reference():
    if "reference" not in sys.modules:
        path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "reference.py")
        spec = importlib.util.spec_from_file_location("reference", path)
        sys.modules["reference"] = module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return sys.modules["reference"]


reference = _reference()


def outcome(fn, *args):
    """What a call gives, comparable across the two: the list's type and item identities, or the
    exception's type and message."""
    try:
        result = fn(*args)
    except Exception as exc:
        return type(exc), str(exc)
    return type(result), [id(x) for x in result] if isinstance(result, list) else result


def windows_agree(buffer, counts):
    for native, python, history in ((tdt.history_ticks, reference.history_ticks, "history_tick"),
                                    (tdt.history_bars, reference.history_bars, "history_bar")):
        for module in (tdt, reference):
            setattr(module, history, {CODE: buffer})
        for count in counts:
            assert outcome(native, CODE, count) == outcome(python, CODE, count), (type(buffer), len(buffer), count)


# ---- the window --------------------------------------------------------------------------------

class Index:
    def __init__(self, value, then=None):
        self.value, self.then = value, then

    def __index__(self):
        if self.then:
            self.then()
        return self.value


COUNTS = [0, 1, 2, 59, 60, 61, 63, 64, 65, 128, 300, 401, 10 ** 30, True, False, Index(3), -1, -(10 ** 30),
          1.5, "3", None]


def apply(d, ops):
    """Runs (operation, n) pairs on a deque: n items added at an end, taken from one, or rotated."""
    for op, n in ops:
        if op in ("append", "appendleft"):
            for item in ITEMS[:n]:
                getattr(d, op)(item)
        elif op in ("pop", "popleft"):
            for _ in range(min(n, len(d))):
                getattr(d, op)()
        elif op == "rotate":
            d.rotate(n - 65)
        else:
            d.clear()
    return d


OPS = st.tuples(st.sampled_from(["append", "appendleft", "pop", "popleft", "rotate", "clear"]), st.integers(0, 130))


@settings(settings.get_profile("hostile"))
@given(ops=st.lists(OPS, max_size=8), maxlen=st.sampled_from([None, None, 0, 1, 60, 64, 100]),
       counts=st.lists(st.integers(0, 320) | st.sampled_from(COUNTS), min_size=1, max_size=4))
def test_deque_windows_match_the_reference(ops, maxlen, counts):
    windows_agree(apply(collections.deque(maxlen=maxlen), ops), counts)


class Reversed(collections.deque):
    def __iter__(self):
        return reversed(list(collections.deque.__iter__(self)))


@pytest.mark.parametrize("buffer", [
    collections.deque(ITEMS[:300]),                             # five blocks, the first one full
    apply(collections.deque(maxlen=60), [("append", 130)]),     # a full ring that wrapped twice
    apply(collections.deque(), [("appendleft", 200), ("popleft", 70), ("rotate", 100)]),
    collections.deque(),
    Reversed(ITEMS[:70]), list(ITEMS[:70]), tuple(ITEMS[:10]), "a text",
], ids=["deque", "ring", "moved", "empty", "own-iter", "list", "tuple", "str"])
def test_windows_of_every_buffer_match_the_reference(buffer):
    windows_agree(buffer, COUNTS)


def test_a_count_that_changes_the_buffer_is_read_first():
    d = collections.deque(ITEMS[:10])
    # Each of the four calls adds the same ten items before the window is read.
    windows_agree(d, [Index(5, then=lambda: d.extend(ITEMS[10:20]))])
    assert len(d) == 50


@pytest.mark.parametrize("change", [
    lambda d: d.extend(ITEMS[:100]), lambda d: d.clear(), lambda d: [d.popleft() for _ in range(50)],
    lambda d: (d.popleft(), d.append(ITEMS[0])),
], ids=["grows", "empties", "shrinks", "same-length"])
def test_a_collection_run_by_the_window_list_may_change_the_deque(change):
    # A finalizer the collector runs while the window's list is made changes the deque: the window
    # is the deque as it is either before or after that (the collector runs inside the allocation
    # before 3.12, at the next check of the interpreter's loop from 3.12).
    d = collections.deque(ITEMS[:100])
    tdt.history_tick[CODE] = d
    ran = []

    class Finalized:
        def __del__(self):
            ran.append(True)
            change(d)

    before = list(d)
    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        cycle = Finalized()
        cycle.me = cycle
        del cycle
        gc.set_threshold(1)
        gc.enable()
        window = tdt.history_ticks(CODE, 1000)
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
    gc.collect()
    assert ran and [id(x) for x in window] in ([id(x) for x in before], [id(x) for x in d])
    if sys.version_info < (3, 12):
        assert [id(x) for x in window] == [id(x) for x in d]


# ---- the market code ---------------------------------------------------------------------------

def stored_as(text, maxchar):
    """`text` stored as C code may make a str: `PyUnicode_New(len, maxchar)` filled with its
    characters, wider than they need or one byte a character without the ASCII mark."""
    new = ctypes.pythonapi.PyUnicode_New
    new.restype, new.argtypes = ctypes.py_object, (ctypes.c_ssize_t, ctypes.c_uint32)
    made = new(len(text), maxchar)
    kind = 1 if maxchar < 256 else 2 if maxchar < 65536 else 4
    data = text.encode({1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}[kind])
    ctypes.memmove(id(made) + sys.getsizeof(made) - (len(text) + 1) * kind, data, len(data))
    return made


class Id(str):
    def __add__(self, other):
        return "id:" + str.__add__(self, other)


class Suffix(str):
    def __radd__(self, other):
        return other + "sfx:" + str(self)


def storage(text):
    return type(text), text, sys.getsizeof(text), text.isascii()


PAIRS = [("000001", "XSHE"), ("\u00e91\u4e2d", "XSHE"), ("1", "\U0001f600"), ("", ""), ("000001", "XSHG"),
         (Id("000001"), "XSHE"), ("000001", Suffix("XSHE")), ("8" * 32, "X" * 32), ("7" * 33, "XSHE")]
# A debug interpreter checks that a str is stored no wider than its characters need, and aborts on
# the ones below (its own concatenation of them too); a release interpreter takes them as they are.
if not hasattr(sys, "gettotalrefcount"):
    PAIRS += [(stored_as("000001", 0xFFFF), "XSHE"), (stored_as("000001", 0xFF), "XSHE"),
              ("000001", stored_as("XSHE", 0x10FFFF)), (stored_as("\u00e9", 0xFFFF), stored_as("X", 0xFF))]


def test_market_codes_are_the_concatenation_made_anew(strategy):
    # Every pair after each of the others (a code made from equal text in another storage first),
    # then more ids than the module keeps codes, then the pairs again.
    suffix = [None]
    tdt.get_exchane_from_tovik_mdtype = lambda market_type: suffix[0]
    many = [(str(100000 + i), "XSHE") for i in range(150)]
    for security_id, suffix[0] in PAIRS + PAIRS[::-1] + many + PAIRS + many[::3]:
        tdt.history_tick.clear()
        strategy.on_snapshot(Snapshot(security_id=security_id, market_type=MarketType.SZSE, orig_time=0))
        [(code, ticks)] = tdt.history_tick.items()
        expected = security_id + "." + suffix[0]
        assert storage(code) == storage(expected) and ticks[-1]["market_code"] is code


# ---- which path each takes (stats build) --------------------------------------------------------

def counts(path):
    return dict(tdt._fastpath_stats()[path])


@needs_stats
def test_the_block_layout_is_checked_on_the_versions_it_is_known_for():
    assert tdt._fastpath_stats()["layouts"]["deque_blocks"] is LAYOUTS_KNOWN


@needs_stats
@pytest.mark.parametrize("buffer, fast", [(collections.deque(ITEMS[:100], maxlen=60), True),
                                          (Reversed(ITEMS[:100]), False), (list(ITEMS[:100]), False)])
def test_the_window_is_copied_from_the_blocks_of_an_exact_deque_only(buffer, fast):
    tdt.history_tick[CODE] = buffer
    tdt.history_ticks(CODE, 60)
    before = counts("deque_window")
    window = tdt.history_ticks(CODE, 60)
    after = counts("deque_window")
    assert [id(x) for x in window] == [id(x) for x in list(buffer)[-60:]]
    # Where the layout is not known the path is compiled out and counts nothing.
    expected = ((1, 0) if fast else (0, 1)) if LAYOUTS_KNOWN else (0, 0)
    assert (after["hit"] - before["hit"], after["miss"] - before["miss"]) == expected


@needs_stats
@pytest.mark.parametrize("security_id, fast", [("000001", True), (Id("000001"), False)])
def test_a_code_made_before_is_handed_out_again_for_exact_str_only(strategy, security_id, fast):
    record = Snapshot(security_id=security_id, market_type=MarketType.SZSE, orig_time=0)
    strategy.on_snapshot(record)
    before = counts("market_code")
    strategy.on_snapshot(record)
    after = counts("market_code")
    assert (after["hit"] - before["hit"], after["miss"] - before["miss"]) == ((1, 0) if fast else (0, 1))



class _OwnItems(collections.deque):
    def __getitem__(self, index):
        return ("own", index)


@pytest.mark.parametrize("buffer", [
    collections.deque([1, 2, 3]), collections.deque(), collections.deque(range(300), maxlen=70), _OwnItems([1]),
    [4, 5],
], ids=["deque", "empty", "wrapped ring", "subclass", "list"])
def test_current_tick_is_the_newest_item_as_indexing_gives_it(buffer):
    tdt.history_tick["X"] = buffer

    def outcome(read):
        try:
            return read()
        except Exception as exc:  # noqa: BLE001 - the error is part of the outcome
            return type(exc), str(exc)
    assert outcome(lambda: tdt.get_current_tick("X")) == outcome(lambda: buffer[-1])
