"""Sampling parameters: the three-level lookup of get_optimal_params and the in-place filling
of a configuration by apply_optimal_params, with the tables rebound or damaged by the host."""
import collections
import copy
import logging
import types

import pytest

from conftest import GONE, entry, module_entries, rebind

TABLES = ["FREE_MODEL_OPTIMAL_PARAMS", "_FREE_MODEL_FAMILY_PARAMS", "_FREE_PARAMS_FALLBACK",
          "_FREE_MAX_TOKENS_FALLBACK"]
FALLBACK = [("temperature", 0.7), ("top_p", 0.95), ("max_tokens", 16384)]
ULTRA = [("temperature", 0.6), ("top_p", 0.95), ("max_tokens", 32768)]
FILLED = FALLBACK + [("_free_top_p", 0.95)]
FORMAT = "[FREE MODELS] auto-filled optimal params for %s: %s"
SHOWN = "{'temperature': 0.7, 'top_p': 0.95, 'max_tokens': 16384}"


class Named:
    """A model id that is not a str: only its str() counts."""
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Renamed(str):
    def __str__(self):
        return "nemotron-x"


@pytest.mark.parametrize("model_id, expected", [
    ("hy3-free", FALLBACK), ("nemotron-3-ultra-free", ULTRA),
    (" \tNEMOTRON-3-Ultra-Free \n", ULTRA),
    ("Nemotron-4-Super", [("temperature", 0.6), ("top_p", 0.95)]),
    ("laguna", [("temperature", 0.2), ("top_p", 0.9)]),
    ("hybrid-x", [("temperature", 0.7), ("top_p", 0.95)]),
    ("x-laguna", FALLBACK), ("gpt-x", FALLBACK),
    (Named(" LAGUNA-S-2.1-FREE"), [("temperature", 0.2), ("top_p", 0.9), ("max_tokens", 16384)]),
    (Renamed("hy3-free"), [("temperature", 0.6), ("top_p", 0.95)]),
    *[(model_id, FALLBACK) for model_id in (None, "", 0, [], 42, True)],
])
def test_lookup_levels(fm, model_id, expected):
    result = fm.get_optimal_params(model_id)
    assert type(result) is dict and list(result.items()) == expected


@pytest.mark.parametrize("model_id", ["nemotron-3-ultra-free", "hybrid-x", "gpt-x"])
def test_results_are_fresh(fm, model_id):
    before = copy.deepcopy({name: getattr(fm, name) for name in TABLES})
    first = fm.get_optimal_params(model_id)
    expected = dict(first)
    first.update(temperature=9.0, extra=1)
    assert fm.get_optimal_params(model_id) == expected
    assert {name: getattr(fm, name) for name in TABLES} == before


def test_rebound_and_changed_tables_take_effect(fm):
    fm.FREE_MODEL_OPTIMAL_PARAMS = {"gpt-x": {"top_p": 0.5, "seed": 7}}
    assert list(fm.get_optimal_params("GPT-X").items()) == [("top_p", 0.5), ("seed", 7)]
    assert list(fm.get_optimal_params("hy3-free").items()) == FALLBACK[:2]
    fm._FREE_MODEL_FAMILY_PARAMS.clear()
    assert list(fm.get_optimal_params("hy3-free").items()) == FALLBACK
    fm._FREE_MODEL_FAMILY_PARAMS.append((("gpt", "claude"), {"top_p": 0.5, "seed": 1}))
    assert list(fm.get_optimal_params("claude-3").items()) == [
        ("temperature", 0.7), ("top_p", 0.5), ("seed", 1)]
    fm._FREE_MODEL_FAMILY_PARAMS.insert(0, ("", {"temperature": 0.3}))
    for model_id in (None, "claude-3"):  # the first matching prefix wins
        assert list(fm.get_optimal_params(model_id).items()) == [
            ("temperature", 0.3), ("top_p", 0.95)]
    fm._FREE_MODEL_FAMILY_PARAMS = (["a", {"top_p": 0.1}], ("ab", {"top_p": 0.2}))
    fm._FREE_PARAMS_FALLBACK, fm._FREE_MAX_TOKENS_FALLBACK = {"top_p": 0.8}, 5
    assert list(fm.get_optimal_params("abc").items()) == [("top_p", 0.1)]
    assert list(fm.get_optimal_params("zz").items()) == [("top_p", 0.8), ("max_tokens", 5)]


def test_missing_max_tokens_fallback_only_hurts_the_fallback(fm):
    del fm._FREE_MAX_TOKENS_FALLBACK
    assert fm.get_optimal_params("nemotron-3-ultra-free")["max_tokens"] == 32768
    assert list(fm.get_optimal_params("laguna-x")) == ["temperature", "top_p"]


@pytest.mark.parametrize("setup, model_id, exc, text, line", [
    ({}, Named(None), TypeError, "__str__ returned non-string (type NoneType)", 93),
    ({"FREE_MODEL_OPTIMAL_PARAMS": GONE}, "x", NameError, None, 94),
    ({"FREE_MODEL_OPTIMAL_PARAMS": {"x": ["ab", "abc"]}}, "x", ValueError, None, 95),
    ({"_FREE_MODEL_FAMILY_PARAMS": GONE}, "x", NameError, None, 96),
    ({"_FREE_MODEL_FAMILY_PARAMS": [("a", {}, 3)]}, "x", ValueError, "too many values to unpack (expected 2)", 96),
    ({"_FREE_MODEL_FAMILY_PARAMS": [(("a", 5), {})]}, "x", TypeError, None, 97),
    ({"_FREE_PARAMS_FALLBACK": GONE}, "hy-x", NameError, None, 98),
    ({"_FREE_MODEL_FAMILY_PARAMS": [("", 5)]}, "x", TypeError, None, 99),
    ({"_FREE_PARAMS_FALLBACK": GONE}, "x", NameError, None, 101),
    ({"_FREE_MAX_TOKENS_FALLBACK": GONE}, "gpt-x", NameError, None, 102),
])
def test_lookup_failures(fm, setup, model_id, exc, text, line):
    rebind(fm, setup)
    with pytest.raises(exc) as info:
        fm.get_optimal_params(model_id)
    if exc is NameError:
        text = f"name '{next(iter(setup))}' is not defined"
    assert type(info.value) is exc and (text is None or str(info.value) == text)
    assert module_entries(info.value) == [entry("get_optimal_params", line)]


