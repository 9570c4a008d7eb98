"""Programs the tests run in a child interpreter, each a function picked by name.

`python tests/children.py NAME [ARG ...]` runs the child NAME with its arguments (strings); its
last printed line is its outcome. Scenarios that could end in a memory error or a crash run there,
so that a crash is a failed test, not a lost suite. The tests start them with `run_child` and read
them with `child_outcome`. A child imports the module itself (`loaded()`), as some change the SDK
before the load.
"""

import json
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.path.dirname(HERE), "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

from pytovik.enums import MarketType  # noqa: E402
from pytovik.records import Snapshot  # noqa: E402


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


if __name__ == "__main__":
    CHILDREN[sys.argv[1]](*sys.argv[2:])
