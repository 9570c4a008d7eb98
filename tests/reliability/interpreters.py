"""The module loads into one interpreter per process: every other interpreter is refused.

Checked with the interpreter's own means: a legacy sub-interpreter (`_testcapi.run_in_subinterp`,
shared GIL, no extension checks), where the module's create slot must refuse it; and, on 3.12
and newer, an isolated sub-interpreter with its own GIL (`_xxsubinterpreters` / `_interpreters`),
which must refuse the import too: the module claims no per-interpreter support. The main
interpreter's module must keep working afterwards.

Usage: python tests/reliability/interpreters.py (with the module importable). Exit status 0 or 1.
"""

import importlib
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import halvex.lumet.utils.trade_data_thread as tdt  # noqa: E402

REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Runs inside the sub-interpreter: tries the import and writes what happened to a file.
SUB = """
import sys
sys.path[:0] = {path!r}
try:
    import halvex.lumet.utils.trade_data_thread
    outcome = "imported"
except BaseException as e:
    outcome = "%s: %s" % (type(e).__name__, e)
with open({out!r}, "w") as f:
    f.write(outcome)
"""


def in_subinterpreter(run):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "outcome")
        run(SUB.format(path=list(sys.path), out=out))
        with open(out) as f:
            return f.read()


def legacy(code):
    import _testcapi
    _testcapi.run_in_subinterp(code)


def isolated(code):
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = importlib.import_module(name)
            break
        except ImportError:
            continue
    interp = interpreters.create()  # the default: isolated, with its own GIL
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def main():
    checks = [("legacy sub-interpreter", legacy, lambda o: o == "ImportError: " + REFUSAL)]
    if sys.version_info >= (3, 12):
        checks.append(("isolated sub-interpreter, own GIL", isolated, lambda o: o.startswith("ImportError: ")))
    failed = False
    for label, run, expected in checks:
        outcome = in_subinterpreter(run)
        good = expected(outcome)
        failed |= not good
        print("%s %s: %s" % ("ok  " if good else "FAIL", label, outcome))
    alive = tdt.get_current_tick("absent") is None and tdt.TovikStrategy.__module__ == tdt.__name__
    print("%s main interpreter's module still works" % ("ok  " if alive else "FAIL"))
    return 1 if failed or not alive else 0


if __name__ == "__main__":
    sys.exit(main())
