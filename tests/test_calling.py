"""The five function objects: introspection, what copy, pickle, typing and weakref make of them,
argument binding and its errors, and the traceback entries a failure leaves behind, one per
module function it passes through."""
import copy
import ctypes
import inspect
import multiprocessing
import pickle
import typing
import weakref
from concurrent.futures import ProcessPoolExecutor

import pytest

from conftest import MOD, entry, module_entries, run_python

# name, parameter list, definition line, local names
FUNCTIONS = [
    ("get_optimal_params", "(model_id)", 91, ("model_id", "mid", "prefix", "family_params", "params")),
    ("apply_optimal_params", "(cfg)", 106, ("cfg", "params", "k", "v")),
    ("get_free_model_choices", "()", 126, ("choices", "display", "model_id", "max_ctx", "opt")),
    ("resolve_free_model", "(model_index, all_config=None)", 153,
     ("model_index", "all_config", "idx", "choices", "offset", "cfg")),
    ("build_endpoint", "(api_base, headers)", 176, ("api_base", "headers", "base", "url")),
]
LINES = {name: line for name, _, line, *_ in FUNCTIONS}


@pytest.mark.parametrize("name, sig, line, varnames", FUNCTIONS)
def test_function_object_attributes(fm, name, sig, line, varnames):
    f = getattr(fm, name)
    assert str(inspect.signature(f)) == sig
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, MOD)
    first, blank, *rest = f.__doc__.split("\n")
    assert (first, blank) == (name + sig, "") and "".join(rest).strip()
    assert f.__defaults__ == ((None,) if "=None" in sig else None) and f.__kwdefaults__ is None
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("routes/free_models", name, line)
    params = tuple(p.partition("=")[0] for p in sig[1:-1].split(", ") if p)
    assert code.co_argcount == len(params) and code.co_varnames[:len(params)] == params
    assert code.co_varnames == varnames
    assert f.__annotations__ == {} and typing.get_type_hints(f) == {}
    assert name in repr(f) and MOD in repr(f)
    # Put on a class, it is not bound to instances, as a built-in function is not.
    holder = type("Holder", (), {"f": f})
    assert holder.f is f and holder().f is f and inspect.isroutine(f)


@pytest.mark.parametrize("name", LINES)
def test_copy_pickle_and_weakref_take_a_function_as_a_python_function(fm, name):
    f = getattr(fm, name)
    assert copy.copy(f) is f
    settings = {"hooks": [f], "name": name}
    assert copy.deepcopy(settings)["hooks"][0] is f
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(settings, protocol)
        assert pickle.loads(data)["hooks"][0] is f
        assert b"routes.free_models" in data and name.encode() in data and b"__code__" not in data
    ref, receivers = weakref.ref(f), weakref.WeakSet([f])
    assert ref() is f and f in receivers


def test_pickle_stores_the_name_of_the_function(fm):
    f = fm.build_endpoint
    data = pickle.dumps(f)
    fm.build_endpoint = fm.get_optimal_params  # loads what the module holds under the name now
    assert pickle.loads(data) is fm.get_optimal_params
    # a function that is no longer the module's under its own name cannot be stored by name
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(f)
    del fm.build_endpoint
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(f)


def test_functions_cross_to_another_process(fm):
    spawn = multiprocessing.get_context("spawn")  # a fresh interpreter imports the module anew
    with ProcessPoolExecutor(1, mp_context=spawn) as pool:
        assert pool.submit(fm.get_optimal_params, "x").result() == fm.get_optimal_params("x")
        assert pool.submit(copy.copy, fm.resolve_free_model).result() is fm.resolve_free_model


def test_weak_references_are_told_when_the_function_goes():
    done = run_python(
        "import gc, weakref, routes.free_models as fm\n"
        "told = []\n"
        "ref = weakref.ref(fm.build_endpoint, told.append)\n"
        "del fm.build_endpoint\n"
        "gc.collect()\n"
        "assert ref() is None and told == [ref], told\n"
        "print(len(weakref.WeakSet([fm.get_optimal_params])))\n")
    assert done.returncode == 0 and done.stdout == "1\n", done.stderr


def test_function_type_is_closed(fm):
    kind = type(fm.get_optimal_params)
    assert all(type(getattr(fm, n)) is kind for n in LINES)
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})


