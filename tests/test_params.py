"""Sampling parameters: the three-level lookup of get_optimal_params and the in-place filling
of a configuration by apply_optimal_params, with the tables rebound or damaged by the host."""
import collections
import copy
import logging
import types

import pytest

import conftest
from conftest import (CATALOGUE_IDS, CONSTANTS, FAMILIES, GONE, SHIPPED, TABLES, Attrs, entry,
                      module_entries, rebind, reuse_freed_memory)

HY3, LAGUNA, ULTRA = (SHIPPED[i] for i in ("hy3-free", "laguna-s-2.1-free",
                                           "nemotron-3-ultra-free"))
NEMOTRON_FAMILY, LAGUNA_FAMILY, HY_FAMILY = FAMILIES
# What each level of the lookup answers: an exact id's entry, a family's values over the
# fallback's, the fallback with its max_tokens.
FALLBACK = {**conftest.FALLBACK, "max_tokens": conftest.MAX_TOKENS_FALLBACK}


def family(found):
    return {**conftest.FALLBACK, **found.params}


FORMAT = "[FREE MODELS] auto-filled optimal params for %s: %s"


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
    ("hy3-free", HY3.params), ("nemotron-3-ultra-free", ULTRA.params),
    (" \tNEMOTRON-3-Ultra-Free \n", ULTRA.params),
    ("Nemotron-4-Super", family(NEMOTRON_FAMILY)), ("laguna", family(LAGUNA_FAMILY)),
    ("hybrid-x", family(HY_FAMILY)), ("x-laguna", FALLBACK), ("gpt-x", FALLBACK),
    (Named(" LAGUNA-S-2.1-FREE"), LAGUNA.params), (Renamed("hy3-free"), family(NEMOTRON_FAMILY)),
    *[(model_id, FALLBACK) for model_id in (None, "", 0, [], 42, True)],
])
def test_lookup_levels(fm, model_id, expected):
    result = fm.get_optimal_params(model_id)
    assert type(result) is dict and list(result.items()) == list(expected.items())
    assert [type(value) for value in result.values()] == [type(v) for v in expected.values()]


@pytest.mark.parametrize("model_id", ["nemotron-3-ultra-free", "hybrid-x", "gpt-x"])
def test_results_are_fresh(fm, model_id):
    before = copy.deepcopy({name: getattr(fm, name) for name in TABLES + CONSTANTS})
    first = fm.get_optimal_params(model_id)
    expected = dict(first)
    first.update(temperature=9.0, extra=1)
    assert fm.get_optimal_params(model_id) == expected
    assert {name: getattr(fm, name) for name in TABLES + CONSTANTS} == before


def test_rebound_and_changed_tables_take_effect(fm):
    fm.FREE_MODEL_OPTIMAL_PARAMS = {"gpt-x": {"top_p": 0.5, "seed": 7}}
    assert list(fm.get_optimal_params("GPT-X").items()) == [("top_p", 0.5), ("seed", 7)]
    assert list(fm.get_optimal_params("hy3-free").items()) == list(family(HY_FAMILY).items())
    fm._FREE_MODEL_FAMILY_PARAMS.clear()
    assert list(fm.get_optimal_params("hy3-free").items()) == list(FALLBACK.items())
    fm._FREE_MODEL_FAMILY_PARAMS.append((("gpt", "claude"), {"top_p": 0.5, "seed": 1}))
    assert list(fm.get_optimal_params("claude-3").items()) == [
        ("temperature", FALLBACK["temperature"]), ("top_p", 0.5), ("seed", 1)]
    fm._FREE_MODEL_FAMILY_PARAMS.insert(0, ("", {"temperature": 0.3}))
    for model_id in (None, "claude-3"):  # the first matching prefix wins
        assert list(fm.get_optimal_params(model_id).items()) == [
            ("temperature", 0.3), ("top_p", FALLBACK["top_p"])]
    fm._FREE_MODEL_FAMILY_PARAMS = (["a", {"top_p": 0.1}], ("ab", {"top_p": 0.2}))
    fm._FREE_PARAMS_FALLBACK, fm._FREE_MAX_TOKENS_FALLBACK = {"top_p": 0.8}, 5
    assert list(fm.get_optimal_params("abc").items()) == [("top_p", 0.1)]
    assert list(fm.get_optimal_params("zz").items()) == [("top_p", 0.8), ("max_tokens", 5)]


def test_missing_max_tokens_fallback_only_hurts_the_fallback(fm):
    del fm._FREE_MAX_TOKENS_FALLBACK
    assert fm.get_optimal_params("nemotron-3-ultra-free")["max_tokens"] == ULTRA.max_tokens
    assert list(fm.get_optimal_params("laguna-x")) == ["temperature", "top_p"]


