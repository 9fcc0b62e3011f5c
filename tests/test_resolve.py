"""resolve_free_model: index conversion and bounds, the inherited system prompt, the log
line, fresh copies, and the effect of rebound or missing module names."""
import logging

import pytest

from conftest import (CATALOGUE, CATALOGUE_IDS, GONE, entry, module_entries, optimal, rebind,
                      record_calls)

RESOLVE = "resolve_free_model"
FORMAT = "[FREE MODELS] resolved index %s -> %s"


@pytest.fixture
def logged(caplog):
    """The (format, args, level) of every record the module's logger emits during the test."""
    caplog.set_level(logging.INFO, logger="tarnwick.free_models")
    yield lambda: [(r.msg, r.args, r.levelno) for r in caplog.records
                   if r.name == "tarnwick.free_models"]


class Convertible:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


# More rows than the module may treat alike: the shipped ones and eight by family or fallback.
TWELVE = [model.row for model in CATALOGUE] + [(f"Extra {i}", model, 1000 + i) for i, model in enumerate([
    "nemotron-x", "laguna-y", "hy-z", "gpt-a", "nemotron-b", "other-c", "hy4", "laguna-d"])]


@pytest.mark.parametrize("rows", [None, TWELVE], ids=["built", "twelve"])
def test_each_index_resolves_to_its_choice(fm, logged, rows):
    if rows:
        fm.FREE_MODELS = list(rows)
    rows = rows or fm.FREE_MODELS
    choices = fm.get_free_model_choices()
    assert [choice["model"] for choice in choices] == [row[1] for row in rows]
    for i, choice in enumerate(choices):
        cfg = fm.resolve_free_model(900000 + i)
        assert type(cfg) is dict and cfg == choice and list(cfg) == list(choice)
    assert fm.resolve_free_model(900000 + len(rows)) is None
    assert logged() == [(FORMAT, (900000 + i, c["model"]), logging.INFO)
                        for i, c in enumerate(choices)]


@pytest.mark.parametrize("index, resolves", [(index, True) for index in [
    900001, "900001", " 900001 ", "900_001", "+900001", b"900001", bytearray(b"900001"),
    900001.99, 900001.0, Convertible(900001),
]] + [(index, False) for index in [
    "9e5", "900001.5", "9000_01_", "0xDBBA1", b"", float("nan"), [900001], True, False,
    Convertible(TypeError("no")), Convertible(ValueError("no")),
    Convertible(UnicodeDecodeError("utf-8", b"", 0, 1, "x")),
]])
def test_index_forms(fm, logged, index, resolves):
    cfg = fm.resolve_free_model(index)
    if resolves:  # converted to the int 900001, as the log line shows
        second = fm.FREE_MODELS[1][1]
        assert cfg["model"] == second
        [(_, args, _)] = logged()
        assert args == (900001, second) and type(args[0]) is int
    else:
        assert cfg is None and logged() == []


def test_text_that_is_no_integer_is_refused_quietly(fm):
    calls = record_calls(fm, "get_free_model_choices")
    for index in ["abc", "", "900001.0", "९००००१x", None, [], {}, ()]:
        assert fm.resolve_free_model(index) is None
    assert fm.resolve_free_model("९००००१")["model"] == fm.FREE_MODELS[1][1]
    assert len(calls) == 1


@pytest.mark.parametrize("index, builds_list", [
    (900000 + len(CATALOGUE_IDS), True), (10**30, True), (899999, False), (0, False), (-1, False), (-10**30, False),
])
def test_out_of_range_gives_none(fm, logged, index, builds_list):
    real, calls = fm.get_free_model_choices, []
    fm.get_free_model_choices = lambda: calls.append(1) or real()
    assert fm.resolve_free_model(index) is None
    assert len(calls) == (1 if builds_list else 0)
    assert logged() == []


ABSENT = object()


@pytest.mark.parametrize("all_config, prompt", [
    ({"system_prompt": "Answer briefly."}, "Answer briefly."), ({"theme": "dark"}, ""),
    ({"system_prompt": None}, None), ({}, ABSENT), (None, ABSENT), (0, ABSENT),
])
def test_system_prompt_inherited(fm, all_config, prompt):
    before = repr(all_config)
    cfg = fm.resolve_free_model(900002, all_config)
    assert cfg["model"] == fm.FREE_MODELS[2][1]
    if prompt is ABSENT:
        assert len(cfg) == 13 and "system_prompt" not in cfg
    else:
        assert len(cfg) == 14 and list(cfg)[-1] == "system_prompt"
        assert cfg["system_prompt"] == prompt and type(cfg["system_prompt"]) is type(prompt)
    assert repr(all_config) == before


