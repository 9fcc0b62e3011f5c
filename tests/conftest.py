"""Shared test tables and fixtures: the shipped catalogue, the module's interface names and its
source lines; the built module, a clean module namespace per test, traceback reading."""
import contextlib
import importlib.util
import os
import pathlib
import subprocess
import sys
from typing import NamedTuple

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

# The module's namespace is a dict of the str kind until a key of another type enters it, and then
# of the general kind for good; the module reads names by other means in each. The suites meet it
# of the str kind: the host programs, which plant keys of host classes, run last (below). With
# FREE_MODELS_GENERAL_NAMESPACE=1 they meet it of the general kind: a key of another type enters
# and leaves before any test (test_host_programs.py runs the suites of the five functions so).
if os.environ.get("FREE_MODELS_GENERAL_NAMESPACE") == "1":
    vars(_fm)[0] = None
    del vars(_fm)[0]


def pytest_collection_modifyitems(items):
    items.sort(key=lambda item: item.path.name == "test_host_programs.py")


MOD = "routes.free_models"

# ---------------------------------------------------------------------------------------------
# The shipped catalogue: the one test table of what the module binds at import. Tests that go
# through every row take the rows from the module at run time (a catalogue with a model added
# must pass them); tests of values hold the shipped models, in this order and with exactly these
# values, against what the module holds.


class Model(NamedTuple):
    name: str           # display name
    id: str
    context: int        # context window
    temperature: float
    top_p: float
    max_tokens: int
    line: int           # of its entry in FREE_MODEL_OPTIMAL_PARAMS

    @property
    def row(self):
        """Its row of FREE_MODELS."""
        return (self.name, self.id, self.context)

    @property
    def params(self):
        """Its entry in FREE_MODEL_OPTIMAL_PARAMS."""
        return {"temperature": self.temperature, "top_p": self.top_p,
                "max_tokens": self.max_tokens}


class Family(NamedTuple):
    prefix: str
    temperature: float
    top_p: float
    line: int           # of its pair in _FREE_MODEL_FAMILY_PARAMS

    @property
    def params(self):
        return {"temperature": self.temperature, "top_p": self.top_p}


CATALOGUE = (
    Model("Hy3", "hy3-free", 192000, 0.7, 0.95, 16384, line=69),
    Model("Laguna S 2.1", "laguna-s-2.1-free", 256000, 0.2, 0.9, 16384, line=71),
    Model("Nemotron 3 Ultra", "nemotron-3-ultra-free", 192000, 0.6, 0.95, 32768, line=74),
    Model("Nemotron 3.5 Lightning", "nemotron-3.5-lightning-free", 192000, 0.4, 0.95, 16384,
          line=76),
)
SHIPPED = {model.id: model for model in CATALOGUE}
# Tried in this order; the first prefix that the model id starts with wins.
FAMILIES = (
    Family("nemotron", 0.6, 0.95, line=81),
    Family("laguna", 0.2, 0.9, line=82),
    Family("hy", 0.7, 0.95, line=83),
)
FALLBACK = {"temperature": 0.7, "top_p": 0.95}
MAX_TOKENS_FALLBACK = 16384

# The ids of the module's own catalogue as built, read before any test changes it.
CATALOGUE_IDS = [row[1] for row in _fm.FREE_MODELS]


def shipped(model_ids):
    """The ids among model_ids that belong to the shipped catalogue, in their order: a catalogue
    with models added still lists exactly CATALOGUE's ids here."""
    return [model_id for model_id in model_ids if model_id in SHIPPED]


def optimal(fm, model_id):
    """(temperature, top_p, max_tokens) recommended for a catalogue model: from CATALOGUE for a
    shipped one, else from the module's table as it stands."""
    model = SHIPPED.get(model_id)
    params = model.params if model else fm.FREE_MODEL_OPTIMAL_PARAMS[model_id]
    return params["temperature"], params["top_p"], params["max_tokens"]


# The names of the module's interface.
FUNCTIONS = ("get_optimal_params", "apply_optimal_params", "get_free_model_choices",
             "resolve_free_model", "build_endpoint")
