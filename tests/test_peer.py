"""The benchmark peer (bench/peer.py) agrees with the module on every benchmark case.

Same return values with the same types and key orders, the same log calls, arguments left as
they were; so the timings of bench/run.py compare equal work.
"""
import copy
import pathlib
import sys
import types

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
import peer  # noqa: E402
import run as bench  # noqa: E402

CASES = [pytest.param(case, id=case.label) for case in bench.CASES]
LOGGING = [pytest.param(case, id=case.label) for case in bench.CASES
           if case.func in ("apply_optimal_params", "resolve_free_model")]


def recorder():
    """A logger stand-in that keeps every info call in its `calls`."""
    calls = []
    return types.SimpleNamespace(calls=calls, info=lambda *a, **k: calls.append((a, k)))


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
    logs = {"module": recorder(), "peer": recorder()}
    monkeypatch.setattr(fm, "log", logs["module"])
    monkeypatch.setattr(peer, "log", logs["peer"])
    case.call(fm)
    case.call(peer)
    assert bench.same(logs["module"].calls, logs["peer"].calls), logs["module"].calls


@pytest.mark.parametrize("a, b", [
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}), (1, 1.0), (True, 1),
    ([{"x": ["text"]}], [{"x": ["text", "text"]}]), (("url", {}), ["url", {}])])
def test_comparison_sees_differences(a, b):
    assert not bench.same(a, b)
    assert bench.same(a, copy.deepcopy(a))
