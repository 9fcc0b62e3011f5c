"""get_free_model_choices: the selector entries, their freshness, and how a rebound
catalogue or missing module names reach the host."""
import itertools

import pytest

from conftest import module_entries

CHOICES = "routes.free_models.get_free_model_choices"
KEYS = ["name", "model", "provider", "api_type", "api_base", "api_key", "enabled",
        "modalities", "max_context", "max_tokens", "temperature", "top_p", "free"]
TABLE = [
    ("Hy3", "hy3-free", 192000, 16384, 0.7, 0.95),
    ("Laguna S 2.1", "laguna-s-2.1-free", 256000, 16384, 0.2, 0.9),
    ("Nemotron 3 Ultra", "nemotron-3-ultra-free", 192000, 32768, 0.6, 0.95),
    ("Nemotron 3.5 Lightning", "nemotron-3.5-lightning-free", 192000, 16384, 0.4, 0.95),
]


def test_catalogue_entries_in_table_order(fm):
    choices = fm.get_free_model_choices()
    assert type(choices) is list and len(choices) == 4
    for entry, (name, model, ctx, max_tokens, temperature, top_p) in zip(choices, TABLE):
        assert type(entry) is dict and list(entry) == KEYS
        assert entry == {
            "name": name, "model": model, "provider": "opencode-free",
            "api_type": "opencode-free", "api_base": fm.FREE_API_BASE,
            "api_key": "free-keyless-public-relay", "enabled": True, "modalities": ["text"],
            "max_context": ctx, "max_tokens": max_tokens, "temperature": temperature,
            "top_p": top_p, "free": True,
        }
        assert type(entry["max_tokens"]) is int and type(entry["temperature"]) is float
        assert entry["enabled"] is True and entry["free"] is True


def test_every_call_builds_new_objects(fm):
    first, second = fm.get_free_model_choices(), fm.get_free_model_choices()
    assert first == second and first is not second
    for a, b in zip(first, second):
        assert a is not b and a["modalities"] is not b["modalities"]
    assert len({id(entry["modalities"]) for entry in first}) == 4

    first[0]["temperature"] = 1.5
    first[0]["modalities"].append("image")
    assert fm.get_free_model_choices() == second
    resolved = fm.resolve_free_model(900000)
    assert resolved["temperature"] == 0.7 and resolved["modalities"] == ["text"]


def test_rebound_catalogue_takes_effect(fm):
    catalogue = fm.FREE_MODELS
    fm.FREE_MODELS = []
    assert fm.get_free_model_choices() == []
    fm.FREE_MODELS = list(catalogue)
    fm.FREE_MODELS.append(("Nemotron Test", "nemotron-test", 8192))
    first, *_, fifth = fm.get_free_model_choices()
    assert list(fifth) == KEYS
    assert fifth == dict(first, name="Nemotron Test", model="nemotron-test", max_context=8192,
                         temperature=0.6, top_p=0.95, max_tokens=16384)


@pytest.mark.parametrize("catalogue, exc, message", [
    ([("Hy3", "hy3-free")], ValueError, "need more than 2 values to unpack"),
    ([("Hy3",)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([("Hy3", "hy3-free", 1, 2)], ValueError, "too many values to unpack (expected 3)"),
    ([["Hy3", "hy3-free"]], ValueError, "need more than 2 values to unpack"),
    ([("Hy3", "hy3-free", 1), "ab"], ValueError, "need more than 2 values to unpack"),
    (["abcd"], ValueError, "too many values to unpack (expected 3)"),
    ([5], TypeError, None),
    (5, TypeError, None),
])
def test_bad_catalogue_fails_at_the_loop(fm, catalogue, exc, message):
    fm.FREE_MODELS = catalogue
    with pytest.raises(exc) as info:
        fm.get_free_model_choices()
    assert message is None or str(info.value) == message
    assert module_entries(info.value) == [(CHOICES, 133)]


def test_iterable_row_read_up_to_a_fourth_item(fm):
    read = []

    def endless():
        for n in itertools.count():
            read.append(n)
            yield str(n)

    fm.FREE_MODELS = [endless()]
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        fm.get_free_model_choices()
    assert read == [0, 1, 2, 3]


@pytest.mark.parametrize("name, line", [
    ("FREE_MODELS", 133), ("get_optimal_params", 134), ("FREE_PROVIDER_TYPE", 138),
    ("FREE_API_BASE", 140), ("FREE_KEYLESS_PLACEHOLDER", 141),
    ("_FREE_MAX_TOKENS_FALLBACK", 145), ("_FREE_PARAMS_FALLBACK", 146),
])
def test_missing_module_name(fm, name, line):
    saved = getattr(fm, name)
    delattr(fm, name)
    with pytest.raises(NameError) as info:
        fm.get_free_model_choices()
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == [(CHOICES, line)]
    setattr(fm, name, saved)
    assert len(fm.get_free_model_choices()) == 4


@pytest.mark.parametrize("fallback, key, line", [
    ({"top_p": 0.95}, "temperature", 146),
    ({"temperature": 0.7}, "top_p", 147),
])
def test_incomplete_fallback_fails_even_for_catalogue_models(fm, fallback, key, line):
    fm._FREE_PARAMS_FALLBACK = fallback
    with pytest.raises(KeyError) as info:
        fm.get_free_model_choices()
    assert info.value.args == (key,)
    assert module_entries(info.value) == [(CHOICES, line)]


def test_names_are_looked_up_per_call(fm):
    calls = []

    def lookup(*args, **kwargs):
        calls.append((args, kwargs))
        return {}

    fm.get_optimal_params = lookup
    fm.FREE_PROVIDER_TYPE = "relay-x"
    fm._FREE_MAX_TOKENS_FALLBACK = 1234
    fm._FREE_PARAMS_FALLBACK = {"temperature": 0.1, "top_p": 0.2}
    choices = fm.get_free_model_choices()
    assert calls == [((t[1],), {}) for t in TABLE]
    for entry in choices:
        assert (entry["provider"], entry["api_type"]) == ("relay-x", "relay-x")
        assert (entry["max_tokens"], entry["temperature"], entry["top_p"]) == (1234, 0.1, 0.2)

