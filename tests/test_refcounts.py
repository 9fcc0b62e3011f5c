"""No reference leaks: every path that `make check-leaks` drives (success paths and the failure
tables of all five functions), with fewer calls per path."""
import sys

import pytest

from conftest import ROOT

sys.path.insert(0, str(ROOT / "tools"))
import check_leaks  # noqa: E402


@pytest.fixture(autouse=True)
def fewer_calls(monkeypatch):
    monkeypatch.setattr(check_leaks, "WARMUP", 200)
    monkeypatch.setattr(check_leaks, "CALLS", 2000)


@pytest.mark.parametrize("label, call, raises, patch", check_leaks.PATHS,
                         ids=[path[0] for path in check_leaks.PATHS])
def test_no_reference_leak(fm, label, call, raises, patch):
    assert check_leaks.check_path(label, call, raises, patch)
