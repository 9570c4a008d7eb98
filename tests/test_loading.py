"""Loading the module: one module object per process, the load sequence, the class shape."""

import importlib
import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

import halvex.lumet.utils.trade_data_thread as tdt
from children import SUB_INTERPRETERS, child_outcome, run_child
from conftest import CACHES, SIM

METHODS = [
    ("__init__", ["self", "config"]),
    ("initialize", ["self", "config"]),
    ("on_initialize", ["self"]),
    ("on_switch_day", ["self"]),
    ("on_snapshot", ["self", "snapshot"]),
    ("on_tick_order", ["self", "tick_order"]),
    ("on_tick_trade", ["self", "tick_trade"]),
    ("on_bar", ["self", "bar"]),
    ("on_login", ["self", "login_res"]),
    ("on_query_asset", ["self", "asset_res", "request_id", "code", "msg"]),
    ("on_query_position", ["self", "query_position_res", "request_id", "code", "msg"]),
    ("on_order", ["self", "order"]),
    ("on_trade", ["self", "trade"]),
    ("on_order_action_error", ["self", "order_action_error"]),
    ("on_algo_login", ["self", "algo_login_res"]),
    ("on_create_algo_parent_order_res", ["self", "create_parent_order_res"]),
    ("on_cancel_algo_parent_order_res", ["self", "cancel_parent_order_res"]),
    ("on_control_algo_parent_order_res", ["self", "control_parent_order_res"]),
    ("on_algo_parent_order_update", ["self", "parent_order"]),
    ("on_algo_child_order_update", ["self", "child_order"]),
    ("on_algo_child_order_trade", ["self", "child_trade"]),
    ("create_time_listener", ["self"]),
    ("send_day_event", ["self", "event_type", "dt"]),
    ("send_before_trading_event", ["self"]),
    ("send_after_trading_event", ["self"]),
    ("send_open_auction_event", ["self"]),
    ("set_timer", ["self"]),
]
FUNCTION_TYPE = type(tdt.get_current_tick)


def run_python(code, extra_path=()):
    """Runs code in a fresh interpreter with the stand-ins (and extra_path first) on sys.path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(list(extra_path) + [SIM] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120)


def test_second_import_gives_the_same_module_and_state():
    queue, caches = tdt.event_queue, [getattr(tdt, n) for n in CACHES]
    sys.modules.pop("halvex.lumet.utils.trade_data_thread")
    again = importlib.import_module("halvex.lumet.utils.trade_data_thread")
    assert again is tdt
    assert again.event_queue is queue
    assert [getattr(again, n) for n in CACHES] == caches and all(
        getattr(again, n) is c for n, c in zip(CACHES, caches))


def test_fresh_state_after_loading():
    result = run_python("""
        import halvex.lumet.utils.trade_data_thread as m
        from numpy_ringbuffer import RingBuffer
        import pytovik.strategy
        from module_caches import CACHES
        assert m.tovik_params == {} and m.__test__ == {}
        for name in CACHES:
            assert getattr(m, name) == {}, name
        assert isinstance(m.event_queue, RingBuffer) and len(m.event_queue) == 0
        assert m.event_queue.maxlen == 1000000 and m.event_queue.dtype == object
        assert m.TovikStrategy.__bases__ == (pytovik.strategy.TovikStrategy,)
        assert m.strategy is pytovik.strategy and m.__builtins__ is __import__("builtins")
        names = list(vars(m))
        assert names.index("tovik_params") < names.index("event_queue") < names.index("history_bar")
        assert names.index("get_current_bar") < names.index("history_bars") < names.index("TovikStrategy")
        assert names[-1] == "__test__"
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_class_shape():
    cls = tdt.TovikStrategy
    assert cls.__module__ == "halvex.lumet.utils.trade_data_thread"
    assert cls.__qualname__ == "TovikStrategy" and cls.__doc__ is None
    ours = [(k, v) for k, v in vars(cls).items() if isinstance(v, FUNCTION_TYPE)]
    assert [k for k, _ in ours] == [m for m, _ in METHODS]
    for (name, params), (_, func) in zip(METHODS, ours):
        assert func.__qualname__ == "TovikStrategy." + name
        assert func.__module__ == "halvex.lumet.utils.trade_data_thread"
        assert list(inspect.signature(func).parameters) == params


MAIN_ONLY = "module 'halvex.lumet.utils.trade_data_thread' can only be loaded in the main interpreter, not in a " \
    "sub-interpreter"
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.mark.parametrize("order", ["main first", "sub first"])
@pytest.mark.parametrize("kind", list(SUB_INTERPRETERS))
def test_sub_interpreter_is_refused_before_it_imports_anything(kind, order):
    # The libraries the load imports can be initialised once per process: a sub-interpreter that
    # imported them would break the main interpreter's module, whichever imports first.
    outcome = child_outcome(run_child("sub_interpreter_import", kind, order))
    if outcome.startswith("no sub-interpreter"):
        pytest.skip(outcome)
    refusal, imported, *main = json.loads(outcome)
    if kind == "interpreters module" and sys.version_info >= (3, 12):
        # Isolated, with its own GIL: the interpreter refuses the module before its create slot.
        assert refusal.startswith("ImportError: ") and tdt.__name__ in refusal
    else:
        assert refusal == "ImportError: " + (CHANGE if order == "main first" else MAIN_ONLY)
    assert imported == []
    assert main == [["000001.XSHE"], 1, 2.5]


