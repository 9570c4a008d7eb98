"""The function type behind every module function and method."""

import copy
import inspect
import pickle
import sys
import weakref

import pytest

import halvex.lumet.utils.trade_data_thread as tdt

QUALIFY = sys.version_info >= (3, 10)  # CPython names functions by qualname in errors from 3.10


def name(qualname):
    return qualname if QUALIFY else qualname.rsplit(".", 1)[-1]


def test_introspection():
    f = tdt.TovikStrategy.on_query_asset
    assert f.__name__ == "on_query_asset"
    assert f.__qualname__ == "TovikStrategy.on_query_asset"
    assert f.__module__ == "halvex.lumet.utils.trade_data_thread"
    assert f.__doc__ is None
    assert str(inspect.signature(f)) == "(self, asset_res, request_id, code, msg)"
    assert str(inspect.signature(tdt.history_bars)) == "(market_code, count)"
    assert repr(tdt.get_current_bar) == "<function get_current_bar>"


def test_binding(strategy):
    cls = tdt.TovikStrategy
    raw = cls.__dict__["on_snapshot"]
    assert raw.__get__(None, cls) is raw
    bound = strategy.on_snapshot
    assert bound.__self__ is strategy and bound.__func__ is raw
    assert str(inspect.signature(bound)) == "(snapshot)"


@pytest.mark.parametrize("call, message", [
    (lambda: tdt.history_ticks("x"), "{}() missing 1 required positional argument: 'count'".format(
        name("history_ticks"))),
    (lambda: tdt.history_ticks(), "{}() missing 2 required positional arguments: 'market_code' and 'count'".format(
        name("history_ticks"))),
    (lambda: tdt.TovikStrategy.on_query_asset(), "{}() missing 5 required positional arguments: 'self', "
     "'asset_res', 'request_id', 'code', and 'msg'".format(name("TovikStrategy.on_query_asset"))),
    (lambda: tdt.get_current_tick("a", "b"), "{}() takes 1 positional argument but 2 were given".format(
        name("get_current_tick"))),
    (lambda: tdt.history_bars("a", 1, 2), "{}() takes 2 positional arguments but 3 were given".format(
        name("history_bars"))),
    (lambda: tdt.get_current_tick(code="a"), "{}() got an unexpected keyword argument 'code'".format(
        name("get_current_tick"))),
    (lambda: tdt.history_bars("a", market_code="b"), "{}() got multiple values for argument 'market_code'".format(
        name("history_bars"))),
])
def test_bad_calls_raise_the_usual_type_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_bound_call_counts_self(strategy):
    with pytest.raises(TypeError) as err:
        strategy.on_snapshot(1, 2)
    assert str(err.value) == "{}() takes 2 positional arguments but 3 were given".format(
        name("TovikStrategy.on_snapshot"))


def test_keywords_by_name_in_any_order():
    tdt.history_tick["c"] = __import__("collections").deque([1, 2, 3])
    assert tdt.history_ticks(count=2, market_code="c") == [2, 3]
    assert tdt.get_current_tick(market_code="c") == 3


@pytest.mark.parametrize("function", [tdt.get_current_tick, tdt.TovikStrategy.on_order], ids=["function", "method"])
def test_copied_and_pickled_as_itself(function):
    assert copy.copy(function) is function and copy.deepcopy([function])[0] is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function, protocol


def test_weak_references(strategy):
    function = tdt.get_current_tick
    assert weakref.ref(function)() is function
    method = weakref.WeakMethod(strategy.set_timer)
    assert method() == strategy.set_timer and method().__func__ is tdt.TovikStrategy.set_timer
