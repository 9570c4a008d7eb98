"""The SDK's timer facility.

A ``Timers`` object holds one-shot timers ordered by due time. Times are
integer nanoseconds read from ``clock`` (default ``time.monotonic_ns``);
tests inject their own clock and call ``fire_due`` by hand, while a live
strategy calls ``start()`` so a daemon thread named "tovik-timer" (the
SDK's timer thread) fires timers as they come due.

Rules:
* ``add(delay_ns, cb)`` makes ``cb`` due at ``clock() + delay_ns``; a zero
  or negative delay is due at once (at ``clock()``).
* timers due at the same time fire in the order they were added.
* ``fire_due`` calls callbacks on the calling thread, including timers a
  callback arms while firing, as long as they are due by ``now``. (With a
  frozen test clock, a callback that re-arms itself with no delay would
  therefore fire forever; give re-arming timers a positive delay.)
* an exception from a callback is appended to ``errors`` and the other
  timers still fire.
"""

import heapq
import itertools
import threading
import time


class Timers:

    def __init__(self, clock=None):
        self.clock = clock if clock is not None else time.monotonic_ns
        self.errors = []
        self._heap = []
        self._seq = itertools.count()
        self._lock = threading.Lock()
        self._thread = None
        self._stop = threading.Event()

    def add(self, delay_ns, callback):
        now = self.clock()
        due = now + max(delay_ns, 0)
        with self._lock:
            heapq.heappush(self._heap, (due, next(self._seq), callback))
        return due

    def pending(self):
        """[(due_ns, callback), ...] earliest first."""
        with self._lock:
            return [(due, cb) for due, _, cb in sorted(self._heap)]

    def fire_due(self, now_ns=None):
        """Fire every timer due at or before ``now_ns`` (default: the
        clock's current time). Returns how many fired."""
        now = self.clock() if now_ns is None else now_ns
        fired = 0
        while True:
            with self._lock:
                if not self._heap or self._heap[0][0] > now:
                    return fired
                _, _, callback = heapq.heappop(self._heap)
            fired += 1
            try:
                callback()
            except Exception as exc:
                self.errors.append(exc)

    # background firing

    def start(self, poll_s=0.001):
        if self._thread is not None and self._thread.is_alive():
            return
        self._stop.clear()
        self._thread = threading.Thread(
            target=self._run, args=(poll_s,), name="tovik-timer", daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self._thread = None

    def _run(self, poll_s):
        while not self._stop.is_set():
            self.fire_due()
            self._stop.wait(poll_s)