@pytest.mark.parametrize("setup, model_id, exc, text, line", [
    ({}, Named(None), TypeError, "__str__ returned non-string (type NoneType)", "normalise"),
    ({"FREE_MODEL_OPTIMAL_PARAMS": GONE}, "x", NameError, None, "in_table"),
    ({"FREE_MODEL_OPTIMAL_PARAMS": {"x": ["ab", "abc"]}}, "x", ValueError, None, "copy_entry"),
    ({"_FREE_MODEL_FAMILY_PARAMS": GONE}, "x", NameError, None, "families"),
    ({"_FREE_MODEL_FAMILY_PARAMS": [("a", {}, 3)]}, "x", ValueError, "too many values to unpack (expected 2)", "families"),
    ({"_FREE_MODEL_FAMILY_PARAMS": [(("a", 5), {})]}, "x", TypeError, None, "prefix"),
    ({"_FREE_PARAMS_FALLBACK": GONE}, "hy-x", NameError, None, "family_base"),
    ({"_FREE_MODEL_FAMILY_PARAMS": [("", 5)]}, "x", TypeError, None, "family_update"),
    ({"_FREE_PARAMS_FALLBACK": GONE}, "x", NameError, None, "fallback"),
    ({"_FREE_MAX_TOKENS_FALLBACK": GONE}, "gpt-x", NameError, None, "fallback_max_tokens"),
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
     [("model", "hy3-free"), ("temperature", HY3.temperature), ("max_tokens", HY3.max_tokens),
      ("provider", "other"), ("top_p", HY3.top_p), ("_free_top_p", HY3.top_p)],
     f"hy3-free: {HY3.params}"),
    ({"model": "Nemotron-4-Super", "max_tokens": 1234},
     [("model", "Nemotron-4-Super"), ("max_tokens", 1234),
      ("temperature", NEMOTRON_FAMILY.temperature), ("top_p", NEMOTRON_FAMILY.top_p),
      ("_free_top_p", NEMOTRON_FAMILY.top_p)],
     f"Nemotron-4-Super: {family(NEMOTRON_FAMILY)}"),
    ({"provider": "x"}, [("provider", "x"), *FALLBACK.items(), ("_free_top_p", FALLBACK["top_p"])],
     f"None: {FALLBACK}"),
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
    laguna = LAGUNA.params  # str() of what get gave
    assert cfg.seen == [("bool",), ("get", "model"), ("update", laguna),
                        ("set", "_free_top_p", LAGUNA.top_p), ("get", "model")]
    assert list(dict.items(cfg)) == [("model", "other"), *laguna.items(),
                                     ("_free_top_p", LAGUNA.top_p)]
    assert logged == [((FORMAT, MODEL, laguna), {})]
    user = collections.UserDict(model="hy3-free")
    assert fm.apply_optimal_params(user) is user and user["_free_top_p"] == HY3.top_p


def test_log_info_is_taken_before_model_is_read_again(fm):
    class Recorder:
        def __init__(self):
            self.lines = []

        def info(self, *args):
            self.lines.append(args)

    installed = []

    class RebindsLog:
        """Collides with "model" in the dict, so every read of "model" compares with it."""

        def __hash__(self):
            return hash("model")

        def __eq__(self, other):
            installed.append(Recorder())
            fm.log = installed[-1]
            return False

    cfg = {RebindsLog(): 1}
    assert fm.apply_optimal_params(cfg) is cfg
    logged = [recorder for recorder in installed if recorder.lines]
    assert len(logged) == 1 and logged[0].lines == [(FORMAT, None, FALLBACK)]
    # `log.info` was taken before "model" was read again, and that read rebound `log` anew.
    assert logged[0] is not fm.log


def test_config_subclass_and_replaced_logger(fm):
    class Config(dict):
        def get(self, key, default=None):
            return "laguna-s-2.1-free" if key == "model" else default

    records = []

    class Log:
        def info(self, *args):
            records.append(args)
    fm.log = Log()
    cfg = fm.apply_optimal_params(Config(model="hy3-free"))
    assert (cfg["temperature"], cfg["top_p"]) == (LAGUNA.temperature, LAGUNA.top_p)
    assert records == [(FORMAT, "laguna-s-2.1-free", LAGUNA.params)]
    assert fm.resolve_free_model(900000)["model"] == fm.FREE_MODELS[0][1]
    assert records[-1] == ("[FREE MODELS] resolved index %s -> %s", 900000, fm.FREE_MODELS[0][1])


ALL = ["model", "temperature", "top_p", "max_tokens", "_free_top_p"]


@pytest.mark.parametrize("cfg, setup, exc, text, line, left", [
    (Probe("bool1"), {}, ZeroDivisionError, "bool1", "truth", ["model"]),
    (Probe("get1"), {}, ZeroDivisionError, "get1", "lookup", ["model"]),
    (Probe("update1"), {}, ZeroDivisionError, "update1", "update", ["model"]),
    (Probe("set1"), {}, ZeroDivisionError, "set1", "free_top_p", ALL[:4]),
    (Probe("get2"), {}, ZeroDivisionError, "get2", "log_args", ALL),
    ({"model": "x"}, {"get_optimal_params": lambda m: {"temperature": 0.5}}, KeyError, "'top_p'",
     "free_top_p", ALL[:2]),
    ({"model": "x"}, {"log": GONE}, NameError, "name 'log' is not defined", "log", ALL),
    ([1], {}, AttributeError, "'list' object has no attribute 'get'", "lookup", None),
    (True, {}, AttributeError, "'bool' object has no attribute 'get'", "lookup", None),
])
def test_application_failures(fm, cfg, setup, exc, text, line, left):
    rebind(fm, setup)
    with pytest.raises(exc) as info:
        fm.apply_optimal_params(cfg)
    assert type(info.value) is exc and str(info.value) == text
    assert module_entries(info.value) == [entry("apply_optimal_params", line)]
    assert left is None or list(dict.keys(cfg)) == left


def test_known_id_follows_its_entry_as_the_table_holds_it(fm):
    """An id asked for before is answered from its entry as the table holds it now: the entry
    changed in place, replaced, and in new tables, each made where an old one may have been."""
    position = 900000 + CATALOGUE_IDS.index("hy3-free")

    def answers():
        return (fm.get_optimal_params("hy3-free"), fm.resolve_free_model(position)["top_p"],
                fm.get_free_model_choices()[position - 900000]["max_tokens"])
    answers()
    fm.FREE_MODEL_OPTIMAL_PARAMS["hy3-free"]["top_p"] = 0.11
    assert answers()[1] == 0.11
    fm.FREE_MODEL_OPTIMAL_PARAMS["hy3-free"] = {"temperature": 0.2, "top_p": 0.22, "max_tokens": 2}
    assert answers() == ({"temperature": 0.2, "top_p": 0.22, "max_tokens": 2}, 0.22, 2)
    for n in range(20):
        fm.FREE_MODEL_OPTIMAL_PARAMS = {"hy3-free": {"top_p": n / 100, "max_tokens": n}}
        assert answers() == ({"top_p": n / 100, "max_tokens": n}, n / 100, n)


def test_attribute_dicts_as_tables_are_read_as_they_stand(fm):
    """The table, an entry, a family's values and the fallback, each an object's attribute dict,
    changed by setattr and delattr (and by the interpreter's own store in a loop): every answer
    is what the dicts hold now, also once the values replaced are freed and their memory reused."""
    position = 900000 + CATALOGUE_IDS.index("hy3-free")

    def answers(model_id="hy3-free"):
        return (fm.get_optimal_params(model_id), fm.resolve_free_model(position)["top_p"],
                fm.get_free_model_choices()[position - 900000]["max_tokens"])
    table = Attrs(fm.FREE_MODEL_OPTIMAL_PARAMS)
    fm.FREE_MODEL_OPTIMAL_PARAMS = vars(table)
    assert answers() == answers() == (HY3.params, HY3.top_p, HY3.max_tokens)
    for n in range(1, 8):
        setattr(table, "hy3-free", {"temperature": n / 10, "top_p": n / 100, "max_tokens": n})
        reuse_freed_memory()
        assert answers() == ({"temperature": n / 10, "top_p": n / 100, "max_tokens": n},
                             n / 100, n)
    entry_owner = Attrs(HY3.params)
    setattr(table, "hy3-free", vars(entry_owner))
    answers()
    for n in range(1, 8):
        entry_owner.top_p = n / 100  # the interpreter's specialised store, after a few rounds
        entry_owner.max_tokens = n
        reuse_freed_memory()
        assert answers() == ({**HY3.params, "top_p": n / 100, "max_tokens": n}, n / 100, n)
    delattr(table, "hy3-free")
    assert answers() == (family(HY_FAMILY), HY_FAMILY.top_p, conftest.MAX_TOKENS_FALLBACK)

    fallback = Attrs(conftest.FALLBACK)
    family_values = Attrs(HY_FAMILY.params)
    fm._FREE_PARAMS_FALLBACK = vars(fallback)
    fm._FREE_MODEL_FAMILY_PARAMS = [(f.prefix, f.params) for f in FAMILIES[:2]] + [
        ("hy", vars(family_values))]
    for n in range(1, 8):
        fallback.top_p = n / 100
        family_values.temperature = n / 10
        reuse_freed_memory()
        assert fm.get_optimal_params("gpt-x") == {**FALLBACK, "top_p": n / 100}
        assert answers() == ({"temperature": n / 10, "top_p": HY_FAMILY.top_p},
                             HY_FAMILY.top_p, conftest.MAX_TOKENS_FALLBACK)
    del family_values.top_p
    assert answers()[0] == {"temperature": 0.7, "top_p": 0.07}


@pytest.mark.parametrize("params", [None, 0.5, "temperature", ("temperature", 0.7), 7])
def test_entry_that_is_no_mapping(fm, params):
    """An entry of the table that is no mapping fails every lookup that copies it, as in plain
    Python, on each road the entry is read by."""
    def run(module):
        module.FREE_MODEL_OPTIMAL_PARAMS = {**module.FREE_MODEL_OPTIMAL_PARAMS, "hy3-free": params}
        outcomes = []
        for call in (lambda: module.get_optimal_params("hy3-free"),
                     module.get_free_model_choices, lambda: module.resolve_free_model(900000),
                     lambda: module.apply_optimal_params({"model": "hy3-free"})):
            try:
                outcomes.append(call())
            except Exception as exc:
                outcomes.append((type(exc), str(exc)))
        return outcomes
    peer = conftest.load_peer()
    assert run(fm) == run(peer)
