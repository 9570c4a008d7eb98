"""Attacks on the fast paths, each a minimal reproducer of a fault found and mended: a dict key of
another type that claims the name, a global read between a dict watcher and the change it
announces, and a type-tag witness tagged by someone else after the tags restart. Every build must
give what plain Python gives.

Crash-prone scenarios run in a child interpreter (as in test_fastpaths.py): a crash is a failure.
"""

import ctypes
import inspect
import os
import sys
import textwrap

import pytest

from conftest import drain
import halvex.lumet.utils.trade_data_thread as tdt
from pytovik.enums import MarketType
from pytovik.records import Snapshot
from children import HERE, SIM, child_outcome

# A scenario's start in its child interpreter: the module loaded, a strategy `s`, the records'
# usual fields and `drain()`, as the children of tests/children.py have them.
PRELUDE = """
import collections, functools, gc, sys
sys.path.insert(0, %r)
from children import *
from children import drain as _drain
tdt, s = loaded()
def drain():
    return _drain(tdt)
""" % HERE


def run_child(code):
    """Runs a scenario after PRELUDE in a fresh interpreter with the stand-ins importable."""
    import subprocess
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([SIM] + [p for p in sys.path if p]))
    return subprocess.run([sys.executable, "-W", "ignore", "-c", PRELUDE + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)

T = 1700000040000
V = sys.version_info[:2]


# ---- a kept answer whose dict key compares by its own __eq__ ------------------------------------

class Claim(object):
    """A dict key that hashes like `name`, placed before it; once armed it says it equals it, so a
    dict lookup of `name` finds this key's entry first."""

    def __init__(self, name):
        self.name, self.armed = name, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.armed and other == self.name


PlainRecord = type("Record", (object,), {})
# Its dict at a fixed offset: the interpreter's own attribute reads never go by a hint there.
DictSlotRecord = type("Record", (Exception,), {})


@pytest.mark.parametrize("cls", [PlainRecord, DictSlotRecord], ids=["plain class", "dict slot"])
def test_instance_dict_key_that_claims_the_name(strategy, cls):
    def record(claim=None):
        r = cls()
        if claim is not None:
            vars(r)[claim] = "CLAIMED"
        vars(r).update(Snapshot._fields, orig_time=T, security_id="000001", market_type=MarketType.SZSE)
        return r

    for _ in range(3):
        strategy.on_snapshot(record())
    claim = Claim("last_price")
    r = record(claim)
    strategy.on_snapshot(r)  # the claim says no: the entry of "last_price" is found and remembered
    claim.armed = True
    assert getattr(r, "last_price") == "CLAIMED"
    tdt.history_tick.clear()
    strategy.on_snapshot(r)
    assert tdt.history_tick["000001.XSHE"][-1]["last_price"] == "CLAIMED"
    drain()


# Run in a child: the key cannot be taken out of the module's namespace by the fixture's restore.
def test_module_global_under_a_key_that_claims_its_name():
    result = run_child(inspect.getsource(Claim) + textwrap.dedent("""
    Environment.get_instance().set_universe(["000001.XSHE"])
    namespace = vars(tdt)
    name = "convert_int_to_whole_date"
    value = namespace.pop(name)
    claim = Claim(name)
    namespace[claim] = lambda v: "CLAIMED"   # in the slot the name had: compared first
    namespace[name] = value

    def calendar_date():
        s.bar_cnt = s.current_trade_dt = 0
        s.on_bar(Bar(**BAR))
        return drain()[-1].calendar_dt

    calendar_date()
    claim.armed = True
    print(eval(name, namespace)(T), calendar_date())
    """))
    expected, got = child_outcome(result).split()
    assert got == expected


# ---- module globals kept across Python code that runs before a change --------------------------

def _has_dict_watchers():
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, "add_dict_watcher") and hasattr(_testcapi, "watch_dict")


