"""The catalogue and constants that routes.free_models binds at import: types, values, orders."""
from urllib.parse import urlsplit

import pytest

from conftest import CATALOGUE, FALLBACK, FAMILIES, MAX_TOKENS_FALLBACK, SHIPPED, shipped


def typed(params):
    """A parameter set's items with their types: 16384 == 16384.0, so types count on their own."""
    return [(key, value, type(value)) for key, value in params.items()]


@pytest.mark.parametrize("name, value", [
    ("FREE_MODEL_BASE", 900000), ("FREE_PROVIDER_TYPE", "opencode-free"),
    ("FREE_API_BASE", "https://opencode.ai/zen/v1"),
    ("_FREE_MAX_TOKENS_FALLBACK", MAX_TOKENS_FALLBACK),
    ("FREE_KEYLESS_PLACEHOLDER", "free-keyless-public-relay"),
])
def test_scalar_constants(fm, name, value):
    got = getattr(fm, name)
    assert type(got) is type(value) and got == value


def test_every_row_has_its_entry_in_the_same_order(fm):
    """What holds for any catalogue, with models added or not."""
    rows, table = fm.FREE_MODELS, fm.FREE_MODEL_OPTIMAL_PARAMS
    assert type(rows) is list
    assert all(type(row) is tuple and [type(v) for v in row] == [str, str, int] for row in rows)
    ids = [model_id for _, model_id, _ in rows]
    # get_optimal_params looks up the stripped lower-case id: no other spelling is ever found
    assert len(set(ids)) == len(ids) and all(i == i.strip().lower() and i for i in ids)
    assert type(table) is dict and list(table) == ids
    assert all(typed(params)[:3] == [("temperature", params["temperature"], float),
                                     ("top_p", params["top_p"], float),
                                     ("max_tokens", params["max_tokens"], int)]
               and len(params) == 3 for params in table.values())


def test_shipped_models_and_parameter_tables(fm):
    rows, table = fm.FREE_MODELS, fm.FREE_MODEL_OPTIMAL_PARAMS
    assert [row for row in rows if row[1] in SHIPPED] == [m.row for m in CATALOGUE]
    assert [(model_id, typed(table[model_id])) for model_id in shipped(table)] == [
        (m.id, typed(m.params)) for m in CATALOGUE]
    families = fm._FREE_MODEL_FAMILY_PARAMS
    assert type(families) is list and [(type(pair), len(pair), pair[0], typed(pair[1]))
                                       for pair in families] == [
        (tuple, 2, family.prefix, typed(family.params)) for family in FAMILIES]
    assert typed(fm._FREE_PARAMS_FALLBACK) == typed(FALLBACK)
    sets = [*table.values(), *(params for _, params in families), fm._FREE_PARAMS_FALLBACK]
    assert all(type(params) is dict for params in sets)
    assert len({id(params) for params in sets}) == len(sets) == len(table) + len(families) + 1


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
