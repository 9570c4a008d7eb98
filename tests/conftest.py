"""Shared fixtures: the module under test on the stand-in SDK and host, reset between tests."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

from halvex.lumet.environment import Environment  # noqa: E402
from halvex.lumet.utils import logger  # noqa: E402
import halvex.lumet.utils.trade_data_thread as tdt  # noqa: E402

CACHES = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders", "algo_child_orders",
          "algo_child_trades")


def drain(queue=None):
    """Removes and returns every event waiting on the queue, oldest first."""
    queue = tdt.event_queue if queue is None else queue
    out = []
    while len(queue):
        out.append(queue.popleft())
    return out


@pytest.fixture(autouse=True)
def fresh_module():
    """Every test starts with an empty queue, empty caches, a new host environment, empty logs,
    and the module's globals as loaded."""
    saved = dict(vars(tdt))
    drain()
    for name in CACHES:
        getattr(tdt, name).clear()
    Environment.reset()
    logger.system_log.clear()
    logger.user_system_log.clear()
    yield tdt
    restore_globals(tdt, saved)
    drain()


def restore_globals(module, saved):
    """Puts a module's globals back as `saved` (a copy of its namespace) had them."""
    for name in list(vars(module)):
        if name not in saved:
            delattr(module, name)
    for name, value in saved.items():
        if vars(module).get(name) is not value:
            setattr(module, name, value)


@pytest.fixture
def strategy():
    """A TovikStrategy made without running its constructor's host reads: just the SDK base."""
    from pytovik.strategy import TovikStrategy as Base
    s = tdt.TovikStrategy.__new__(tdt.TovikStrategy)
    Base.__init__(s)
    return s


class Recorder(object):
    """A record that logs every attribute read, in order, and answers from its keywords."""

    def __init__(self, **fields):
        object.__setattr__(self, "_fields", fields)
        object.__setattr__(self, "reads", [])

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        object.__getattribute__(self, "reads").append(name)
        if name not in fields:
            raise AttributeError(name)
        return fields[name]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running checks (memory bounds); deselect with -m 'not slow'")
