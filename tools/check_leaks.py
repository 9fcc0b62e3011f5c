"""Leak check of routes.free_models: every success path and failure path, many times over.

Each path is called WARMUP times (caches settle: traceback code objects, free lists), then ROUNDS
rounds of CALLS calls; after each round the pymalloc block count and the tracemalloc total are
read. A path leaks when every round grows them beyond a small tolerance. A failed import is
checked in a fresh interpreter, since this one holds the module for good. Exit status 1 on a
leak or on a path that did not behave as driven; arguments select paths by substring.
"""
import gc
import pathlib
import subprocess
import sys
import tracemalloc

LIB = pathlib.Path(__file__).resolve().parent.parent / "build" / "lib"
if not any(pathlib.Path(p or ".").resolve() == LIB for p in sys.path):
    sys.path.insert(0, str(LIB))
import routes.free_models as fm  # noqa: E402

WARMUP, ROUNDS, CALLS = 1000, 3, 10000
BLOCK_TOLERANCE, BYTE_TOLERANCE = 20, 4096  # per 10k calls; one leaked block per call is 10000
IMPORT_TOLERANCE = 1000  # blocks per 10k failed imports: importlib's own caches settle slowly
DELETE = object()
BASELINE = [0, 0]  # what taking the readings allocates by itself


class Boom(Exception):
    """Raised by the hostile objects below."""


def boom(*_args):
    raise Boom


BadBool = type("BadBool", (), {"__bool__": boom})
BadStr = type("BadStr", (), {"__str__": boom})
BadInt = type("BadInt", (), {"__int__": boom})
IntValueError = type("IntValueError", (), {"__int__": lambda self: int("no index")})
Conf = type("Conf", (dict,), {})  # the module must use its get/update/item assignment
BadGet = type("BadGet", (dict,), {"get": boom})
BadUpdate = type("BadUpdate", (dict,), {"update": boom})
BadSetItem = type("BadSetItem", (dict,), {"__setitem__": boom})
BadItems = type("BadItems", (dict,), {"items": lambda self: [(1, 2, 3)]})
Log = type("Log", (), {"info": boom})


class Seq:
    """A reusable iterable that is neither tuple nor list; `fail` raises after the items."""

    def __init__(self, *items, fail=False):
        self.items, self.fail = items, fail

    def __iter__(self):
        yield from self.items
        if self.fail:
            raise Boom


class Returns:
    """An object whose every named method returns `value`."""

    def __init__(self, value):
        self.value = value

    def __getattr__(self, name):
        return lambda *args: self.value


def path(label, call, raises=None, **patch):
    """A path: `call` must raise `raises` (None: return) with the module attributes `patch`."""
    return label, call, raises, patch


gop, apply, choices = fm.get_optimal_params, fm.apply_optimal_params, fm.get_free_model_choices
resolve, endpoint = fm.resolve_free_model, fm.build_endpoint
ROW = ("Hy3", "hy3-free", 192000)

