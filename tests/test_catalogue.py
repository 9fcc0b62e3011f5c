"""The catalogue and constants that routes.free_models binds at import: types, values, orders."""
from urllib.parse import urlsplit

import pytest

from conftest import MODELS, OPTIMAL

# (prefix, temperature, top_p), in the order the prefixes are tried
FAMILIES = [("nemotron", 0.6, 0.95), ("laguna", 0.2, 0.9), ("hy", 0.7, 0.95)]


def typed(params):
    """A parameter set's items with their types: 16384 == 16384.0, so types count on their own."""
    return [(key, value, type(value)) for key, value in params.items()]


@pytest.mark.parametrize("name, value", [
    ("FREE_MODEL_BASE", 900000), ("FREE_PROVIDER_TYPE", "opencode-free"),
    ("FREE_API_BASE", "https://opencode.ai/zen/v1"), ("_FREE_MAX_TOKENS_FALLBACK", 16384),
    ("FREE_KEYLESS_PLACEHOLDER", "free-keyless-public-relay"),
])
def test_scalar_constants(fm, name, value):
    got = getattr(fm, name)
    assert type(got) is type(value) and got == value


def test_catalogue_and_parameter_tables(fm):
    assert type(fm.FREE_MODELS) is list and fm.FREE_MODELS == MODELS
    assert all(type(row) is tuple and [type(v) for v in row] == [str, str, int]
               for row in fm.FREE_MODELS)
    table, families = fm.FREE_MODEL_OPTIMAL_PARAMS, fm._FREE_MODEL_FAMILY_PARAMS
    assert type(table) is dict and list(table) == list(OPTIMAL)
    assert [typed(params) for params in table.values()] == [
        typed({"temperature": t, "top_p": p, "max_tokens": n}) for t, p, n in OPTIMAL.values()]
    assert type(families) is list and [(type(pair), len(pair), pair[0], typed(pair[1]))
                                       for pair in families] == [
        (tuple, 2, prefix, typed({"temperature": t, "top_p": p})) for prefix, t, p in FAMILIES]
    assert typed(fm._FREE_PARAMS_FALLBACK) == typed({"temperature": 0.7, "top_p": 0.95})
    sets = [*table.values(), *(params for _, params in families), fm._FREE_PARAMS_FALLBACK]
    assert all(type(params) is dict for params in sets)
    assert len({id(params) for params in sets}) == len(sets) == 8


def test_attribution_headers(fm):
    headers = fm.FREE_ATTRIBUTION_HEADERS
    assert type(headers) is dict and list(headers) == ["HTTP-Referer", "X-Title"]
    assert all(type(value) is str for value in headers.values())
    assert headers["X-Title"] == "Tarnwick"
    referer = urlsplit(headers["HTTP-Referer"])
    assert referer.scheme == "https" and referer.netloc


def test_module_docstring_title(fm):
    doc = fm.__doc__
    assert doc.startswith("\n")
    title, underline = doc.splitlines()[1:3]
    assert all(word in title for word in ("free_models", "Tarnwick", "[FREE MODELS]"))
    assert set(underline) == {"="}