@pytest.mark.parametrize("cfg", [None, {}, 0, "", []])
def test_false_values_pass_untouched(fm, cfg):
    rebind(fm, {"get_optimal_params": GONE, "log": GONE})  # any use would raise
    kept = copy.copy(cfg)
    assert fm.apply_optimal_params(cfg) is cfg and cfg == kept


@pytest.mark.parametrize("cfg, expected, message", [
    ({"model": "hy3-free", "temperature": 1.0, "max_tokens": 4096, "provider": "other"},
     [("model", "hy3-free"), ("temperature", 0.7), ("max_tokens", 16384), ("provider", "other"),
      ("top_p", 0.95), ("_free_top_p", 0.95)], "hy3-free: " + SHOWN),
    ({"model": "Nemotron-4-Super", "max_tokens": 1234},
     [("model", "Nemotron-4-Super"), ("max_tokens", 1234), ("temperature", 0.6), ("top_p", 0.95),
      ("_free_top_p", 0.95)], "Nemotron-4-Super: {'temperature': 0.6, 'top_p': 0.95}"),
    ({"provider": "x"}, [("provider", "x")] + FILLED, "None: " + SHOWN),
])
def test_filled_configurations(fm, caplog, cfg, expected, message):
    caplog.set_level(logging.INFO, logger="tarnwick.free_models")
    assert fm.apply_optimal_params(cfg) is cfg and list(cfg.items()) == expected
    [record] = [r for r in caplog.records if r.name == "tarnwick.free_models"]
    assert record.levelno == logging.INFO and record.msg == FORMAT
    assert record.getMessage() == "[FREE MODELS] auto-filled optimal params for " + message


MODEL = Named("laguna-s-2.1-free")


class Probe(dict):
    """A configuration with its own truth test, get, update and item assignment: records each
    and raises at the one named by fails ("get2" is the second get)."""
    def __init__(self, fails=None):
        super().__init__(model="other")
        self.fails, self.seen = fails, []

    def _step(self, *op):
        self.seen.append(op)
        if f"{op[0]}{sum(s[0] == op[0] for s in self.seen)}" == self.fails:
            raise ZeroDivisionError(self.fails)

    def __bool__(self):
        self._step("bool")
        return True

    def get(self, key, default=None):
        self._step("get", key)
        return MODEL if key == "model" else default

    def update(self, other):
        self._step("update", dict(other))
        super().update(other)

    def __setitem__(self, key, value):
        self._step("set", key, value)
        super().__setitem__(key, value)


def test_own_interface_of_the_configuration_is_used(fm):
    logged = []
    fm.log = types.SimpleNamespace(info=lambda *a, **k: logged.append((a, k)))
    cfg = Probe()
    assert fm.apply_optimal_params(cfg) is cfg
    laguna = {"temperature": 0.2, "top_p": 0.9, "max_tokens": 16384}  # str() of what get gave
    assert cfg.seen == [("bool",), ("get", "model"), ("update", laguna),
                        ("set", "_free_top_p", 0.9), ("get", "model")]
    assert list(dict.items(cfg)) == [("model", "other"), *laguna.items(), ("_free_top_p", 0.9)]
    assert logged == [((FORMAT, MODEL, laguna), {})]
    user = collections.UserDict(model="hy3-free")
    assert fm.apply_optimal_params(user) is user and user["_free_top_p"] == 0.95


ALL = ["model", "temperature", "top_p", "max_tokens", "_free_top_p"]


@pytest.mark.parametrize("cfg, setup, exc, text, line, left", [
    (Probe("bool1"), {}, ZeroDivisionError, "bool1", 114, ["model"]),
    (Probe("get1"), {}, ZeroDivisionError, "get1", 116, ["model"]),
    (Probe("update1"), {}, ZeroDivisionError, "update1", 117, ["model"]),
    (Probe("set1"), {}, ZeroDivisionError, "set1", 120, ALL[:4]),
    (Probe("get2"), {}, ZeroDivisionError, "get2", 122, ALL),
    ({"model": "x"}, {"get_optimal_params": lambda m: {"temperature": 0.5}}, KeyError, "'top_p'", 120, ALL[:2]),
    ({"model": "x"}, {"log": GONE}, NameError, "name 'log' is not defined", 121, ALL),
    ([1], {}, AttributeError, "'list' object has no attribute 'get'", 116, None),
    (True, {}, AttributeError, "'bool' object has no attribute 'get'", 116, None),
])
def test_application_failures(fm, cfg, setup, exc, text, line, left):
    rebind(fm, setup)
    with pytest.raises(exc) as info:
        fm.apply_optimal_params(cfg)
    assert type(info.value) is exc and str(info.value) == text
    assert module_entries(info.value) == [entry("apply_optimal_params", line)]
    assert left is None or list(dict.keys(cfg)) == left
