"""The shortcuts for the module's own tables and functions must give way to the written steps,
with their side effects and error lines, as soon as the host replaces anything they assume."""
import pytest

from conftest import module_entries


class CountingDict(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.seen = []

    def __contains__(self, key):
        self.seen.append(key)
        return super().__contains__(key)


def wrap(fm, name, calls):
    inner = getattr(fm, name)

    def wrapper(*args):
        calls.append(args)
        return inner(*args)
    setattr(fm, name, wrapper)


def test_replaced_lookup_runs_once_per_row_on_every_path(fm):
    plain = fm.get_free_model_choices()
    calls = []
    wrap(fm, "get_optimal_params", calls)
    assert fm.get_free_model_choices() == plain
    assert fm.resolve_free_model(900001) == plain[1]
    assert fm.resolve_free_model(900009) is None
    ids = [row[1] for row in fm.FREE_MODELS]
    assert calls == [(i,) for i in ids] * 3


def test_table_subclass_sees_every_membership_test(fm):
    fm.FREE_MODEL_OPTIMAL_PARAMS = CountingDict(fm.FREE_MODEL_OPTIMAL_PARAMS)
    assert fm.resolve_free_model(900002)["max_tokens"] == 32768
    assert fm.FREE_MODEL_OPTIMAL_PARAMS.seen == [row[1] for row in fm.FREE_MODELS]


def test_bad_row_elsewhere_still_fails_resolution(fm):
    fm.FREE_MODELS[3] = ("Hy3", "hy3-free")
    with pytest.raises(ValueError, match="need more than 2 values to unpack") as info:
        fm.resolve_free_model(900000)
    assert module_entries(info.value) == [
        ("routes.free_models.resolve_free_model", 165),
        ("routes.free_models.get_free_model_choices", 133)]


def test_rows_outside_the_plain_form_mix_with_plain_rows(fm):
    expected = fm.get_free_model_choices()
    fm.FREE_MODELS[1] = list(fm.FREE_MODELS[1])
    fm.FREE_MODELS[2] = ("Nemotron 3 Ultra", " NEMOTRON-3-Ultra-free ", 192000)
    got = fm.get_free_model_choices()
    expected[2]["model"] = " NEMOTRON-3-Ultra-free "
    assert got == expected
    assert [list(e) for e in got] == [list(e) for e in expected]


@pytest.mark.parametrize("name, line", [("_FREE_PARAMS_FALLBACK", 146),
                                        ("FREE_KEYLESS_PLACEHOLDER", 141),
                                        ("_FREE_MAX_TOKENS_FALLBACK", 145)])
def test_missing_name_fails_resolution_at_its_line(fm, name, line):
    delattr(fm, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
        fm.resolve_free_model(900003)
    assert module_entries(info.value)[-1] == ("routes.free_models.get_free_model_choices", line)


def test_float_base_takes_the_written_steps(fm):
    fm.FREE_MODEL_BASE = 900000.0
    with pytest.raises(TypeError, match="list indices must be integers") as info:
        fm.resolve_free_model(900001)
    assert module_entries(info.value) == [("routes.free_models.resolve_free_model", 169)]


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
    assert (cfg["temperature"], cfg["top_p"]) == (0.2, 0.9)
    assert records == [("[FREE MODELS] auto-filled optimal params for %s: %s",
                        "laguna-s-2.1-free", {"temperature": 0.2, "top_p": 0.9,
                                              "max_tokens": 16384})]
    assert fm.resolve_free_model(900000)["model"] == "hy3-free"
    assert records[-1] == ("[FREE MODELS] resolved index %s -> %s", 900000, "hy3-free")


def test_missing_info_reported_before_missing_model(fm):
    fm.get_free_model_choices = lambda: [{"name": "no model"}]

    class Mute:
        pass
    fm.log = Mute()
    with pytest.raises(AttributeError, match="info") as info:
        fm.resolve_free_model(900000)
    assert module_entries(info.value) == [("routes.free_models.resolve_free_model", 172)]
    del fm.log
    with pytest.raises(NameError):
        fm.resolve_free_model(900000)


def test_text_that_is_no_integer_is_refused_quietly(fm):
    calls = []
    wrap(fm, "get_free_model_choices", calls)
    for index in ["abc", "", "900001.0", "९००००१x", None, [], {}, ()]:
        assert fm.resolve_free_model(index) is None
    assert fm.resolve_free_model("९००००१")["model"] == "laguna-s-2.1-free"
    assert len(calls) == 1


def test_changes_in_place_reach_entries_built_before(fm):
    fm.get_free_model_choices(), fm.resolve_free_model(900000)
    fm.FREE_MODEL_OPTIMAL_PARAMS["hy3-free"]["temperature"] = 0.1
    assert fm.get_free_model_choices()[0]["temperature"] == 0.1
    assert fm.resolve_free_model(900000)["temperature"] == 0.1
    fm.FREE_MODELS[0] = ("Hy3 renamed", "hy3-free", 1)
    assert fm.resolve_free_model(900000)["name"] == "Hy3 renamed"
    vars(fm)["FREE_PROVIDER_TYPE"] = "elsewhere"
    assert {e["provider"] for e in fm.get_free_model_choices()} == {"elsewhere"}
    del fm._FREE_PARAMS_FALLBACK["top_p"]
    with pytest.raises(KeyError, match="top_p") as info:
        fm.resolve_free_model(900001)
    assert module_entries(info.value)[-1] == ("routes.free_models.get_free_model_choices", 147)


def test_names_from_builtins_follow_both_namespaces(fm):
    import builtins
    rows = [("B", "hy3-free", 5)]
    del fm.FREE_MODELS
    builtins.FREE_MODELS = rows
    try:
        assert [e["name"] for e in fm.get_free_model_choices()] == ["B"]
    finally:
        del builtins.FREE_MODELS
    with pytest.raises(NameError, match="FREE_MODELS"):
        fm.get_free_model_choices()



def test_remembered_exact_matches_follow_the_table(fm):
    model = "hy3-free"
    assert fm.get_optimal_params(model)["temperature"] == 0.7
    fm.FREE_MODEL_OPTIMAL_PARAMS[model]["temperature"] = 0.3
    assert fm.get_optimal_params(model)["temperature"] == 0.3
    del fm.FREE_MODEL_OPTIMAL_PARAMS[model]
    assert "max_tokens" not in fm.get_optimal_params(model)  # the "hy" family now
    fm.FREE_MODEL_OPTIMAL_PARAMS = {model: {"top_p": 0.5}}
    assert fm.get_optimal_params(model) == {"top_p": 0.5}
    assert list(fm.build_endpoint(None, None)[1]) == ["HTTP-Referer", "X-Title"]
    fm.FREE_ATTRIBUTION_HEADERS["authorization"] = "leak"
    assert list(fm.build_endpoint(None, None)[1]) == ["HTTP-Referer", "X-Title"]


def test_remembered_family_answers_follow_the_list(fm):
    family, generic = "nemotron-4-super", "gpt-x"
    assert "max_tokens" not in fm.get_optimal_params(family)
    assert fm.get_optimal_params(generic)["max_tokens"] == 16384
    fm._FREE_MODEL_FAMILY_PARAMS.insert(0, ("nemotron-4", {"top_p": 0.2}))
    assert fm.get_optimal_params(family)["top_p"] == 0.2
    fm._FREE_MODEL_FAMILY_PARAMS[0][1]["top_p"] = 0.3
    assert fm.get_optimal_params(family)["top_p"] == 0.3
    fm._FREE_MODEL_FAMILY_PARAMS.append(("gpt", {"top_p": 0.4}))
    assert fm.get_optimal_params(generic) == {"temperature": 0.7, "top_p": 0.4}
    fm._FREE_MAX_TOKENS_FALLBACK = 7
    fm._FREE_MODEL_FAMILY_PARAMS.pop()
    assert fm.get_optimal_params(generic)["max_tokens"] == 7
