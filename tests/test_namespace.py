"""Module-level names are read at every use, whichever way the host changes the namespace, with or
without a dict watcher to spare; and the module's process-wide state ends with the interpreter."""
import builtins
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import BUILT, CATALOGUE_IDS, PEER, entry, module_entries, run_python

FIRST, SECOND = CATALOGUE_IDS[:2]


def base_after(fm, change):
    """Applies `change` to the namespace, then finds FREE_MODEL_BASE through resolve_free_model:
    the lowest of a few candidate indices that resolves."""
    change(vars(fm))
    for base in (7, 900000, 1000, 42):
        if fm.resolve_free_model(base) is not None:
            return base
    return None


@pytest.mark.parametrize("change", [
    lambda ns: ns.__setitem__("FREE_MODEL_BASE", 7),
    lambda ns: ns.update(FREE_MODEL_BASE=7),
    lambda ns: ns.update([("FREE_MODEL_BASE", 7)]),
    lambda ns: exec("FREE_MODEL_BASE = 7", ns),
    lambda ns: ns.__setitem__("".join(["FREE_MODEL", "_BASE"]), 7),  # not the interned name
    lambda ns: (ns.pop("FREE_MODEL_BASE"), ns.setdefault("FREE_MODEL_BASE", 7)),
    lambda ns: (ns.popitem() and None) or ns.__setitem__("FREE_MODEL_BASE", 7),
], ids=["item", "update", "update-pairs", "exec", "equal-text", "pop-setdefault", "popitem"])
def test_every_way_of_rebinding_is_seen(fm, change):
    assert base_after(fm, lambda ns: None) == 900000
    assert base_after(fm, change) == 7
    assert base_after(fm, lambda ns: ns.__setitem__("FREE_MODEL_BASE", 1000)) == 1000


def test_unbound_names_come_from_the_builtins_then_raise(fm):
    del fm.FREE_MODEL_BASE
    builtins.FREE_MODEL_BASE = 42
    try:
        assert fm.resolve_free_model(42)["model"] == FIRST
        builtins.FREE_MODEL_BASE = 1000
        assert fm.resolve_free_model(1001)["model"] == SECOND
    finally:
        del builtins.FREE_MODEL_BASE
    with pytest.raises(NameError, match="name 'FREE_MODEL_BASE' is not defined") as info:
        fm.resolve_free_model(1001)
    assert module_entries(info.value) == [entry("resolve_free_model", "lower_bound")]
    fm.FREE_MODEL_BASE = 1000
    assert fm.resolve_free_model(1000)["model"] == FIRST


# Ways of changing the namespace that cannot be followed key by key: the module must then read
# every name by lookup, and still answer from what the namespace holds.
UNFOLLOWABLE = {
    "str-subclass-key": """
        class Key(str):
            pass
        vars(fm)[Key("FREE_MODEL_BASE")] = 7
    """,
    "equal-non-str-key": """
        class Key:
            def __hash__(self): return hash("FREE_MODEL_BASE")
            def __eq__(self, other): return other == "FREE_MODEL_BASE"
        vars(fm)[Key()] = 7
    """,
    "clear": """
        saved = dict(vars(fm))
        vars(fm).clear()
        vars(fm).update(saved, FREE_MODEL_BASE=7)
    """,
}


@pytest.mark.parametrize("change", UNFOLLOWABLE.values(), ids=UNFOLLOWABLE.keys())
def test_changes_that_cannot_be_followed_key_by_key(change):
    code = "import routes.free_models as fm\nfm.get_free_model_choices()\n" + \
        textwrap.dedent(change) + textwrap.dedent("""
        print(fm.resolve_free_model(7)["model"], fm.resolve_free_model(900000))
        fm.FREE_MODELS = fm.FREE_MODELS[1:]
        print(fm.resolve_free_model(7)["model"])
        del fm.get_optimal_params
        try:
            fm.get_free_model_choices()
        except NameError as e:
            print(e)
    """)
    done = run_python(code)
    assert done.stdout.split("\n")[:3] == [
        f"{FIRST} None", SECOND, "name 'get_optimal_params' is not defined"], \
        done.stderr


