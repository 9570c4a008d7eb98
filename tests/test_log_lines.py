"""Log lines: every value in its default text form, as the plain-Python reference's f-string writes it.

The module writes exact str, int and float values, and int subclasses that format as int does
(IntEnum and IntFlag from 3.11), into the line itself; whatever the value, the line must be the
reference's, and it must follow a class whose `__format__` or `__str__` changes after warm-up.
"""

import decimal
import enum
import struct
import sys
import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import halvex.lumet.utils.trade_data_thread as tdt
from halvex.lumet.utils import logger
from pytovik.enums import OrderStatusType
from pytovik.strategy import TovikStrategy as SdkBase
from test_oracle import reference

# on_order's line carries nine record fields, in this order
FIELDS = ("client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
          "total_trade_value", "error_msg", "last_match_qty")


def logged(mod, values):
    """The lines `mod`'s on_order writes for a report carrying `values`, and what it raised."""
    strategy = mod.TovikStrategy.__new__(mod.TovikStrategy)
    SdkBase.__init__(strategy)
    logger.system_log.clear()
    try:
        strategy.on_order(types.SimpleNamespace(**dict(zip(FIELDS, values))))
        error = None
    except Exception as exc:   # an unhashable client order id fails the lookup after the line
        error = (type(exc), str(exc))
    return logger.system_log.lines(), error


def double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# the switches between fixed and exponent notation, and their neighbours
SWITCHES = [double(bits(x) + d) for x in (1e-4, 1e-5, 1e15, 1e16, 1e17, 5e-324, 1.7976931348623157e308)
            for d in (-1, 0, 1) if bits(x) + d < 2 ** 63]


class Text(str):
    pass


class Formatted(str):
    def __format__(self, spec):
        return Text("formatted\u20ac")   # a str subclass, wide


class Number(int):
    pass


class Price(float):
    pass


class Level(enum.IntEnum):
    LOW = 1
    HUGE = 2 ** 70


class Shouting(enum.IntEnum):
    A = 5

    def __str__(self):
        return "FIVE"


class Flag(enum.IntFlag):
    X = 1
    Y = 2


HOSTILE = ["", "abc", "\xe9" * 300, "\u9519\u8bef", "\U0001F600", Text("t\xe9"), Formatted("x"), Number(-3),
           Price(2.5), Level.LOW, Level.HUGE, Shouting.A, Flag.X, Flag.X | Flag.Y, True, False, 2 ** 63, -2 ** 63,
           -2 ** 63 - 1, 10 ** 30, np.float64(0.1), np.float32(0.1), np.int64(7), np.bool_(True),
           decimal.Decimal("1.10"), None, OrderStatusType.PartiallyFilled, b"raw", [1, 2.5]]

values = st.one_of(st.sampled_from(HOSTILE), st.sampled_from(SWITCHES), st.floats(),
                   st.integers(0, 2 ** 64 - 1).map(double), st.integers(), st.text())


@settings(settings.get_profile("hostile"))
@given(st.lists(values, min_size=len(FIELDS), max_size=len(FIELDS)))
def test_line_is_the_reference_line(fields):
    assert logged(tdt, fields) == logged(reference, fields)


@pytest.mark.parametrize("base", [enum.IntEnum, enum.IntFlag])
@pytest.mark.parametrize("method", ["__format__", "__str__"])
def test_line_follows_an_enum_changed_after_warm_up(base, method):
    status = base("Status", {"A": 3})
    fields = [1, "000001", 10.5, status.A, 100, 0, 0.0, "", 0]
    for change in (None, lambda cls: setattr(cls, method, lambda self, *spec: method), lambda cls: delattr(cls, method)):
        if change is not None:
            change(status)
        for _ in range(3):
            assert logged(tdt, fields) == logged(reference, fields)


@pytest.mark.skipif(not hasattr(tdt, "_fastpath_stats"), reason="counters are in the stats build only")
@pytest.mark.parametrize("status, written", [(OrderStatusType.Filled, sys.version_info >= (3, 11)),
                                             (Shouting.A, False)])
def test_enum_value_written_where_it_formats_as_int(status, written):
    fields = [1, "000001", 10.5, status, 100, 0, 0.0, "", 0]
    logged(tdt, fields)   # learns
    before = tdt._fastpath_stats()["text"]
    logged(tdt, fields)
    after = tdt._fastpath_stats()["text"]
    assert (after["hit"] - before["hit"], after["miss"] - before["miss"]) == ((1, 0) if written else (0, 1))
