"""Concurrency: eight threads call all five functions for about two seconds while another thread
rebinds, deletes and restores module attributes. Nothing may crash, every call must return a
well-formed result or raise with the module's traceback entries, and the restored module must
behave as before."""
import copy
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import GONE, module_entries, rebind
from test_hostile import FUNCS, check_result


def refuse(*args):
    raise LookupError("rebound by the host")


CALLS = [  # fresh arguments for every call, since apply_optimal_params fills its cfg
    ("get_optimal_params", lambda: (" Nemotron-9 ",)), ("get_free_model_choices", lambda: ()),
    ("apply_optimal_params", lambda: ({"model": "laguna-s-2.1-free", "max_tokens": 1},)),
    ("resolve_free_model", lambda: (900001, {"system_prompt": "Be brief."})),
    ("resolve_free_model", lambda: ("1003",)),
    ("build_endpoint", lambda: (None, {"authorization": "k", "Accept": "json"})),
    ("build_endpoint", lambda: ("https://relay.test/v1/", [("X-Title", "mine")]))]
REBINDS = [
    ("FREE_MODELS", []), ("FREE_MODELS", [("Test", "nemotron-test", 8192)]),
    ("FREE_MODELS", [("Hy3", "hy3-free")]), ("FREE_MODELS", GONE), ("FREE_MODEL_BASE", 1000),
    ("FREE_MODEL_BASE", "900000"), ("FREE_API_BASE", 42), ("FREE_API_BASE", GONE),
    ("FREE_ATTRIBUTION_HEADERS", {"Authorization": "leaked"}), ("get_optimal_params", refuse),
    ("get_optimal_params", lambda model_id: {}), ("get_free_model_choices", refuse),
    ("log", None), ("_FREE_PARAMS_FALLBACK", {}), ("_FREE_MODEL_FAMILY_PARAMS", [("x",)]),
    ("_FREE_MAX_TOKENS_FALLBACK", GONE)]


def test_calls_survive_concurrent_rebinding(fm):
    originals = dict(vars(fm))
    tables = {k: copy.deepcopy(v) for k, v in originals.items() if k.startswith(("FREE", "_F"))}
    baseline = fm.get_free_model_choices()
    done, seen, made = threading.Event(), set(), []

    def caller():
        while not done.is_set():
            made.append(len(CALLS))
            for name, make_args in CALLS:
                args = make_args()
                try:
                    result = FUNCS[name](*args)
                except Exception as exc:
                    seen.add(type(exc))
                    entries = module_entries(exc)
                    assert entries and entries[0][0] == "routes.free_models." + name, (
                        name, args, exc, entries)
                else:  # the tables may have been rebound during the call: shape checks only
                    seen.add(type(result))
                    check_result(name, args, result, intact=False)

    def rebinder():  # two seconds and 20 rebinding passes when slowed, but two minutes at most
        start, passes = time.monotonic(), 0
        try:
            while (passes < 20 or time.monotonic() < start + 2) and time.monotonic() < start + 120:
                for attr, value in REBINDS:
                    rebind(fm, {attr: value})
                    time.sleep(0.0002)
                    setattr(fm, attr, originals[attr])
                passes += 1
        finally:
            done.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    pool = ThreadPoolExecutor(9)
    try:
        running = [pool.submit(caller) for _ in range(8)] + [pool.submit(rebinder)]
        for future in running:
            future.result(timeout=300)  # re-raises what failed in that thread
    finally:
        done.set()
        pool.shutdown()
        sys.setswitchinterval(interval)
    assert {dict, list, tuple, NameError, LookupError} <= seen and sum(made) > 1000
    assert vars(fm) == originals
    assert all(originals[name] == table for name, table in tables.items())
    assert fm.get_free_model_choices() == baseline
