"""The catalogue and constants that routes.free_models binds at import: types, values, orders."""
import logging
from urllib.parse import urlsplit

import pytest

MODELS = [
    ("Hy3", "hy3-free", 192000),
    ("Laguna S 2.1", "laguna-s-2.1-free", 256000),
    ("Nemotron 3 Ultra", "nemotron-3-ultra-free", 192000),
    ("Nemotron 3.5 Lightning", "nemotron-3.5-lightning-free", 192000),
]
# model id -> (temperature, top_p, max_tokens), in catalogue order
OPTIMAL = {
    "hy3-free": (0.7, 0.95, 16384),
    "laguna-s-2.1-free": (0.2, 0.9, 16384),
    "nemotron-3-ultra-free": (0.6, 0.95, 32768),
    "nemotron-3.5-lightning-free": (0.4, 0.95, 16384),
}
# (prefix, temperature, top_p), in the order the prefixes are tried
FAMILIES = [("nemotron", 0.6, 0.95), ("laguna", 0.2, 0.9), ("hy", 0.7, 0.95)]


def assert_param_set(params, temperature, top_p, max_tokens=None):
    """A parameter set is a dict of exactly these keys, in this order, floats then an int."""
    expected = {"temperature": temperature, "top_p": top_p}
    if max_tokens is not None:
        expected["max_tokens"] = max_tokens
    assert type(params) is dict
    assert list(params.items()) == list(expected.items())
    # 16384 == 16384.0, so the types are compared on their own
    assert [type(v) for v in params.values()] == [type(v) for v in expected.values()]


@pytest.mark.parametrize("name, value", [
    ("FREE_MODEL_BASE", 900000),
    ("FREE_PROVIDER_TYPE", "opencode-free"),
    ("FREE_API_BASE", "https://opencode.ai/zen/v1"),
    ("FREE_KEYLESS_PLACEHOLDER", "free-keyless-public-relay"),
    ("_FREE_MAX_TOKENS_FALLBACK", 16384),
])
def test_scalar_constants(fm, name, value):
    got = getattr(fm, name)
    assert type(got) is type(value) and got == value


def test_free_models_is_a_list_of_rows(fm):
    assert type(fm.FREE_MODELS) is list
    assert fm.FREE_MODELS == MODELS
    for row in fm.FREE_MODELS:
        assert type(row) is tuple
        assert [type(v) for v in row] == [str, str, int]


def test_optimal_params_follow_the_catalogue(fm):
    table = fm.FREE_MODEL_OPTIMAL_PARAMS
    assert type(table) is dict
    assert list(table) == [model_id for _, model_id, _ in fm.FREE_MODELS] == list(OPTIMAL)
    for model_id, values in OPTIMAL.items():
        assert_param_set(table[model_id], *values)


def test_family_and_fallback_sets(fm):
    families = fm._FREE_MODEL_FAMILY_PARAMS
    assert type(families) is list and len(families) == len(FAMILIES)
    for pair, (prefix, temperature, top_p) in zip(families, FAMILIES):
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is str and pair[0] == prefix
        assert_param_set(pair[1], temperature, top_p)
    assert_param_set(fm._FREE_PARAMS_FALLBACK, 0.7, 0.95)


def test_every_parameter_set_is_a_dict_of_its_own(fm):
    sets = [*fm.FREE_MODEL_OPTIMAL_PARAMS.values(),
            *(params for _, params in fm._FREE_MODEL_FAMILY_PARAMS),
            fm._FREE_PARAMS_FALLBACK]
    assert len({id(params) for params in sets}) == len(sets) == 8


def test_attribution_headers(fm):
    headers = fm.FREE_ATTRIBUTION_HEADERS
    assert type(headers) is dict and list(headers) == ["HTTP-Referer", "X-Title"]
    assert all(type(value) is str for value in headers.values())
    assert headers["X-Title"] == "Tarnwick"
    referer = urlsplit(headers["HTTP-Referer"])
    assert referer.scheme == "https" and referer.netloc


def test_log_is_the_shared_logger(fm):
    assert fm.log is logging.getLogger("tarnwick.free_models")
    assert fm.log.name == "tarnwick.free_models"


def test_module_docstring_title(fm):
    doc = fm.__doc__
    assert doc.startswith("\n")
    title, underline = doc.splitlines()[1:3]
    for word in ("free_models", "Tarnwick", "[FREE MODELS]"):
        assert word in title
    assert set(underline) == {"="}
