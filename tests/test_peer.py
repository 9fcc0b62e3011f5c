"""The benchmark peer (bench/peer.py) agrees with the module on every benchmark case.

Same return values with the same types and key orders, the same log calls, arguments left as
they were; so the timings of bench/run.py compare equal work.
"""
import copy
import os
import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
import peer  # noqa: E402
import run as bench  # noqa: E402

CASES = [pytest.param(case, id=case.label) for case in bench.CASES]
LOGGING = [pytest.param(case, id=case.label) for case in bench.CASES
           if case.func in ("apply_optimal_params", "resolve_free_model")]


class Recorder:
    """Stands in for a logger and keeps every info call."""

    def __init__(self):
        self.calls = []

    def info(self, *args, **kwargs):
        self.calls.append((args, kwargs))


@pytest.mark.parametrize("case", CASES)
def test_same_result(fm, case):
    before = copy.deepcopy(case.args)
    args = {"module": case.arguments(), "peer": case.arguments()}
    got = {name: getattr(side, case.func)(*args[name])
           for name, side in (("module", fm), ("peer", peer))}
    assert bench.same(got["module"], got["peer"]), got
    assert bench.same(case.args, before)
    if case.fresh:  # filled in place and handed back
        assert got["module"] is args["module"][0] and got["peer"] is args["peer"][0]


@pytest.mark.parametrize("case", LOGGING)
def test_same_log_calls(fm, monkeypatch, case):
    assert peer.log is fm.log
    logs = {"module": Recorder(), "peer": Recorder()}
    monkeypatch.setattr(fm, "log", logs["module"])
    monkeypatch.setattr(peer, "log", logs["peer"])
    case.call(fm)
    case.call(peer)
    assert bench.same(logs["module"].calls, logs["peer"].calls), logs["module"].calls


@pytest.mark.parametrize("a, b", [
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}),
    (1, 1.0),
    (True, 1),
    ([{"x": ["text"]}], [{"x": ["text", "text"]}]),
    (("url", {}), ["url", {}]),
])
def test_comparison_sees_differences(a, b):
    assert not bench.same(a, b)
    assert bench.same(a, copy.deepcopy(a))


def test_check_mode():
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(bench.module.__file__).parents[1]))
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--check"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip() == f"{len(bench.CASES)} cases agree"