@pytest.mark.parametrize("name, args, kwargs, text", [
    ("get_optimal_params", (), {}, "takes exactly 1 positional argument (0 given)"),
    ("get_optimal_params", (1, 2), {}, "takes exactly 1 positional argument (2 given)"),
    ("get_optimal_params", (), {"model": "x", "model_id": "y"}, "got an unexpected keyword argument 'model'"),
    ("get_optimal_params", ("x",), {"model_id": "y", "zz": 1}, "got multiple values for keyword argument 'model_id'"),
    ("get_optimal_params", ("x",), {"zz": 1, "model_id": "y"}, "got an unexpected keyword argument 'zz'"),
    ("apply_optimal_params", (), {"config": {}}, "got an unexpected keyword argument 'config'"),
    ("resolve_free_model", (), {}, "takes at least 1 positional argument (0 given)"),
    ("resolve_free_model", (), {"all_config": {}}, "takes at least 1 positional argument (0 given)"),
    ("resolve_free_model", (1, {}, 3), {}, "takes at most 2 positional arguments (3 given)"),
    ("resolve_free_model", (1, {}, 3), {"all_config": 4}, "takes at most 2 positional arguments (3 given)"),
    ("resolve_free_model", (1,), {"model_index": 2}, "got multiple values for keyword argument 'model_index'"),
    ("build_endpoint", ("u",), {}, "takes exactly 2 positional arguments (1 given)"),
    ("build_endpoint", (), {"api_base": "u"}, "takes exactly 2 positional arguments (1 given)"),
    ("build_endpoint", (), {"headers": {}}, "takes exactly 2 positional arguments (0 given)"),
    ("build_endpoint", ("u",), {"api_base": "v"}, "got multiple values for keyword argument 'api_base'"),
    # keywords are checked first; these two errors add no traceback entry
    ("get_free_model_choices", (1,), {}, "takes no arguments (1 given)"),
    ("get_free_model_choices", (1, 2), {}, "takes no arguments (2 given)"),
    ("get_free_model_choices", (1,), {"x": 2}, "takes no keyword arguments"),
    ("get_free_model_choices", (), {"x": 2}, "takes no keyword arguments"),
])
def test_binding_errors(fm, name, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(fm, name)(*args, **kwargs)
    assert str(info.value) == f"{name}() {text}"
    if name == "get_free_model_choices":
        assert module_entries(info.value) == []
    else:
        assert module_entries(info.value) == [entry(name, LINES[name])]
        assert info.traceback[-1].frame.f_globals is fm.__dict__


def test_keywords_bind_like_positions(fm):
    assert fm.get_optimal_params(model_id="hy3-free") == fm.get_optimal_params("hy3-free")
    assert fm.build_endpoint(headers={}, api_base="u") == fm.build_endpoint("u", {})
    assert "system_prompt" not in fm.resolve_free_model(model_index=900000)
    prompt = fm.resolve_free_model(all_config={"system_prompt": "p"}, model_index=900000)
    assert prompt["system_prompt"] == "p"


def vectorcall(func, args, kwnames):
    """Calls func through the fast convention with keyword names that may not be strings."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    call.restype = ctypes.py_object
    values = (ctypes.py_object * len(args))(*args)
    return call(func, values, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("name", ["get_optimal_params", "apply_optimal_params",
                                  "resolve_free_model", "build_endpoint"])
def test_non_string_keyword_names(fm, name):
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(fm, name), (1,), (1,))
    assert str(info.value) == f"{name}() keywords must be strings"
    assert module_entries(info.value) == [entry(name, LINES[name])]
    with pytest.raises(TypeError) as info:
        getattr(fm, name)(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert module_entries(info.value) == []


@pytest.mark.parametrize("setup, call, exc, text, entries", [
    ({"_FREE_MODEL_FAMILY_PARAMS": 5}, lambda fm: fm.apply_optimal_params({"model": "x"}),
     TypeError, "'int' object is not iterable",
     [entry("apply_optimal_params", 116), entry("get_optimal_params", 96)]),
    ({"FREE_MODELS": [("X", "x", 1)], "_FREE_MODEL_FAMILY_PARAMS": [("a",)]},
     lambda fm: fm.resolve_free_model(900000), ValueError, "need more than 1 value to unpack",
     [entry("resolve_free_model", 165), entry("get_free_model_choices", 134),
      entry("get_optimal_params", 96)]),
])
def test_failures_through_nested_calls(fm, setup, call, exc, text, entries):
    vars(fm).update(setup)
    with pytest.raises(exc) as info:
        call(fm)
    assert type(info.value) is exc and str(info.value) == text
    assert module_entries(info.value) == entries


# Run in a fresh interpreter: a recursion that overflowed the C stack would end the process.
RECURSION = """
import functools, sys, threading
import routes.free_models as fm


def python_depth():
    \"\"\"How deep plain Python recursion goes: the headroom the interpreter counts in frames.\"\"\"
    n = 0

    def down():
        nonlocal n
        n += 1
        down()
    try:
        down()
    except RecursionError:
        return n


def c_depth():
    \"\"\"How deep a recursion through C goes (each level enters the interpreter from map()) with
    the frame limit out of the way: the headroom it counts in C calls.\"\"\"
    n = 0

    def down(_):
        nonlocal n
        n += 1
        list(map(down, [0]))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        down(0)
    except RecursionError:
        pass
    finally:
        sys.setrecursionlimit(limit)
    return n


def recursion(bind, call):
    saved = dict(vars(fm))
    bind()
    try:
        call()
    except RecursionError as exc:
        answer = type(exc).__name__
    else:
        answer = "returned"
    finally:
        vars(fm).update(saved)
    return answer


def main():
    config = {}
    config["model"] = config  # each lookup is asked for the configuration's model: itself
    before = python_depth(), c_depth()
    print(recursion(lambda: setattr(fm, "get_optimal_params", fm.apply_optimal_params),
                    lambda: fm.apply_optimal_params(config)),
          recursion(lambda: setattr(fm, "get_free_model_choices",
                                    functools.partial(fm.resolve_free_model, 900000)),
                    lambda: fm.resolve_free_model(900000)),
          recursion(lambda: setattr(fm, "get_optimal_params",
                                    functools.partial(fm.resolve_free_model, 900000)),
                    lambda: fm.get_free_model_choices()),
          before == (python_depth(), c_depth()))


main()
thread = threading.Thread(target=main)
thread.start()
thread.join()
"""


def test_recursion_through_the_module_alone_ends_in_recursion_error():
    """A host that binds the module's own functions so that they call each other with no Python
    frame in between (one under another's name, or a partial of one): the recursion ends in
    RecursionError, as in plain Python, on the main thread and on a thread with the default
    stack, and leaves the interpreter's headroom, in frames and in C calls, as it was."""
    done = run_python(RECURSION)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == ["RecursionError RecursionError RecursionError True"] * 2
