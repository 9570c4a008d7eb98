"""Shared fixtures: the module under test on the stand-in SDK and host, reset between tests."""

import os
import sys

import pytest
from hypothesis import HealthCheck, settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

from halvex.lumet.environment import Environment  # noqa: E402
from halvex.lumet.utils import logger  # noqa: E402
import halvex.lumet.utils.trade_data_thread as tdt  # noqa: E402
from module_caches import CACHES  # noqa: E402

# Hypothesis: under CI every run draws the same examples and keeps no example database; no test has
# a deadline. The two modules that draw examples take their profiles by name. Each of their examples
# sets up the state it uses, so function-scoped fixtures shared across examples are no concern.
SUITE_PROFILE = "ci" if os.environ.get("CI") else "dev"
settings.register_profile("dev", settings.get_profile("default"), deadline=None)
settings.register_profile("ci", settings.get_profile("dev"), derandomize=True, database=None, print_blob=True)
settings.load_profile(SUITE_PROFILE)
_PER_EXAMPLE_SETUP = [HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
settings.register_profile("hostile", settings.get_profile(SUITE_PROFILE), max_examples=200,
                          suppress_health_check=_PER_EXAMPLE_SETUP)
# ORACLE_EXAMPLES raises the oracle's example count for a longer hunt.
settings.register_profile("oracle", settings.get_profile(SUITE_PROFILE),
                          max_examples=int(os.environ.get("ORACLE_EXAMPLES", 50)),
                          suppress_health_check=_PER_EXAMPLE_SETUP)


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


class Recorder:
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


class EmptiedAfterTest(dict):
    """orders_dict as another thread may leave it: emptied right after a membership test."""

    def __contains__(self, key):
        found = dict.__contains__(self, key)
        self.clear()
        return found


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running checks (memory bounds); deselect with -m 'not slow'")
