"""Shared fixtures: the built module, a clean module namespace per test, traceback reading."""
import contextlib
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import settings

# Under valgrind every example costs a hundred times more: HYPOTHESIS_PROFILE=valgrind.
settings.register_profile("valgrind", max_examples=10, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

ROOT = pathlib.Path(__file__).resolve().parent.parent
PEER = ROOT / "bench" / "peer.py"
# The sanitizer and valgrind checks point FREE_MODELS_LIB at their own build of the module.
BUILT = pathlib.Path(os.environ.get("FREE_MODELS_LIB") or ROOT / "build" / "lib")
if str(BUILT) not in sys.path:
    sys.path.insert(0, str(BUILT))

import routes.free_models as _fm  # noqa: E402

FILE = "routes/free_models"
MOD = "routes.free_models"
# The shipped catalogue: rows (display name, model id, context window), each model's
# (temperature, top_p, max_tokens), and the keys of a choice entry in their order.
MODELS = [("Hy3", "hy3-free", 192000), ("Laguna S 2.1", "laguna-s-2.1-free", 256000),
          ("Nemotron 3 Ultra", "nemotron-3-ultra-free", 192000),
          ("Nemotron 3.5 Lightning", "nemotron-3.5-lightning-free", 192000)]
OPTIMAL = {"hy3-free": (0.7, 0.95, 16384), "laguna-s-2.1-free": (0.2, 0.9, 16384),
           "nemotron-3-ultra-free": (0.6, 0.95, 32768),
           "nemotron-3.5-lightning-free": (0.4, 0.95, 16384)}
KEYS = ["name", "model", "provider", "api_type", "api_base", "api_key", "enabled", "modalities",
        "max_context", "max_tokens", "temperature", "top_p", "free"]

TABLES = ("FREE_MODELS", "FREE_MODEL_OPTIMAL_PARAMS", "_FREE_MODEL_FAMILY_PARAMS",
          "_FREE_PARAMS_FALLBACK", "FREE_ATTRIBUTION_HEADERS")


def _snapshot(obj):
    if type(obj) is dict:
        return obj, {k: _snapshot(v) for k, v in obj.items()}
    if type(obj) in (list, tuple):
        return obj, [_snapshot(v) for v in obj]
    return obj, None


def _restore(snap):
    obj, inner = snap
    if type(obj) is dict:
        obj.clear()
        obj.update({k: _restore(v) for k, v in inner.items()})
    elif type(obj) is list:
        obj[:] = [_restore(v) for v in inner]
    elif type(obj) is tuple:
        for v in inner:
            _restore(v)
    return obj


@contextlib.contextmanager
def pristine():
    """Yields the module's namespace as it was; puts it and the contents of the module's tables
    back on exit (rebinding and changing them in place are part of the API)."""
    saved = dict(_fm.__dict__)
    tables = [_snapshot(saved[name]) for name in TABLES]
    try:
        yield saved
    finally:
        for key in list(_fm.__dict__):
            if key not in saved:
                del _fm.__dict__[key]
        _fm.__dict__.update(saved)
        for snap in tables:
            _restore(snap)


@pytest.fixture
def fm():
    """The module, restored after the test."""
    with pristine():
        yield _fm


def module_entries(exc):
    """(name, line) of the traceback entries that point into the module, outermost first."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == FILE:
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def load_peer():
    """A fresh copy of the same five functions in plain Python, with its own tables."""
    spec = importlib.util.spec_from_file_location("free_models_peer", PEER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GONE = object()


def rebind(module, names):
    """Rebinds module attributes as a host would; the value GONE deletes the name."""
    for name, value in names.items():
        vars(module).pop(name, None) if value is GONE else setattr(module, name, value)


def entry(name, line):
    """The traceback entry of module function `name` at `line`, as module_entries gives it."""
    return (f"{MOD}.{name}", line)


def run_python(code, env=None):
    """Runs code in a fresh interpreter that can import the built module."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = str(BUILT)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=120)


def run_script(path):
    """Runs one of the project's scripts on its own, against the built module and the stand-in
    relay."""
    env = dict(os.environ, PYTHONPATH=str(BUILT))
    env.pop("FREE_MODELS_REAL_RELAY", None)
    return subprocess.run([sys.executable, str(path)], env=env, capture_output=True, text=True,
                          timeout=120)
