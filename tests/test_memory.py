"""Memory stays bounded: a fixed universe of instruments streaming snapshots for a long time
neither grows the process (resident pages from /proc/self/statm) nor the objects the collector
tracks, once every instrument's ring of 60 ticks is full."""

import collections
import gc
import os

import pytest

from reliability import entries as E

tdt = E.tdt
UNIVERSE = 100
WARMUP = 20000       # fills every ring and every cache on the way
SNAPSHOTS = 1000000  # counted after the warm-up
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@pytest.mark.slow
def test_a_million_snapshots_of_a_fixed_universe_keep_memory_flat(strategy):
    queue = tdt.event_queue = collections.deque()  # drained as the host would
    records = [E.snapshot(security_id="%06d" % i, orig_time=E.T0 + i, last_price=float(i))
               for i in range(UNIVERSE)]
    on_snapshot = strategy.on_snapshot

    def feed(count):
        for _ in range(count // UNIVERSE):
            for record in records:
                on_snapshot(record)
            queue.clear()

    feed(WARMUP)
    gc.collect()
    rss_before, objects_before = resident_bytes(), len(gc.get_objects())
    feed(SNAPSHOTS)
    gc.collect()
    rss_growth, object_growth = resident_bytes() - rss_before, len(gc.get_objects()) - objects_before
    assert len(tdt.history_tick) == UNIVERSE and all(len(r) == 60 for r in tdt.history_tick.values())
    # One leaked byte per snapshot would be a megabyte; one leaked object, a million.
    assert rss_growth < 1 << 20, rss_growth
    assert object_growth < 1000, object_growth
