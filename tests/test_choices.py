"""get_free_model_choices: the selector entries, their freshness, and how a rebound
catalogue or missing module names reach the host."""
import builtins
import itertools

import pytest

from conftest import (CATALOGUE, CATALOGUE_IDS, FAMILIES, GONE, KEYS, MAX_TOKENS_FALLBACK, Attrs,
                      entry, load_peer, module_entries, optimal, rebind, record_calls,
                      reuse_freed_memory, shipped)


def test_catalogue_entries_in_table_order(fm):
    choices = fm.get_free_model_choices()
    assert type(choices) is list and len(choices) == len(fm.FREE_MODELS)
    for got, (name, model, ctx) in zip(choices, fm.FREE_MODELS):
        temperature, top_p, max_tokens = optimal(fm, model)
        assert type(got) is dict and list(got) == KEYS
        assert got == dict(zip(KEYS, [
            name, model, "opencode-free", "opencode-free", fm.FREE_API_BASE,
            "free-keyless-public-relay", True, ["text"], ctx, max_tokens, temperature, top_p,
            True]))
        assert type(got["max_tokens"]) is int and type(got["temperature"]) is float
        assert got["enabled"] is True and got["free"] is True
    assert shipped(choice["model"] for choice in choices) == [m.id for m in CATALOGUE]


def test_every_call_builds_new_objects(fm):
    first, second = fm.get_free_model_choices(), fm.get_free_model_choices()
    assert first == second and first is not second
    assert len({id(x) for e in first + second for x in (e, e["modalities"])}) == 4 * len(first)
    first[0]["temperature"] = 1.5
    first[0]["modalities"].append("image")
    assert fm.get_free_model_choices() == second


def test_rebound_names_take_effect(fm):
    fm.FREE_MODELS = []
    assert fm.get_free_model_choices() == []
    fm.FREE_MODELS = [m.row for m in CATALOGUE] + [("Nemotron Test", "nemotron-test", 8192)]
    first, *_, added = fm.get_free_model_choices()
    assert list(added) == KEYS
    nemotron = FAMILIES[0]  # the family of the added id
    assert added == dict(first, name="Nemotron Test", model="nemotron-test", max_context=8192,
                         temperature=nemotron.temperature, top_p=nemotron.top_p,
                         max_tokens=MAX_TOKENS_FALLBACK)
    fm.get_optimal_params = lambda model_id: {}
    fm.FREE_PROVIDER_TYPE = "relay-x"
    fm._FREE_PARAMS_FALLBACK = {"temperature": 0.1, "top_p": 0.2}
    fm._FREE_MAX_TOKENS_FALLBACK = 1234
    for got in fm.get_free_model_choices():
        assert [got[k] for k in ("provider", "api_type", "max_tokens", "temperature", "top_p")] == [
            "relay-x", "relay-x", 1234, 0.1, 0.2]


def test_replaced_lookup_runs_once_per_row_on_every_path(fm):
    plain = fm.get_free_model_choices()
    calls = record_calls(fm, "get_optimal_params")
    assert fm.get_free_model_choices() == plain
    assert fm.resolve_free_model(900001) == plain[1]
    assert fm.resolve_free_model(900000 + len(plain)) is None
    ids = [row[1] for row in fm.FREE_MODELS]
    assert calls == [(i,) for i in ids] * 3