PLANTED_DURING_THE_IMPORT = """
import importlib.util, sys, types


class Planted(str):
    \"\"\"Hashed like `name`; every comparison runs `effect`; equal to `name` once it answers.\"\"\"
    def __new__(cls, text, name, effect=lambda: None):
        key = str.__new__(cls, text)
        key.name, key.effect, key.answers = name, effect, False
        return key

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if other is self:
            return True
        self.effect()
        return self.answers and other == self.name


def rebind_tables():  # new objects at every comparison: the ones bound before are freed
    vars(sys.modules.get("routes.free_models") or peer).update(
        FREE_MODELS=[("Planted", "hy3-free", int("44")), ("Other", "gpt-x", int("55"))],
        FREE_MODEL_OPTIMAL_PARAMS={"hy3-free": {"temperature": 0.11, "top_p": 0.22,
                                                "max_tokens": 33}},
        _FREE_MODEL_FAMILY_PARAMS=[("gpt", {"top_p": 0.66})],
        _FREE_PARAMS_FALLBACK={"temperature": 0.77, "top_p": 0.88},
        FREE_ATTRIBUTION_HEADERS={"X-Title": "".join(["plan", "ted"])},
        FREE_API_BASE="".join(["https://planted.test/", "v1"]))


later = Planted("base", "FREE_MODEL_BASE")


def getLogger(name):  # the module is in sys.modules while its statements run
    ns = vars(sys.modules["routes.free_models"])
    ns[Planted("log", "log", rebind_tables)] = None  # compared whenever `log` is stored or read
    ns[later] = 7  # before FREE_MODEL_BASE's own entry: it answers for it once it answers
    return types.SimpleNamespace(info=lambda *args: None)


sys.modules["logging"] = types.SimpleNamespace(getLogger=getLogger)
import routes.free_models as fm
del sys.modules["logging"]
# The peer after the module: it takes the module's tables, and the real logging.
spec = importlib.util.spec_from_file_location("peer", PEER)
peer = importlib.util.module_from_spec(spec)
spec.loader.exec_module(peer)
peer.log = types.SimpleNamespace(info=lambda *args: None)
junk = [{"temperature": i, "top_p": i} for i in range(1000)]
later.answers = True
NAMES = ["FREE_MODEL_BASE", "FREE_PROVIDER_TYPE", "FREE_API_BASE", "FREE_KEYLESS_PLACEHOLDER",
         "FREE_ATTRIBUTION_HEADERS", "FREE_MODELS", "FREE_MODEL_OPTIMAL_PARAMS",
         "_FREE_MODEL_FAMILY_PARAMS", "_FREE_PARAMS_FALLBACK", "_FREE_MAX_TOKENS_FALLBACK"]


def answer(function, args):
    try:
        return function(*args)
    except Exception as exc:
        return type(exc), str(exc)


for name, args in [("build_endpoint", (None, None)), ("get_free_model_choices", ()),
                   ("get_optimal_params", ("hy3-free",)), ("get_optimal_params", ("gpt-x",)),
                   ("resolve_free_model", (7,)), ("resolve_free_model", (900000,)),
                   ("apply_optimal_params", ({"model": "gpt-x"},))]:
    vars(peer).update({n: vars(fm)[n] for n in NAMES})  # as the namespace holds them now
    expected = answer(getattr(peer, name), args)
    got = answer(getattr(fm, name), args)
    print(name, "same" if got == expected else f"{got!r} against {expected!r}")
"""