PATHS = [
    path("gop exact, normalised, family, fallback", lambda: (
        gop("hy3-free"), gop("  HY3-Free\n"), gop("Nemotron-4-Super"), gop("gpt-x"))),
    path("gop false, int and bool ids", lambda: (gop(None), gop(42), gop(True))),
    path("gop by keyword and mapping", lambda: (gop(model_id="x"), gop(**{"model_id": "y"}))),
    path("gop tuple prefix, iterable families", lambda: gop("zz"),
         _FREE_MODEL_FAMILY_PARAMS=(Seq(("x", "zz"), [("top_p", 0.5)]),)),
    path("apply false values", lambda: (apply(None), apply({}), apply(0))),
    path("apply dict and subclass", lambda: (
        apply({"model": "hy3-free", "max_tokens": 1}), apply(cfg=Conf(model="nemotron-x")))),
    path("apply copy by items", lambda: apply({"model": "m"}),
         get_optimal_params=lambda m: {"top_p": 1, 2: 3}),
    path("choices", choices),
    path("choices from iterable rows", choices, FREE_MODELS=(Seq(*ROW), list(ROW))),
    path("resolve", lambda: (resolve(900000), resolve(model_index=900003, all_config={"x": 1}),
                             resolve(900002, {"system_prompt": "s"}))),
    path("resolve keeps entry prompt", lambda: resolve(900000, {"x": 1}),
         get_free_model_choices=lambda: [{"model": "m", "system_prompt": "p"}]),
    path("resolve converted", lambda: (resolve("900001"), resolve(b" 900_001 "), resolve(9e5))),
    path("resolve out of range", lambda: (resolve(899999), resolve(900004), resolve(10**30))),
    path("resolve absorbed", lambda: [
        resolve(x) for x in (None, "abc", [], float("nan"), IntValueError())]),
    path("endpoint", lambda: (endpoint(None, None), endpoint("https://h/v1//", {"A": "b"}),
                              endpoint(type("S", (str,), {})("h/v1"), {}))),
    path("endpoint drops authorization", lambda: endpoint(api_base="h/", headers=[
        ("authorization", "x"), (b"AUTHORIZATION", "y"), ("Authorization", "z")])),
    # argument binding
    path("bind gop count", lambda: gop(), TypeError),
    path("bind gop unexpected", lambda: gop(model="x", model_id="y"), TypeError),
    path("bind apply count", lambda: apply({}, {}), TypeError),
    path("bind resolve at least", lambda: resolve(all_config={}), TypeError),
    path("bind resolve at most", lambda: resolve(1, {}, 3), TypeError),
    path("bind resolve multiple", lambda: resolve(1, model_index=2), TypeError),
    path("bind endpoint count", lambda: endpoint(headers={}), TypeError),
    path("bind endpoint multiple", lambda: endpoint("u", api_base="v"), TypeError),
    path("bind choices positional", lambda: choices(1), TypeError),
    path("bind choices keyword", lambda: choices(1, x=2), TypeError),
    path("bind mapping with non-str key", lambda: gop(**{1: 2}), TypeError),
    # names deleted from the module namespace
    *[path(f"NameError {name} ({how})", call, NameError, **{name: DELETE})
      for name, how, call in [
          ("FREE_MODELS", "choices", choices),
          ("FREE_MODEL_OPTIMAL_PARAMS", "gop", lambda: gop("x")),
          ("_FREE_MODEL_FAMILY_PARAMS", "gop", lambda: gop("x")),
          ("_FREE_PARAMS_FALLBACK", "gop family", lambda: gop("hy")),
          ("_FREE_PARAMS_FALLBACK", "choices", choices),
          ("_FREE_MAX_TOKENS_FALLBACK", "gop", lambda: gop("x")),
          ("_FREE_MAX_TOKENS_FALLBACK", "choices", choices),
          ("FREE_PROVIDER_TYPE", "choices", choices),
          ("FREE_KEYLESS_PLACEHOLDER", "choices", choices),
          ("FREE_API_BASE", "endpoint", lambda: endpoint("", None)),
          ("FREE_ATTRIBUTION_HEADERS", "endpoint", lambda: endpoint("u", None)),
          ("FREE_MODEL_BASE", "resolve", lambda: resolve(900000)),
          ("get_free_model_choices", "resolve", lambda: resolve(900000)),
          ("get_optimal_params", "apply", lambda: apply({"model": "x"})),
          ("get_optimal_params", "choices", choices),
          ("log", "apply", lambda: apply({"model": "x"})),
          ("log", "resolve", lambda: resolve(900000))]],
    # unpacking
    path("unpack row short", choices, ValueError, FREE_MODELS=[ROW[:2]]),
    path("unpack row long", choices, ValueError, FREE_MODELS=[list(ROW) + [1]]),
    path("unpack iterable row short", choices, ValueError, FREE_MODELS=[Seq(*ROW[:2])]),
    path("unpack iterable row long", choices, ValueError, FREE_MODELS=[Seq(*ROW, 1)]),
    path("unpack iterable row raising", choices, Boom, FREE_MODELS=[Seq(*ROW[:2], fail=True)]),
    path("unpack row not iterable", choices, TypeError, FREE_MODELS=[5]),
    path("unpack rows not iterable", choices, TypeError, FREE_MODELS=5),
    path("unpack pair short", lambda: gop("x"), ValueError, _FREE_MODEL_FAMILY_PARAMS=[("x",)]),
    path("unpack pair long", lambda: gop("x"), ValueError,
         _FREE_MODEL_FAMILY_PARAMS=[("hy", {}, 1)]),
    path("unpack pair raising", lambda: gop("x"), Boom,
         _FREE_MODEL_FAMILY_PARAMS=Seq(Seq("x", fail=True))),
    path("unpack logged items", lambda: apply({"model": "x"}), ValueError,
         get_optimal_params=lambda m: BadItems(top_p=1)),
    # hostile objects and damaged tables
    path("gop truth raises", lambda: gop(BadBool()), Boom),
    path("gop str raises", lambda: gop(BadStr()), Boom),
    path("gop table without membership", lambda: gop("x"), TypeError,
         FREE_MODEL_OPTIMAL_PARAMS=5),
    path("gop entry not a dict", lambda: gop("x"), TypeError, FREE_MODEL_OPTIMAL_PARAMS={"x": 5}),
    path("gop prefix not str", lambda: gop("x"), TypeError, _FREE_MODEL_FAMILY_PARAMS=[(5, {})]),
    path("gop family params bad", lambda: gop("hy"), TypeError,
         _FREE_MODEL_FAMILY_PARAMS=[("hy", 5)]),
    path("gop fallback bad", lambda: gop("x"), TypeError, _FREE_PARAMS_FALLBACK=5),
    path("apply truth raises", lambda: apply(BadBool()), Boom),
    path("apply without get", lambda: apply([1]), AttributeError),
    path("apply get raises", lambda: apply(BadGet(a=1)), Boom),
    path("apply update raises", lambda: apply(BadUpdate(a=1)), Boom),
    path("apply item assignment raises", lambda: apply(BadSetItem(a=1)), Boom),
    path("apply lookup raises", lambda: apply({"model": BadStr()}), Boom),
    path("apply without top_p", lambda: apply({"a": 1}), KeyError,
         get_optimal_params=lambda m: {}),
    path("apply log without info", lambda: apply({"a": 1}), AttributeError, log=5),
    path("apply log raises", lambda: apply({"a": 1}), Boom, log=Log()),
    path("choices fallback lacks key", choices, KeyError, _FREE_PARAMS_FALLBACK={}),
    path("choices lookup raises", choices, Boom, get_optimal_params=boom),
    path("resolve conversion raises", lambda: resolve(BadInt()), Boom),
    path("resolve overflow", lambda: resolve(float("inf")), OverflowError),
    path("resolve base not comparable", lambda: resolve(1), TypeError, FREE_MODEL_BASE="x"),
    path("resolve choices raise", lambda: resolve(900000), Boom, FREE_MODELS=[Seq(fail=True)]),
    path("resolve choices unsized", lambda: resolve(900000), TypeError,
         get_free_model_choices=lambda: iter([])),
    path("resolve entry not a dict", lambda: resolve(900000), TypeError,
         get_free_model_choices=lambda: [5]),
    path("resolve truth raises", lambda: resolve(900000, BadBool()), Boom),
    path("resolve config without get", lambda: resolve(900001, [1]), AttributeError),
    path("resolve config get raises", lambda: resolve(900001, BadGet(a=1)), Boom),
    path("resolve entry prompt truth raises", lambda: resolve(900000, {"a": 1}), Boom,
         get_free_model_choices=lambda: [{"system_prompt": BadBool()}]),
    path("resolve entry without model", lambda: resolve(900000), KeyError,
         get_free_model_choices=lambda: [{}]),
    path("resolve log raises", lambda: resolve(900000), Boom, log=Log()),
    path("endpoint base truth raises", lambda: endpoint(BadBool(), None), Boom),
    path("endpoint base without rstrip", lambda: endpoint(5, None), AttributeError),
    path("endpoint base bytes", lambda: endpoint(b"h", None), TypeError),
    path("endpoint base without endswith", lambda: endpoint(Returns(5), None), AttributeError),
    path("endpoint join fails", lambda: endpoint(Returns(Returns(1)), None), TypeError),
    path("endpoint headers truth raises", lambda: endpoint("h", BadBool()), Boom),
    path("endpoint headers str", lambda: endpoint("h", "abc"), ValueError),
    path("endpoint headers int", lambda: endpoint("h", 5), TypeError),
    path("endpoint attribution bad", lambda: endpoint("h", None), TypeError,
         FREE_ATTRIBUTION_HEADERS=5),
]