class CountingDict(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.seen = []

    def __contains__(self, key):
        self.seen.append(key)
        return super().__contains__(key)


def test_table_subclass_sees_every_membership_test(fm):
    fm.FREE_MODEL_OPTIMAL_PARAMS = CountingDict(fm.FREE_MODEL_OPTIMAL_PARAMS)
    third = fm.FREE_MODELS[2][1]
    assert fm.resolve_free_model(900002)["max_tokens"] == optimal(fm, third)[2]
    assert fm.FREE_MODEL_OPTIMAL_PARAMS.seen == [row[1] for row in fm.FREE_MODELS]


def test_iterable_row_read_up_to_a_fourth_item(fm):
    read = []
    fm.FREE_MODELS = [(read.append(n) or str(n) for n in itertools.count())]
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        fm.get_free_model_choices()
    assert read == [0, 1, 2, 3]


@pytest.mark.parametrize("setup, exc, text, line", [
    ({"FREE_MODELS": [("Hy3", "hy3-free")]}, ValueError, "need more than 2 values to unpack", "rows"),
    ({"FREE_MODELS": [()]}, ValueError, "need more than 0 values to unpack", "rows"),
    ({"FREE_MODELS": [("Hy3", "hy3-free", 1, 2)]}, ValueError, "too many values to unpack (expected 3)", "rows"),
    ({"FREE_MODELS": [("Hy3", "hy3-free", 1), "ab"]}, ValueError, "need more than 2 values to unpack", "rows"),
    ({"FREE_MODELS": [5]}, TypeError, None, "rows"),
    ({"FREE_MODELS": 5}, TypeError, None, "rows"),
    *[({name: GONE}, NameError, f"name '{name}' is not defined", line) for name, line in [
        ("FREE_MODELS", "rows"), ("get_optimal_params", "lookup"),
        ("FREE_PROVIDER_TYPE", "provider"), ("FREE_API_BASE", "api_base"),
        ("FREE_KEYLESS_PLACEHOLDER", "api_key"), ("_FREE_MAX_TOKENS_FALLBACK", "max_tokens"),
        ("_FREE_PARAMS_FALLBACK", "temperature")]],
    ({"_FREE_PARAMS_FALLBACK": {"top_p": 0.95}}, KeyError, "'temperature'", "temperature"),
])
def test_failures_and_recovery(fm, setup, exc, text, line):
    saved = dict(vars(fm))
    rebind(fm, setup)
    with pytest.raises(exc) as info:
        fm.get_free_model_choices()
    assert type(info.value) is exc and (text is None or str(info.value) == text)
    assert module_entries(info.value) == [entry("get_free_model_choices", line)]
    vars(fm).update(saved)  # the host puts its names back: no re-import needed
    assert [choice["model"] for choice in fm.get_free_model_choices()] == CATALOGUE_IDS


def test_opt_get_taken_before_its_fallback(fm):
    """`opt.get(key, fallback)` with get_optimal_params answering a host mapping: `opt.get` is
    taken before the fallback is read, as in plain Python; an answer without `get` fails there,
    even when the fallback's name is gone."""
    def run(module):
        steps = []

        class Params:
            def __getattribute__(self, name):
                steps.append(name)
                return object.__getattribute__(self, name)

            def get(self, key, fallback):
                steps.append((key, fallback))
                return len(steps)

        class Fallback(dict):
            def __getitem__(self, key):
                steps.append("fallback " + key)
                return len(steps)

        module.FREE_MODELS = [("Hy3", "hy3-free", 1)]
        module.get_optimal_params = lambda model_id: Params()
        module._FREE_PARAMS_FALLBACK = Fallback()
        [choice] = module.get_free_model_choices()
        module.get_optimal_params = lambda model_id: ()
        del module._FREE_MAX_TOKENS_FALLBACK
        failure = None
        try:
            module.get_free_model_choices()
        except Exception as exc:
            failure = exc
        return (steps, [choice[key] for key in ("max_tokens", "temperature", "top_p")],
                type(failure), str(failure)), failure
    peer = load_peer()  # with tables of its own, copied before run() changes the module's
    got, failure = run(fm)
    assert got == run(peer)[0]
    assert got[2] is AttributeError
    assert module_entries(failure) == [entry("get_free_model_choices", "max_tokens")]


def test_names_changed_between_rows_are_read_afresh(fm):
    """Rows from host code that, between rows, rebinds the constants or changes the fallback
    table in place: each entry, listed or resolved, has the values as they stand at its row,
    as in plain Python, including an entry that takes the fallbacks for want of its own."""
    def run(module):
        module.FREE_MODEL_OPTIMAL_PARAMS = dict(module.FREE_MODEL_OPTIMAL_PARAMS,
                                                partial={"temperature": 0.3})
        rows = [row for m in CATALOGUE for row in (("Partial", "partial", 1), m.row)] * 2

        class Rows:
            def __iter__(self):
                for n, row in enumerate(rows):
                    if n % 3 == 1:
                        module.FREE_PROVIDER_TYPE = f"type-{n}"
                        module.FREE_API_BASE = f"https://relay-{n}.test/v1"
                        module.FREE_KEYLESS_PLACEHOLDER = f"key-{n}"
                        module._FREE_MAX_TOKENS_FALLBACK = 1000 + n
                    elif n % 3 == 2:
                        module._FREE_PARAMS_FALLBACK["top_p"] = n / 100
                    yield row
        module.FREE_MODELS = Rows()
        return module.get_free_model_choices(), [
            module.resolve_free_model(900000 + n) for n in range(len(rows))]
    peer = load_peer()  # with tables of its own, copied before run() changes the module's
    got = run(fm)
    assert got == run(peer)
    assert len({choice["api_base"] for choice in got[0]}) > len(got[0]) // 3


def test_fallback_attribute_dict_changed_between_rows(fm):
    """The fallback table is an object's attribute dict, changed by setattr between rows: by the
    host's lookup (whose answers lack the sampling values, so that each row takes the fallback's)
    and by a generator bound as the catalogue (with the module's own lookup). Each row reads the
    table as it stands, as in plain Python, also once the values replaced are freed."""
    def run(module, own_lookup):
        fallback = Attrs(module._FREE_PARAMS_FALLBACK)
        module._FREE_PARAMS_FALLBACK = vars(fallback)
        module.FREE_MODELS = module.FREE_MODELS * 3
        count = itertools.count(1)

        def lookup(model_id):
            n = next(count)
            setattr(fallback, "temperature", n / 10)
            fallback.top_p = n / 100
            reuse_freed_memory()
            return {}
        module.get_optimal_params = lookup
        listed = module.get_free_model_choices(), module.resolve_free_model(900004)
        module.get_optimal_params = own_lookup
        rows = list(module.FREE_MODELS) + [("Gpt", "gpt-x", 1), ("Hy", "hybrid-x", 1)] * 3

        def changing_rows():
            for n, row in enumerate(rows):
                fallback.top_p = n / 100
                if n % 4 == 3:
                    delattr(fallback, "temperature")
                    fallback.temperature = n / 10
                reuse_freed_memory()
                yield row
        module.FREE_MODELS = changing_rows()
        generated = module.get_free_model_choices()
        return listed, generated
    peer = load_peer()
    got = run(fm, fm.get_optimal_params)
    assert got == run(peer, peer.get_optimal_params)
    assert len({choice["top_p"] for choice in got[1]}) > 3


@pytest.mark.parametrize("fallback", [0.5, "temperature", ("temperature", 0.7), None, 7])
def test_fallback_table_that_is_no_mapping(fm, fallback):
    """A fallback table that is no mapping fails every entry's read of it, as in plain Python,
    whether or not the row's own values make the fallback's unneeded."""
    def run(module):
        module._FREE_PARAMS_FALLBACK = fallback
        outcomes = []
        for rows in (module.FREE_MODELS, [("Gpt", "gpt-x", 1)]):
            module.FREE_MODELS = rows
            try:
                outcomes.append(module.get_free_model_choices())
            except Exception as exc:
                outcomes.append((type(exc), str(exc)))
        return outcomes
    peer = load_peer()
    assert run(fm) == run(peer)


def test_values_kept_from_one_call_to_the_next_follow_the_names(fm):
    """The constants and fallbacks every row reads are kept from one call to the next while
    nothing they came from has changed: each call still answers with the names as they stand,
    rebound in the namespace, moved into the builtins and rebound there, or a fallback table
    changed in place, as plain Python does."""
    def run(module):
        module.FREE_MODELS = [("Nemo", "nemotron-x", 1), ("Gpt", "gpt-x", 2), CATALOGUE[0].row]

        def picture():
            return [(c["provider"], c["api_type"], c["api_base"], c["api_key"], c["max_tokens"],
                     c["temperature"], c["top_p"]) for c in module.get_free_model_choices()
                    ] + [module.resolve_free_model(900001)]
        pictures = [picture(), picture()]
        steps = [lambda: setattr(module, "FREE_PROVIDER_TYPE", "elsewhere"),
                 lambda: setattr(module, "_FREE_MAX_TOKENS_FALLBACK", 7),
                 lambda: module._FREE_PARAMS_FALLBACK.__setitem__("top_p", 0.5),
                 lambda: module._FREE_PARAMS_FALLBACK.__setitem__("temperature", 0.25),
                 lambda: delattr(module, "FREE_API_BASE"),
                 lambda: setattr(builtins, "FREE_API_BASE", "https://b2.test/v1"),
                 lambda: delattr(module, "FREE_KEYLESS_PLACEHOLDER"),
                 lambda: setattr(builtins, "FREE_KEYLESS_PLACEHOLDER", "k2"),
                 lambda: setattr(module, "FREE_KEYLESS_PLACEHOLDER", "k3")]
        try:
            builtins.FREE_API_BASE, builtins.FREE_KEYLESS_PLACEHOLDER = "https://b1.test/v1", "k1"
            for step in steps:
                step()
                pictures += [picture(), picture()]
        finally:
            for name in ("FREE_API_BASE", "FREE_KEYLESS_PLACEHOLDER"):
                vars(builtins).pop(name, None)
        return pictures
    peer = load_peer()
    got = run(fm)
    assert got == run(peer)
    assert len({str(p) for p in got}) == 10