@pytest.mark.skipif(V < (3, 12) or not _has_dict_watchers(), reason="dict watchers of _testcapi, 3.12 on")
def test_global_read_between_the_watcher_and_the_change():
    result = run_child("""
    import _testcapi
    Environment.get_instance().set_universe(["000001.XSHE"])

    def calendar_date():
        s.bar_cnt = s.current_trade_dt = 0
        s.on_bar(Bar(**BAR))
        return drain()[-1].calendar_dt

    tdt.convert_int_to_whole_date = lambda v: "OLD"   # held by the module dict alone
    calendar_date()
    failing = _testcapi.add_dict_watcher(1)             # its callback raises
    _testcapi.watch_dict(failing, vars(tdt))
    sys.unraisablehook = lambda unraisable: calendar_date()
    tdt.convert_int_to_whole_date = lambda v: "NEW"
    sys.unraisablehook = sys.__unraisablehook__
    _testcapi.unwatch_dict(failing, vars(tdt))
    gc.collect()
    litter = [(lambda v: "FREED") for _ in range(1000)]
    print(calendar_date())
    """)
    assert child_outcome(result) == "NEW"


# ---- the epoch's tag witness before 3.11 ---------------------------------------------------------

# The child's part: sites learn records of class Big; the type cache is cleared (tags restart);
# the witness is given a tag again by an attribute read through object.__subclasses__(); then a
# class gets the tag Big had, by giving throwaway classes tags until the counter is there.
WITNESS = """
import ctypes
def tag(t):
    return ctypes.c_uint32.from_address(id(t) + 48 * ctypes.sizeof(ctypes.c_void_p)).value
VALID = 1 << 19

def advance_to(target, keep):
    while True:
        t = type("Burn", (object,), {})
        getattr(t, "zzz", None)
        keep.append(t)
        if tag(t) >= target:
            return

Environment.get_instance().set_universe(["a"])
fields = dict(SNAPSHOT)

def witness():
    # Readied by the module's first learning, then one of object's subclasses like any other (a
    # plain object stands in where the module never learns).
    found = [t for t in object.__subclasses__() if t.__name__ == "tag_witness"]
    return found[0] if found else object()
"""

SAME_CLASS = WITNESS + """
class Rec(object):
    def __init__(self):
        self.__dict__.update(fields)
for _ in range(3):
    s.on_snapshot(Rec())
learned, w = tag(Rec), witness()
sys._clear_type_cache()
getattr(w, "zzz", None)                        # the witness has a tag, the epoch goes on
Rec.security_id = property(lambda self: "000009")
keep = []
advance_to(learned - 1, keep)
getattr(Rec, "zzz", None)
assert tag(Rec) == learned
tdt.history_tick.clear()
s.on_snapshot(Rec())
print(Rec().security_id, list(tdt.history_tick)[0].split(".")[0])
"""

FREED_CLASS = WITNESS + """
import weakref
# Big's slot lies past its base's words; S, with as many slots, has a type object of Big's size
# (freed and reused first) and instances 40 bytes short of that slot: the next S's own slot.
Big = type("Big", (Exception,), {"__slots__": ("orig_time",)})
for _ in range(3):
    r = Big()
    r.orig_time = T
    vars(r).update((k, v) for k, v in fields.items() if k != "orig_time")
    s.on_snapshot(r)
del r
address, learned, alive, w = id(Big), tag(Big), weakref.ref(Big), witness()
sys._clear_type_cache()
getattr(w, "zzz", None)
keep = []
advance_to(learned - 20, keep)
del Big
gc.collect()
assert alive() is None
others = []
for _ in range(50):
    S = type("S", (object,), {"__slots__": ("x",)})
    if id(S) == address:
        break
    others.append(S)
else:
    print("SKIP no class at the freed address")
    sys.exit(0)
assert not S.__flags__ & VALID
advance_to(learned - 1, keep)
getattr(S, "zzz", None)
assert tag(S) == learned
records = [S() for _ in range(64)]
for i, r in enumerate(records):
    r.x = 1000 * i   # read as a record time: i seconds

def converter(seconds):
    raise LookupError("time of record %d" % seconds)

tdt.convert_int_to_datetime = converter
try:
    s.on_snapshot(records[32])
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.skipif(V >= (3, 11), reason="the tag witness is used before 3.11 only")
@pytest.mark.skipif(ctypes.sizeof(ctypes.c_void_p) != 8, reason="reads version tags at 64-bit offsets")
@pytest.mark.parametrize("scenario, expected", [
    (SAME_CLASS, "000009 000009"),
    (FREED_CLASS, "AttributeError 'S' object has no attribute 'orig_time'"),
], ids=["same class changed", "freed class's address and tag"])
def test_guard_after_the_witness_is_tagged_by_another(scenario, expected):
    outcome = child_outcome(run_child(scenario))
    if outcome.startswith("SKIP"):
        pytest.skip(outcome)
    assert outcome == expected
