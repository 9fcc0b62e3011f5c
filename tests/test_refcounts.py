"""Reference leaks: the success paths and a representative failure path of each function, run
many times after a warm-up, must not make the interpreter's count of allocated blocks grow."""
import contextlib
import gc
import sys

import pytest


# path: (module change made first, call, exception the call raises or None)
PATHS = {
    "optimal exact": (None, lambda fm: fm.get_optimal_params(" HY3-Free\n"), None),
    "optimal fallback": (None, lambda fm: fm.get_optimal_params(42), None),
    "apply": (None, lambda fm: fm.apply_optimal_params({"model": "laguna-s-2.1"}), None),
    "choices": (None, lambda fm: fm.get_free_model_choices(), None),
    "resolve": (None, lambda fm: fm.resolve_free_model(900002, {"system_prompt": 1}), None),
    "resolve out of range": (None, lambda fm: fm.resolve_free_model(10**30), None),
    "resolve absorbed value": (None, lambda fm: fm.resolve_free_model("900001.5"), None),
    "resolve absorbed type": (None, lambda fm: fm.resolve_free_model([], {}), None),
    "endpoint": (None, lambda fm: fm.build_endpoint("https://r.test/v1/", {"AUTHORIZATION": 1}),
                 None),
    "binding count": (None, lambda fm: fm.get_optimal_params(), TypeError),
    "binding duplicate": (None, lambda fm: fm.build_endpoint("u", api_base="v"), TypeError),
    "binding unexpected": (None, lambda fm: fm.resolve_free_model(**{"model_index": 1, "x": 2}),
                           TypeError),
    "binding no arguments": (None, lambda fm: fm.get_free_model_choices(1), TypeError),
    "name error": (lambda fm: delattr(fm, "FREE_MODELS"),
                   lambda fm: fm.get_free_model_choices(), NameError),
    "name error nested": (lambda fm: delattr(fm, "_FREE_MAX_TOKENS_FALLBACK"),
                          lambda fm: fm.resolve_free_model(900000), NameError),
    "unpack row": (lambda fm: setattr(fm, "FREE_MODELS", [("Hy3", "hy3-free")]),
                   lambda fm: fm.get_free_model_choices(), ValueError),
    "unpack pair": (lambda fm: setattr(fm, "_FREE_MODEL_FAMILY_PARAMS", [iter("abc")]),
                    lambda fm: fm.get_optimal_params("x"), ValueError),
    "missing top_p": (lambda fm: setattr(fm, "get_optimal_params", lambda mid: {}),
                      lambda fm: fm.apply_optimal_params({"model": "m"}), KeyError),
    "conversion overflow": (None, lambda fm: fm.resolve_free_model(float("-inf")), OverflowError),
    "hostile cfg": (None, lambda fm: fm.apply_optimal_params([1]), AttributeError),
    "hostile all_config": (None, lambda fm: fm.resolve_free_model(900001, [1]), AttributeError),
    "hostile headers": (None, lambda fm: fm.build_endpoint("u", "not a mapping"), ValueError),
}


def run(fm, call, times):
    for _ in range(times):
        try:
            call(fm)
        except Exception:
            pass


@pytest.mark.parametrize("path", PATHS)
def test_no_reference_leak(fm, path):
    change, call, error = PATHS[path]
    if change:
        change(fm)
    with pytest.raises(error) if error else contextlib.nullcontext():
        call(fm)
    run(fm, call, 200)
    growth = []
    for _ in range(4):
        gc.collect()
        before = sys.getallocatedblocks()
        run(fm, call, 1000)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert min(growth) < 20, growth