def test_system_prompt_read_once_through_get(fm):
    calls = []

    class Config(dict):
        def get(self, *args, **kwargs):
            calls.append((args, kwargs))
            return "From get."

    cfg = fm.resolve_free_model(model_index=900003, all_config=Config(theme="dark"))
    assert cfg["system_prompt"] == "From get." and calls == [(("system_prompt", ""), {})]


def test_results_are_fresh_copies(fm):
    first = fm.resolve_free_model(900000)
    first["temperature"] = 2.0
    first["modalities"].append("image")
    second = fm.resolve_free_model(900000)
    temperature = optimal(fm, fm.FREE_MODELS[0][1])[0]
    assert first is not second and (second["temperature"], second["modalities"]) == (
        temperature, ["text"])


def test_rebound_base_and_catalogue(fm):
    fm.FREE_MODEL_BASE = 1000
    count = len(fm.FREE_MODELS)
    models = [fm.resolve_free_model(1000 + i)["model"] for i in range(count)]
    assert models == [row[1] for row in fm.FREE_MODELS]
    assert [fm.resolve_free_model(i) for i in (1000 + count, 999, 900000)] == [None] * 3
    fm.FREE_MODELS = []
    assert [fm.resolve_free_model(1000 + i) for i in range(count)] == [None] * count


@pytest.mark.parametrize("index, all_config, setup, exc, line", [
    (float("inf"), None, {}, OverflowError, "index"),
    (Convertible(KeyError("boom")), None, {}, KeyError, "index"),
    (Convertible(SystemExit(3)), None, {}, SystemExit, "index"),
    (900000, None, {"FREE_MODEL_BASE": GONE}, NameError, "lower_bound"),
    (900000, None, {"get_free_model_choices": GONE}, NameError, "choices"),
    (900001, [1], {}, AttributeError, "inherit"),
    (900001, "prompt", {}, AttributeError, "inherit"),
    (900000, {"system_prompt": "x"}, {"log": GONE}, NameError, "log"),
])
def test_failures(fm, logged, index, all_config, setup, exc, line):
    rebind(fm, setup)
    with pytest.raises(exc) as info:
        fm.resolve_free_model(index, all_config)
    if exc is NameError:
        assert str(info.value) == f"name '{next(iter(setup))}' is not defined"
    assert module_entries(info.value) == [entry(RESOLVE, line)]
    assert logged() == []


def test_base_raised_while_resolving_selects_nothing(fm):
    """The offset turned negative: no row, where plain Python would index from the end."""
    choices = fm.get_free_model_choices

    def choices_while_base_moves_up():
        fm.FREE_MODEL_BASE = 900001
        return choices()

    fm.get_free_model_choices = choices_while_base_moves_up
    assert fm.resolve_free_model(900000) is None


def test_bad_row_elsewhere_still_fails_resolution(fm):
    fm.FREE_MODELS[-1] = ("Hy3", "hy3-free")
    with pytest.raises(ValueError, match="need more than 2 values to unpack") as info:
        fm.resolve_free_model(900000)
    assert module_entries(info.value) == [entry(RESOLVE, "choices"),
                                          entry("get_free_model_choices", "rows")]


@pytest.mark.parametrize("name, line", [("_FREE_PARAMS_FALLBACK", "temperature"),
                                        ("FREE_KEYLESS_PLACEHOLDER", "api_key"),
                                        ("_FREE_MAX_TOKENS_FALLBACK", "max_tokens")])
def test_missing_name_fails_resolution_at_its_line(fm, name, line):
    delattr(fm, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
        fm.resolve_free_model(900003)
    assert module_entries(info.value)[-1] == entry("get_free_model_choices", line)


def test_float_base_fails_at_the_subscript(fm):
    fm.FREE_MODEL_BASE = 900000.0
    with pytest.raises(TypeError, match="list indices must be integers") as info:
        fm.resolve_free_model(900001)
    assert module_entries(info.value) == [entry(RESOLVE, "copy")]


def test_missing_info_reported_before_missing_model(fm):
    fm.get_free_model_choices = lambda: [{"name": "no model"}]

    class Mute:
        pass
    fm.log = Mute()
    with pytest.raises(AttributeError, match="info") as info:
        fm.resolve_free_model(900000)
    assert module_entries(info.value) == [entry(RESOLVE, "log")]
    del fm.log
    with pytest.raises(NameError):
        fm.resolve_free_model(900000)