def write_module(root, dotted, source):
    path = os.path.join(root, *dotted.split(".")) + ".py"
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(textwrap.dedent(source))


def test_missing_host_name_fails_the_load_and_a_later_import_starts_over(tmp_path):
    # A host constants module without POSITION_DIRECTION shadows the stand-in's (halvex.lumet is a
    # namespace package, so the first portion on sys.path that has the module wins).
    write_module(str(tmp_path), "halvex.lumet.const", f"""
        exec(open({os.path.join(SIM, "halvex", "lumet", "const.py")!r}).read())
        del POSITION_DIRECTION
    """)
    result = run_python("""
        import traceback
        try:
            import halvex.lumet.utils.trade_data_thread
        except ImportError as e:
            print("error:", e)
            print("frame:", [f.name for f in traceback.extract_tb(e.__traceback__)][-1])
        import halvex.lumet.const as const
        import enum
        const.POSITION_DIRECTION = enum.Enum("POSITION_DIRECTION", "LONG SHORT")
        import halvex.lumet.utils.trade_data_thread as m
        print("second:", m.POSITION_DIRECTION is const.POSITION_DIRECTION)
    """, extra_path=[str(tmp_path)])
    assert "error: cannot import name POSITION_DIRECTION\n" in result.stdout, result.stderr
    assert "frame: init halvex.lumet.utils.trade_data_thread" in result.stdout
    assert "second: True" in result.stdout, result.stderr


def test_load_needs_no_user_logger(tmp_path):
    # The host's user logger is looked up when a warning is written, never at load.
    write_module(str(tmp_path), "halvex.lumet.utils.logger", f"""
        exec(open({os.path.join(SIM, "halvex", "lumet", "utils", "logger.py")!r}).read())
        del user_system_log
    """)
    result = run_python("""
        import halvex.lumet.utils.trade_data_thread as m
        print("bound:", "user_system_log" in vars(m))
    """, extra_path=[str(tmp_path)])
    assert result.stdout.strip() == "bound: False", result.stderr


@pytest.mark.parametrize("extra, bound, absent", [
    ("__all__ = list(__all__) + ['_Hidden']", ["MDType", "_Hidden"], ["Other", "enum"]),
    ("del __all__", ["MDType", "Other", "enum"], ["_Hidden"]),
])
def test_star_import_of_the_sdk_enumerations(tmp_path, extra, bound, absent):
    sim_pytovik = os.path.join(SIM, "pytovik")
    write_module(str(tmp_path), "pytovik.__init__", f"__path__.append({sim_pytovik!r})\n")
    write_module(str(tmp_path), "pytovik.enums", f"""
        exec(open({os.path.join(sim_pytovik, "enums.py")!r}).read())
        _Hidden = 2
        Other = 3
        {extra}
    """)
    result = run_python(f"""
        import halvex.lumet.utils.trade_data_thread as m
        print([hasattr(m, n) for n in {bound!r}], [hasattr(m, n) for n in {absent!r}])
    """, extra_path=[str(tmp_path)])
    assert result.stdout.strip() == f"{[True] * len(bound)} {[False] * len(absent)}", result.stderr


def test_star_import_of_an_object_without_namespace():
    result = run_python("""
        import sys
        import halvex.lumet.utils.trade_func, pytovik.strategy  # the host's own users of the enums
        class Bare:
            __slots__ = ()
        sys.modules["pytovik.enums"] = Bare()
        try:
            import halvex.lumet.utils.trade_data_thread
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == "from-import-* object has no __dict__ and no __all__", result.stderr


def test_only_the_entry_point_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", tdt.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.split()[1:2] in (["T"], ["D"], ["B"])]
    assert symbols == ["PyInit_trade_data_thread"]


def test_installed_distribution_holds_only_the_extension():
    from importlib import metadata
    try:
        files = metadata.files("trade-data-thread")
    except metadata.PackageNotFoundError:
        pytest.skip("running against a development build")
    shipped = [str(f) for f in files if ".dist-info" not in str(f)]
    assert len(shipped) == 1 and shipped[0].startswith("halvex/lumet/utils/trade_data_thread.")


def test_event_queue_drops_the_oldest_when_full():
    queue = tdt.event_queue
    for i in range(1000001):
        queue.append(i)
    assert len(queue) == 1000000
    assert queue[0] == 1 and queue[len(queue) - 1] == 1000000
