"""resolve_free_model: index conversion and bounds, the inherited system prompt, the log
line, fresh copies, and the effect of rebound or missing module names."""
import logging

import pytest

from conftest import module_entries

RESOLVE = "routes.free_models.resolve_free_model"
FORMAT = "[FREE MODELS] resolved index %s -> %s"


@pytest.fixture
def logged(caplog):
    """The (format, args) of every record the module's logger emits during the test."""
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


def test_each_index_resolves_to_its_choice(fm, logged):
    choices = fm.get_free_model_choices()
    for i, entry in enumerate(choices):
        cfg = fm.resolve_free_model(900000 + i)
        assert type(cfg) is dict and cfg == entry and list(cfg) == list(entry)
        assert "system_prompt" not in cfg and "_free_top_p" not in cfg
    assert logged() == [(FORMAT, (900000 + i, e["model"]), logging.INFO)
                        for i, e in enumerate(choices)]


@pytest.mark.parametrize("index", [
    900001, "900001", " 900001 ", "900_001", "+900001", b"900001", bytearray(b"900001"),
    900001.99, 900001.0, Convertible(900001),
])
def test_accepted_index_forms(fm, logged, index):
    cfg = fm.resolve_free_model(index)
    assert cfg["model"] == "laguna-s-2.1-free" and cfg["max_context"] == 256000
    [(_, args, _)] = logged()
    assert args == (900001, "laguna-s-2.1-free") and type(args[0]) is int


@pytest.mark.parametrize("index", [
    "900001.0", "9e5", "900001.5", "9000_01_", "0xDBBA1", "abc", "", b"", float("nan"),
    None, [], {}, [900001], True, False, Convertible(TypeError("no")),
    Convertible(ValueError("no")), Convertible(UnicodeDecodeError("utf-8", b"", 0, 1, "x")),
])
def test_refused_index_forms_give_none(fm, logged, index):
    assert fm.resolve_free_model(index) is None
    assert logged() == []


@pytest.mark.parametrize("index, exc", [
    (float("inf"), OverflowError), (float("-inf"), OverflowError),
    (Convertible(KeyError("boom")), KeyError), (Convertible(RuntimeError("boom")), RuntimeError),
])
def test_other_conversion_errors_propagate(fm, index, exc):
    with pytest.raises(exc) as info:
        fm.resolve_free_model(index)
    assert module_entries(info.value) == [(RESOLVE, 160)]


@pytest.mark.parametrize("index, builds_list", [
    (900004, True), (10**30, True), (899999, False), (0, False), (-1, False), (-10**30, False),
])
def test_out_of_range_gives_none(fm, logged, index, builds_list):
    real, calls = fm.get_free_model_choices, []

    def counting():
        calls.append(1)
        return real()

    fm.get_free_model_choices = counting
    assert fm.resolve_free_model(index) is None
    assert len(calls) == (1 if builds_list else 0)
    assert logged() == []


ABSENT = object()


@pytest.mark.parametrize("all_config, prompt", [
    ({"system_prompt": "Answer briefly."}, "Answer briefly."),
    ({"theme": "dark"}, ""),
    ({"system_prompt": None}, None),
    ({"system_prompt": ""}, ""),
    ({}, ABSENT), (None, ABSENT), ([], ABSENT), ("", ABSENT), (0, ABSENT),
])
def test_system_prompt_inherited(fm, all_config, prompt):
    before = repr(all_config)
    cfg = fm.resolve_free_model(900002, all_config)
    assert cfg["model"] == "nemotron-3-ultra-free" and cfg["max_tokens"] == 32768
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


@pytest.mark.parametrize("all_config", [[1], "prompt", True])
def test_true_all_config_without_get(fm, logged, all_config):
    with pytest.raises(AttributeError) as info:
        fm.resolve_free_model(900001, all_config)
    assert module_entries(info.value) == [(RESOLVE, 171)]
    assert logged() == []


def test_results_are_fresh_copies(fm):
    first, second = fm.resolve_free_model(900000), fm.resolve_free_model(900000)
    assert first == second and first is not second
    assert first["modalities"] is not second["modalities"]
    first["temperature"] = 2.0
    first["modalities"].append("image")
    assert second["temperature"] == 0.7 and second["modalities"] == ["text"]
    assert fm.resolve_free_model(900000) == second


def test_rebound_base_and_catalogue(fm):
    fm.FREE_MODEL_BASE = 1000
    models = [fm.resolve_free_model(1000 + i)["model"] for i in range(4)]
    assert models == [row[1] for row in fm.FREE_MODELS]
    assert fm.resolve_free_model(1004) is None and fm.resolve_free_model(999) is None
    assert fm.resolve_free_model(900000) is None
    fm.FREE_MODELS = []
    assert [fm.resolve_free_model(1000 + i) for i in range(4)] == [None] * 4


@pytest.mark.parametrize("name, entries", [
    ("FREE_MODEL_BASE", [(RESOLVE, 163)]),
    ("get_free_model_choices", [(RESOLVE, 165)]),
    ("log", [(RESOLVE, 172)]),
    ("FREE_MODELS", [(RESOLVE, 165), ("routes.free_models.get_free_model_choices", 133)]),
])
def test_missing_module_name(fm, name, entries):
    delattr(fm, name)
    with pytest.raises(NameError) as info:
        fm.resolve_free_model(900000, {"system_prompt": "x"})
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == entries
