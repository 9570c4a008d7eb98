"""Reference and memory-block leaks of every entry point, on a debug interpreter.

Each entry point runs its cases (success paths, and every fault: a record attribute missing or
hostile, a module global missing or raising, an adapter attribute missing or hostile) in a
regrtest-style loop: 3 warm-ups, then 3 counted runs, each run passing over the cases 4 times,
with `gc.collect()` before each read of `sys.gettotalrefcount()` and `sys.getallocatedblocks()`.
An entry point leaks when every counted delta is positive; its leaking cases are then measured
one by one and printed.

Debian's numpy 1.24 (the build that loads into the debug interpreter) itself leaks references when
it compares or formats datetime64 values, which the clock does with `np.datetime64("today", "D")`.
The runner therefore rebinds the module's `np` to a stand-in whose `datetime64` gives a
`datetime.date`: the module makes the same calls, and only numpy's own leak is left out.

Usage: python tests/reliability/leaks.py [-v] [--exercise] [ENTRY ...]
--exercise runs every case once without counting (any interpreter; the sanitizer build uses it).
Exit status: 0 clean, 1 a leak, a SystemError, or a success path that failed.
"""

import array
import collections
import datetime
import gc
import logging
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import entries as E  # noqa: E402

WARMUPS, COUNTED = 3, 3
REPEAT = 4  # passes over an entry point's cases per run: a leak of one reference shows as 4 or more
OK, RAISED = "ok", "raised"


class DateNumpy:
    """`np.datetime64("today", "D")` as a plain date."""

    @staticmethod
    def datetime64(value, unit):
        assert (value, unit) == ("today", "D")
        return datetime.date.today()


E.tdt.np = DateNumpy()


def make_cases(entry):
    """(label, variant, fault) for every case of an entry point."""
    name, variants = entry
    module = E.Module()
    cases = []
    for vi, setup in enumerate(variants):
        module.reset(collections.deque())
        _, targets = setup(E.new_strategy())
        cases.append(("ok #%d" % vi, setup, None))
        for ti, target in enumerate(targets):
            for attr in E.attrs_of(target):
                cases.append(("#%d %s.%s missing" % (vi, type(target).__name__, attr), setup, ("del", ti, attr)))
                cases.append(("#%d %s.%s hostile" % (vi, type(target).__name__, attr), setup, ("bad", ti, attr)))
        for g in E.GLOBALS:
            cases.append(("#%d global %s missing" % (vi, g), setup, ("gdel", g)))
            cases.append(("#%d global %s raises" % (vi, g), setup, ("gbad", g)))
        for attr in E.SELF_ATTRS:
            cases.append(("#%d self.%s missing" % (vi, attr), setup, ("sdel", attr)))
            cases.append(("#%d self.%s hostile" % (vi, attr), setup, ("sbad", attr)))
    module.reset()
    return cases


class Runner:

    def __init__(self):
        self.module = E.Module()
        self.queue = collections.deque()
        self.hostile = E.Hostile()

    def run_case(self, case):
        """Runs one case on fresh state; returns OK, RAISED, or the name of an unexpected exception."""
        _, setup, fault = case
        self.module.reset(self.queue)
        s = E.new_strategy()
        try:
            call, targets = setup(s)
            if fault is not None:
                kind = fault[0]
                if kind == "del":
                    delattr(targets[fault[1]], fault[2])
                elif kind == "bad":
                    setattr(targets[fault[1]], fault[2], self.hostile)
                elif kind == "gdel":
                    delattr(E.tdt, fault[1])
                elif kind == "gbad":
                    setattr(E.tdt, fault[1], self.hostile)
                elif kind == "sdel":
                    delattr(s, fault[1])
                else:
                    setattr(s, fault[1], self.hostile)
            try:
                call()
                outcome = OK
            except SystemError:
                outcome = "SystemError"
            except Exception:
                outcome = RAISED
        finally:
            self.module.reset(self.queue)
            self.queue.clear()
        return outcome


def measure(run):
    """regrtest's loop: per counted run, the growth of total references and allocated blocks.
    The deltas go to preallocated arrays, which hold no references of their own."""
    refs, blocks = array.array("q", [0] * COUNTED), array.array("q", [0] * COUNTED)
    gc.collect()
    rc_before, bl_before = sys.gettotalrefcount(), sys.getallocatedblocks()
    for i in range(WARMUPS + COUNTED):
        run()
        gc.collect()
        rc_after, bl_after = sys.gettotalrefcount(), sys.getallocatedblocks()
        if i >= WARMUPS:
            refs[i - WARMUPS] = rc_after - rc_before
            blocks[i - WARMUPS] = bl_after - bl_before
        rc_before, bl_before = rc_after, bl_after
    return list(refs), list(blocks)


def leaks(deltas):
    return all(d >= 1 for d in deltas)


def main(argv):
    verbose = "-v" in argv
    exercise = "--exercise" in argv
    wanted = [a for a in argv if not a.startswith("-")]
    if not exercise and not hasattr(sys, "gettotalrefcount"):
        print("leaks.py needs a debug interpreter (sys.gettotalrefcount)")
        return 2
    logging.getLogger().addHandler(logging.NullHandler())  # the host loggers forward to logging
    runner = Runner()
    failures, total_cases, total_raised, measured = [], 0, 0, 0
    for entry in E.ENTRIES:
        name = entry[0]
        if wanted and name not in wanted:
            continue
        cases = make_cases(entry)
        measured += 1
        outcomes = [None] * len(cases)

        def run():
            for _ in range(REPEAT):
                for i, case in enumerate(cases):
                    outcomes[i] = runner.run_case(case)

        refs, blocks = ([], []) if exercise else measure(run)
        if exercise:
            run()
        raised = sum(1 for o in outcomes if o == RAISED)
        total_cases += len(cases)
        total_raised += raised
        problems = []
        for case, outcome in zip(cases, outcomes):
            if outcome not in (OK, RAISED):
                problems.append("%s: %s" % (case[0], outcome))
            elif case[2] is None and outcome != OK:
                problems.append("%s: the success path raised" % case[0])
        leaked = not exercise and (leaks(refs) or leaks(blocks))
        status = "LEAK" if leaked else ("FAIL" if problems else "ok")
        print("%-34s %4d cases, %4d raised  refs %-16s blocks %-16s %s" % (
            name, len(cases), raised, refs, blocks, status))
        if verbose or problems:
            for p in problems:
                print("    " + p)
        if leaked:
            for case in cases:
                c_refs, c_blocks = measure(lambda: [runner.run_case(case) for _ in range(REPEAT)])
                if leaks(c_refs) or leaks(c_blocks):
                    print("    leaks: %s  refs %s blocks %s" % (case[0], c_refs, c_blocks))
        if leaked or problems:
            failures.append(name)
    print("%d cases (%d on error paths) over %d entry points; %s" % (
        total_cases, total_raised, measured,
        "FAILED: " + ", ".join(failures) if failures else "no leaks"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
