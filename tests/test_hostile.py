"""Hostile callers: arguments whose protocols raise, lie about their type or rebind module
attributes mid-call, odd builtins, module attributes replaced between calls. Every call returns a
well-formed result or raises with the module's traceback entries; the tables come out unchanged."""
import copy

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, given, settings

import routes.free_models as fm
from conftest import GONE, KEYS, module_entries, pristine, rebind

FUNCS = {name: getattr(fm, name) for name in ["get_optimal_params", "apply_optimal_params",
         "get_free_model_choices", "resolve_free_model", "build_endpoint"]}
TABLES = ("FREE_MODELS", "FREE_MODEL_OPTIMAL_PARAMS", "_FREE_MODEL_FAMILY_PARAMS",
          "_FREE_PARAMS_FALLBACK", "_FREE_MAX_TOKENS_FALLBACK", "FREE_MODEL_BASE",
          "FREE_PROVIDER_TYPE", "FREE_API_BASE", "FREE_KEYLESS_PLACEHOLDER",
          "FREE_ATTRIBUTION_HEADERS")
NAMES = TABLES + ("log", "get_optimal_params", "get_free_model_choices", "__builtins__")
PER_FUNCTION = settings(max_examples=2 * settings.default.max_examples, derandomize=False,
                        deadline=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Boom(BaseException):
    """Raised by hostile objects: not an Exception, so nothing may swallow it by accident."""


class Hostile:
    """Its protocols follow `plan`: method name -> ("raise", exception class), ("wrong", value
    returned instead) or ("rebind", module attribute, value or GONE), after which the method
    answers as the builtin base type, or the default below, would."""

    def __repr__(self):
        return f"<{type(self).__name__} {self.plan!r}>"


DEFAULTS = {
    "__bool__": lambda s: True, "__str__": None, "__int__": lambda s: 900001,
    "__index__": lambda s: 900001, "__eq__": None, "__hash__": lambda s: 42,
    "__len__": lambda s: 2, "__iter__": lambda s: iter(("hy3-free", "x")),
    "__contains__": lambda s, k: False, "__getitem__": lambda s, k: 0.5,
    "__setitem__": lambda s, k, v: None, "__gt__": lambda s, o: False,
    "__rsub__": lambda s, o: 0, "__add__": lambda s, o: "h" + o, "__call__": lambda s, *a: s,
    "keys": lambda s: ["top_p"], "items": lambda s: [("top_p", 1)],
    "get": lambda s, k, d=None: d, "update": lambda s, *a: None,
    "rstrip": lambda s, c=None: s, "endswith": lambda s, x: True,
    "startswith": lambda s, x: False, "strip": lambda s: s, "lower": lambda s: s,
    "info": lambda s, *a: None,
}


def _protocol(name, default):
    def method(self, *args):
        action = self.plan.get(name, ("",))
        if action[0] == "raise":
            raise action[1](f"hostile {name}")
        if action[0] == "wrong":
            return action[1]
        if action[0] == "rebind":
            rebind(fm, {action[1]: action[2]})
        real = getattr(super(Hostile, self), name, None)
        return real(*args) if real is not None else default(self, *args)
    return method


for _name, _default in DEFAULTS.items():
    setattr(Hostile, _name, _protocol(_name, _default))
BASES = {base: type("Hostile" + base.__name__.title(), (Hostile, base), {})
         for base in (str, bytes, int, list, dict)}


def hostile(base, seed, plan):
    obj = BASES[base](seed) if base in BASES else Hostile()
    obj.plan = plan
    return obj


def short_repr(base, label):
    """A builtin whose str() still does the work (and fails), but whose repr is short."""
    return type(base.__name__, (base,), {"__str__": base.__repr__, "__repr__": lambda s: label})


def awkward_containers(depth=20_000):
    looped, deep_list, deep_dict = [], [], {}
    looped.append(looped)
    for _ in range(depth):
        deep_list, deep_dict = [deep_list], {"model": deep_dict, "system_prompt": deep_dict}
    return [looped, {"model": "hy3-free", "self": looped}, short_repr(list, "<deep>")(deep_list),
            short_repr(dict, "<deep>")(deep_dict)]


STRINGS = ["hy3-free", " HY3-Free\n", "nemotron-9", "900001", " 900_001 ", "9e5", "",
           "https://relay.test/zen/v1/", "https://relay.test/V1", "/", "Authorization"]
SPECIAL = awkward_containers() + STRINGS + [
    b"900001", b"https://b/v1", 10**30, -10**30, 2**63, short_repr(int, "<huge>")(10**5000),
    float("inf"), float("nan"), 900002.99, True, (), *FUNCS.values()]
authorization = st.lists(st.booleans(), min_size=13, max_size=13).map(
    lambda up: "".join(c.upper() if u else c for c, u in zip("authorization", up)))
names = authorization | st.sampled_from(["X-Title", "HTTP-Referer", "x-title", "model",
                                         "system_prompt", "top_p"]) | st.text(max_size=6)
scalars = (st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=12)
           | st.integers(4290, 4310).map(lambda digits: "9" * digits)
           | st.binary(max_size=8) | st.sampled_from(SPECIAL) | names)
