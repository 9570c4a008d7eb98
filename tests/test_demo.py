"""The demo: a small simulated day through the module passes its own checks, shows every event kind,
and fails loudly, naming the check, when the module misbehaves."""

import json
import os
import subprocess
import sys

import halvex.lumet.utils.trade_data_thread as tdt
from halvex.lumet.core.events import EVENT

SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")
SMALL_DAY = ["--instruments", "3", "--seed", "3", "--speed", "20000"]


def test_small_day_passes_every_check_and_shows_every_event_kind(tmp_path):
    summary_file = tmp_path / "summary.json"
    run = subprocess.run([sys.executable, os.path.join(SIM, "demo.py")] + SMALL_DAY
                         + ["--json", str(summary_file)], capture_output=True, text=True, timeout=300)
    summary = json.loads(summary_file.read_text())
    assert [c for c in summary["checks"] if not c["ok"]] == []
    assert run.returncode == 0, run.stdout + run.stderr
    assert "All checks passed." in run.stdout
    assert {name for name, count in summary["events_by_type"].items() if count} == {e.name for e in EVENT}
    assert summary["events"] == sum(summary["events_by_type"].values())
    assert summary["latency_us"]["max"] >= summary["latency_us"]["p50"] > 0
    statuses = {o["what"]: o["status"] for o in summary["orders"]}
    assert statuses["fat finger"] == "REJECTED" and statuses["block buy"] == "CANCELLED"


def test_a_failed_check_is_named_and_ends_the_demo_with_status_1(monkeypatch, capsys):
    import demo  # conftest puts sim/ on the path
    monkeypatch.setattr(tdt.TovikStrategy, "on_switch_day", lambda self: None)
    assert demo.main(["--instruments", "1", "--speed", "50000"]) == 1
    out = capsys.readouterr().out
    assert "FAIL  caches are empty after the day switch: history_bar holds 1; history_tick holds 1" in out
    assert "1 check(s) failed." in out