IMPORT_FAILURE = f"""
import gc, sys
sys.path.insert(0, {str(LIB)!r})
sys.modules["logging"] = None  # the module's import of logging fails
def attempt(n):
    for _ in range(n):
        try:
            import routes.free_models
        except ImportError as exc:
            assert "logging" in str(exc), exc
        else:
            raise SystemExit("imported despite a failing import of logging")
attempt({WARMUP // 2})
blocks = []
for _ in range({ROUNDS + 1}):
    gc.collect()
    blocks.append(sys.getallocatedblocks())
    attempt({CALLS // 10})
print(*[(b - a) * {10000 // (CALLS // 10)} for a, b in zip(blocks, blocks[1:])])
"""


def run(call, raises, n):
    for _ in range(n):
        try:
            call()
        except raises:
            pass


def measure(call, raises):
    """Growth of (blocks, traced bytes) in each round, per 10k calls."""
    run(call, raises, WARMUP)
    readings = []
    for i in range(ROUNDS + 1):
        if i:
            run(call, raises, CALLS)
        gc.collect()
        readings.append((sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]))
    return [((b1 - b0 - BASELINE[0]) * 10000 // CALLS, (t1 - t0 - BASELINE[1]) * 10000 // CALLS)
            for (b0, t0), (b1, t1) in zip(readings, readings[1:])]


def check_path(label, call, raises, patch):
    """Prints the path's figures; True when it behaved as driven and did not leak."""
    for name, value in patch.items():
        if value is DELETE:
            del fm.__dict__[name]
        else:
            fm.__dict__[name] = value
    try:
        call()
        outcome = None
    except Exception as exc:  # noqa: BLE001 - compared with what the path expects
        outcome = exc
    if (outcome is not None) if raises is None else not isinstance(outcome, raises):
        print(f"{label:<48} WRONG OUTCOME: expected {raises and raises.__name__}, got {outcome!r}")
        return False
    growth = measure(call, raises or ())
    blocks, nbytes = min(g[0] for g in growth), min(g[1] for g in growth)
    leaks = blocks > BLOCK_TOLERANCE or nbytes > BYTE_TOLERANCE
    print(f"{label:<48} {blocks:>7} blocks {nbytes:>9} B  {'LEAK' if leaks else 'ok'}")
    return not leaks


def check_import_failure():
    done = subprocess.run([sys.executable, "-c", IMPORT_FAILURE], capture_output=True, text=True)
    growth = [int(x) for x in done.stdout.split()] if done.returncode == 0 else []
    ok = bool(growth) and min(growth) <= IMPORT_TOLERANCE
    shown = min(growth) if growth else done.stderr.strip()
    print(f"{'failed import (fresh interpreter)':<48} {shown:>7} blocks  {'ok' if ok else 'LEAK'}")
    return ok


def main(selected):
    print(f"module: {fm.__file__}")
    print(f"{'path':<48} growth per 10k calls (least of {ROUNDS} rounds)")
    saved = dict(fm.__dict__)
    tracemalloc.start()
    BASELINE[:] = min(measure(lambda: None, ()))
    failures = 0
    try:
        for label, call, raises, patch in PATHS:
            if not selected or any(s in label for s in selected):
                try:
                    failures += not check_path(label, call, raises, patch)
                finally:
                    for key in set(fm.__dict__) - set(saved):
                        del fm.__dict__[key]
                    fm.__dict__.update(saved)
    finally:
        tracemalloc.stop()
    if not selected or any(s in "failed import" for s in selected):
        failures += not check_import_failure()
    print(f"{failures} path(s) failed" if failures else "no leaks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