values = st.deferred(lambda: st.recursive(
    scalars | hostiles,
    lambda inner: (st.lists(inner, max_size=4) | st.tuples(inner, inner)
                   | st.tuples(inner, inner, inner) | st.lists(st.tuples(names, inner), max_size=3)
                   | st.dictionaries(names, inner, max_size=4)),
    max_leaves=8))
actions = (st.tuples(st.just("raise"), st.sampled_from([Boom, TypeError, ValueError, KeyError,
                                                        RecursionError, MemoryError]))
           | st.tuples(st.just("wrong"), values)
           | st.tuples(st.just("rebind"), st.sampled_from(NAMES), values | st.just(GONE)))
plans = st.dictionaries(st.sampled_from(sorted(DEFAULTS)), actions, min_size=1, max_size=3)
hostiles = st.one_of([st.builds(hostile, st.just(base), seed, plans) for base, seed in [
    (object, st.none()), (str, names | st.sampled_from(STRINGS)), (bytes, st.binary(max_size=8)),
    (int, st.integers(899_990, 900_010)), (list, st.lists(scalars, max_size=3)),
    (dict, st.dictionaries(names, scalars))]])
argument = hostiles | values
ARGUMENTS = {
    "get_optimal_params": st.tuples(argument),
    "apply_optimal_params": st.tuples(argument | st.dictionaries(names, argument, min_size=1)),
    "resolve_free_model": st.tuples(argument | st.integers(899_998, 900_005), argument),
    "build_endpoint": st.tuples(argument, argument | st.lists(st.tuples(argument, argument))),
    "get_free_model_choices": st.just(()),
}
ORDINARY = {"get_optimal_params": [("hy3-free",), (" Nemotron-X ",), (None,)],
            "apply_optimal_params": [({"model": "laguna-s-2.1-free"},), ({"max_tokens": 7},)],
            "resolve_free_model": [(900000,), (900003, {"system_prompt": "Be brief."}), (5,)],
            "build_endpoint": [(None, None), ("https://relay.test/v1//", {"Authorization": 1})],
            "get_free_model_choices": [()]}


def untouched(saved):
    return vars(fm).keys() == saved.keys() and all(vars(fm)[k] is v for k, v in saved.items())


def check_result(name, args, result, intact):
    """The shape of a result; its values too when `intact` (nothing was rebound)."""
    if name == "get_optimal_params":
        assert type(result) is dict
        if intact:
            sets = [*fm.FREE_MODEL_OPTIMAL_PARAMS.values(),
                    *(p for _, p in fm._FREE_MODEL_FAMILY_PARAMS),
                    {**fm._FREE_PARAMS_FALLBACK, "max_tokens": fm._FREE_MAX_TOKENS_FALLBACK}]
            assert result in sets and all(result is not s for s in sets)
    elif name == "apply_optimal_params":
        assert result is args[0]
        assert not (intact and type(result) is dict and result) or (
            result["_free_top_p"] == result["top_p"])
    elif name == "get_free_model_choices":
        assert type(result) is list and all(type(entry) is dict for entry in result)
        assert not intact or [list(entry) for entry in result] == [KEYS] * 4
    elif name == "resolve_free_model":
        assert result is None or type(result) is dict
        assert not intact or result is None or (list(result)[:13] == KEYS and len(result) < 15
                                                and result["model"] in fm.FREE_MODEL_OPTIMAL_PARAMS)
    else:
        assert type(result) is tuple and len(result) == 2 and type(result[1]) is dict
        items = list(result[1].items())
        assert "authorization" not in [
            str.lower(k) if isinstance(k, str) else bytes.lower(k).decode("latin-1")
            for k, _ in items if isinstance(k, (str, bytes))], result
        if intact:
            assert all(any(isinstance(k, str) and str.__eq__(k, header) and v is value
                           for k, v in items)
                       for header, value in fm.FREE_ATTRIBUTION_HEADERS.items()), result
        if intact and (type(args[0]) is str or args[0] is None):
            assert result[0].endswith("/chat/completions"), result


@pytest.mark.parametrize("name", FUNCS)
@PER_FUNCTION
@given(data=st.data())
def test_hostile_calls(name, data):
    replaced = data.draw(st.just({}) | st.dictionaries(
        st.sampled_from(NAMES), values | st.just(GONE), min_size=1, max_size=3), "replaced")
    args = data.draw(ARGUMENTS[name] | st.sampled_from(ORDINARY[name]), "args")
    with pristine() as saved:
        copies = {name: copy.deepcopy(saved[name]) for name in TABLES}
        rebind(fm, replaced)
        intact = untouched(saved)
        try:
            result = FUNCS[name](*args)
        except (Exception, Boom) as exc:
            entries = module_entries(exc)
            assert entries and entries[0][0] == "routes.free_models." + name, (repr(exc), entries)
            assert all(n.startswith("routes.free_models.") for n, _ in entries), entries
        else:
            check_result(name, args, result, intact and untouched(saved))
        # whatever happened, the tables come out unchanged
        assert [table for table in TABLES if saved[table] != copies[table]] == []


def test_base_raised_while_resolving_selects_nothing(fm):
    def choices_while_base_moves_up():
        fm.FREE_MODEL_BASE = 900001
        return FUNCS["get_free_model_choices"]()

    fm.get_free_model_choices = choices_while_base_moves_up
    assert fm.resolve_free_model(900000) is None