def test_keys_planted_during_the_import():
    """A host's logging stand-in plants keys in the namespace while the module's statements run:
    one whose comparison rebinds the tables (the objects read before are freed) and one that
    answers for FREE_MODEL_BASE afterwards. Every call answers as the same function in plain
    Python does on what the namespace holds at that moment."""
    done = run_python(f"PEER = {str(PEER)!r}\n" + PLANTED_DURING_THE_IMPORT)
    assert done.returncode == 0 and done.stdout.split() == [
        word for name in ["build_endpoint", "get_free_model_choices", "get_optimal_params",
                          "get_optimal_params", "resolve_free_model", "resolve_free_model",
                          "apply_optimal_params"] for word in (name, "same")], \
        done.stdout + done.stderr


def test_every_dict_watcher_slot_taken_before_the_import():
    done = run_python(textwrap.dedent("""
        import ctypes
        Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                    ctypes.c_void_p, ctypes.c_void_p)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes, add.restype = [Callback], ctypes.c_int
        callback, taken = Callback(lambda *args: 0), 0
        while True:
            try:
                add(callback)
            except RuntimeError:
                break
            taken += 1
        print("taken", taken)
        import routes.free_models as fm
        print(fm.resolve_free_model(900000)["model"])
        fm.FREE_MODEL_BASE = 10
        fm.FREE_MODEL_OPTIMAL_PARAMS = {fm.FREE_MODELS[0][1]: {"temperature": 0.1, "top_p": 0.2}}
        print(fm.resolve_free_model(10)["temperature"], fm.resolve_free_model(900000))
        del fm.FREE_PROVIDER_TYPE
        try:
            fm.get_free_model_choices()
        except NameError as e:
            print(e)
    """))
    lines = done.stdout.splitlines()
    assert lines[0].startswith("taken ") and int(lines[0].split()[1]) > 0, done.stderr
    assert lines[1:] == [FIRST, "0.1 None", "name 'FREE_PROVIDER_TYPE' is not defined"]


EMBEDDER = r"""
#include <Python.h>
#include <stdio.h>

static void nothing(void) {}

/* One interpreter's life: import the module, resolve an index, finalize. With TAKE_SLOTS, the
   first life takes every Py_AtExit slot before the import. */
static int one_life(int n)
{
    Py_Initialize();
#ifdef TAKE_SLOTS
    if (n == 1) {
        int taken = 0;
        while (Py_AtExit(nothing) == 0)
            taken++;
        printf("taken %d\n", taken > 0);
    }
#endif
    PyObject *m = PyImport_ImportModule("routes.free_models");
    PyObject *cfg = m ? PyObject_CallMethod(m, "resolve_free_model", "i", 900001) : NULL;
    PyObject *model = cfg ? PyObject_GetItem(cfg, PyUnicode_FromString("model")) : NULL;
    if (!model) {
        PyErr_Print();
        return 1;
    }
    printf("%d %s\n", n, PyUnicode_AsUTF8(model));
    Py_DECREF(model);
    Py_DECREF(cfg);
    Py_DECREF(m);
    return Py_FinalizeEx() < 0;
}

int main(void)
{
    for (int n = 1; n <= 3; n++) {
        if (one_life(n))
            return 1;
    }
    return 0;
}
"""


@pytest.mark.parametrize("take_slots", [False, True], ids=["", "every-atexit-slot-taken"])
def test_a_new_interpreter_in_the_same_process_imports_afresh(tmp_path, take_slots):
    source = tmp_path / "embedder.c"
    source.write_text(EMBEDDER)
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    if not (pathlib.Path(libdir) / f"libpython{version}.so").exists():
        pytest.skip("no shared libpython to embed")
    program = tmp_path / "embedder"
    subprocess.run(["cc", str(source), "-o", str(program),
                    "-I" + sysconfig.get_paths()["include"], "-L" + libdir,
                    "-Wl,-rpath," + libdir, f"-lpython{version}"]
                   + ["-DTAKE_SLOTS"] * take_slots, check=True)
    env = dict(os.environ, PYTHONPATH=str(BUILT), PYTHONHOME=sys.base_prefix)
    done = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["taken 1"] * take_slots + [
        f"{n} {SECOND}" for n in (1, 2, 3)]