TABLES = ("FREE_MODELS", "FREE_MODEL_OPTIMAL_PARAMS", "_FREE_MODEL_FAMILY_PARAMS",
          "_FREE_PARAMS_FALLBACK", "FREE_ATTRIBUTION_HEADERS")
CONSTANTS = ("FREE_MODEL_BASE", "FREE_PROVIDER_TYPE", "FREE_API_BASE",
             "FREE_KEYLESS_PLACEHOLDER", "_FREE_MAX_TOKENS_FALLBACK")
# The keys of a choice entry, in their order.
KEYS = ["name", "model", "provider", "api_type", "api_base", "api_key", "enabled", "modalities",
        "max_context", "max_tokens", "temperature", "top_p", "free"]

# ---------------------------------------------------------------------------------------------
# Source lines. The module's traceback entries point into the file "routes/free_models" (FILE);
# these are lines of that file, by the names that the module's own line table gives them.
# "module" holds the statements that run at import (reported by the entry INIT), each function
# its definition ("def") and the steps of its body that can fail. The catalogue's own rows carry
# theirs in CATALOGUE and FAMILIES.

FILE = "routes/free_models"
INIT = "init routes.free_models"
LINES = {
    "module": {
        "registration": 1, "import_logging": 29, "log": 31, "model_base": 36,
        "provider_type": 39, "api_base": 41, "keyless_placeholder": 45, "attribution_bind": 48,
        "attribution_build": 49, "models": 55, "optimal_bind": 67, "optimal_table": 69,
        "family_bind": 80, "params_fallback": 87, "max_tokens_fallback": 88,
    },
    "get_optimal_params": {
        "def": 91, "normalise": 93, "in_table": 94, "copy_entry": 95, "families": 96,
        "prefix": 97, "family_base": 98, "family_update": 99, "fallback": 101,
        "fallback_max_tokens": 102,
    },
    "apply_optimal_params": {
        "def": 106, "truth": 114, "lookup": 116, "update": 117, "free_top_p": 120, "log": 121,
        "log_args": 122,
    },
    "get_free_model_choices": {
        "def": 126, "new_list": 132, "rows": 133, "lookup": 134, "append": 135, "entry": 136,
        "provider": 138, "api_type": 139, "api_base": 140, "api_key": 141, "modalities": 143,
        "max_tokens": 145, "temperature": 146, "top_p": 147,
    },
    "resolve_free_model": {
        "def": 153, "index": 160, "lower_bound": 163, "choices": 165, "offset": 166,
        "upper_bound": 167, "copy": 169, "inherit_test": 170, "inherit": 171, "log": 172,
    },
    "build_endpoint": {
        "def": 176, "base": 182, "versioned": 183, "url_v1": 184, "url": 186, "headers": 187,
        "attribution": 188, "authorization": 189, "result": 190,
    },
}


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
    """A fresh copy of the same five functions in plain Python, with tables of its own: deep
    copies of the module's as they are now (load it before the test changes them)."""
    spec = importlib.util.spec_from_file_location("free_models_peer", PEER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GONE = object()


class Attrs:
    """An ordinary object whose vars() a host binds as a table: in CPython 3.13 the dict keeps
    its values inside the object, and setattr and delattr on the object change them without
    giving the dict a new version tag. One class for all, so that they share their keys."""

    def __init__(self, mapping=()):
        for key, value in dict(mapping).items():
            setattr(self, key, value)


def reuse_freed_memory():
    """Fills freed memory anew: a value still read after its release then holds another dict."""
    junk = [{"a": 1} for _ in range(3000)]
    del junk


def rebind(module, names):
    """Rebinds module attributes as a host would; the value GONE deletes the name."""
    for name, value in names.items():
        vars(module).pop(name, None) if value is GONE else setattr(module, name, value)


def record_calls(module, name):
    """Rebinds function `name` of module to a wrapper that calls it and records its arguments;
    returns the list of the recorded argument tuples."""
    inner, calls = getattr(module, name), []

    def wrapper(*args):
        calls.append(args)
        return inner(*args)
    setattr(module, name, wrapper)
    return calls


def entry(name, line):
    """The traceback entry of module function `name` at `line` (a name from LINES[name], or a
    number), as module_entries gives it."""
    return (f"{MOD}.{name}", LINES[name][line] if isinstance(line, str) else line)


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
