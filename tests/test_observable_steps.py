"""What a host that replaces the module's tables and functions can observe of each call: how often
its replacements are called, in which order errors surface, and the lines they report. (Answers
under random host programs are compared with plain Python in test_host_programs.py.)"""
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


@pytest.mark.parametrize("name, line", [("_FREE_PARAMS_FALLBACK", 146),
                                        ("FREE_KEYLESS_PLACEHOLDER", 141),
                                        ("_FREE_MAX_TOKENS_FALLBACK", 145)])
def test_missing_name_fails_resolution_at_its_line(fm, name, line):
    delattr(fm, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
        fm.resolve_free_model(900003)
    assert module_entries(info.value)[-1] == ("routes.free_models.get_free_model_choices", line)


def test_float_base_fails_at_the_subscript(fm):
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
