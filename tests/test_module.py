"""Loading routes.free_models: module attributes, repeated imports and reloads, the one-interpreter
guard, the version check and failures while initialising (in fresh interpreters, `scenario`)."""
import builtins
import importlib
import json
import logging
import sys
import textwrap

import pytest

from conftest import CATALOGUE_IDS, FUNCTIONS, INIT, LINES, run_python

NAME = "routes.free_models"
AT = LINES["module"]
VERSION_WARNING = ("compile time Python version 3.13 of module 'routes.free_models' "
                   "does not match runtime version {}")


def scenario(code):
    """Runs code in a fresh interpreter and returns what it put into the dict `out`."""
    code = "import json, sys\nout = {}\n" + textwrap.dedent(code) + "\nprint(json.dumps(out))\n"
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_attributes_after_import(fm):
    assert sys.modules[NAME] is fm
    assert (fm.__name__, fm.__package__, fm.__file__) == (NAME, "routes", fm.__spec__.origin)
    assert fm.__loader__ is fm.__spec__.loader and not hasattr(fm, "__path__")
    assert fm.__builtins__ is builtins and fm.logging is logging
    assert type(fm.__test__) is dict and fm.__test__ == {}


def test_create_step_copies_name_loader_origin_and_path():
    out = scenario("""
        import _imp, importlib.util
        origin, loader = importlib.util.find_spec("routes.free_models").origin, object()
        module_spec = importlib.util.spec_from_loader("pkg.free_models", loader, origin=origin)
        module_spec.submodule_search_locations = ["somewhere"]
        m = _imp.create_dynamic(module_spec)
        out["created"] = [m.__name__, m.__loader__ is loader, m.__file__ == origin,
                          m.__package__, m.__path__]
        _imp.exec_dynamic(m)
        out["entered"] = sys.modules.get("routes.free_models") is m
    """)
    assert out == {"created": ["pkg.free_models", True, True, "pkg.free_models", ["somewhere"]],
                   "entered": True}


def test_second_import_is_the_same_module_and_runs_nothing():
    out = scenario("""
        import logging
        import routes.free_models as first
        out["log"] = first.log is logging.getLogger("tarnwick.free_models")
        first.FREE_MODEL_BASE = 7  # a second run of the module's statements would reset it
        before = {k: v for k, v in vars(first).items() if not k.startswith("__")}
        calls, real = [], logging.getLogger
        logging.getLogger = lambda *args: calls.append(args) or real(*args)
        del sys.modules["routes.free_models"]
        import routes.free_models as second
        out["same"] = second is first and sys.modules["routes.free_models"] is first
        out["kept"] = all(getattr(second, k) is v for k, v in before.items())
        out["logging calls"] = len(calls)
    """)
    assert out == {"log": True, "same": True, "kept": True, "logging calls": 0}


def test_reload_runs_nothing_again(fm):
    tables, function = fm.FREE_MODELS, fm.get_optimal_params
    fm.FREE_MODEL_BASE = 5
    assert importlib.reload(fm) is fm
    assert fm.FREE_MODEL_BASE == 5
    assert fm.FREE_MODELS is tables and fm.get_optimal_params is function


def test_second_interpreter_is_refused():
    proc = run_python("import _testcapi, routes.free_models\n"
                      "print(_testcapi.run_in_subinterp('import routes.free_models'))")
    assert proc.stdout.split() == ["-1"]  # the subinterpreter's import failed, with this error:
    assert proc.stderr.splitlines()[-1] == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


# Records the error, the module's traceback entries and which names its namespace had bound
# when the import failed; then undoes the cause and imports again.
FAILED_IMPORT = """
import traceback
{setup}
failed = None
try:
    import routes.free_models
except BaseException as exc:
    frames = [(frame, line) for frame, line in traceback.walk_tb(exc.__traceback__)
              if frame.f_code.co_filename == "routes/free_models"]
    out["error"] = [type(exc).__name__, str(exc)]
    out["entries"] = [[frame.f_code.co_name, line] for frame, line in frames]
    if frames:
        failed = frames[-1][0].f_globals
        out["bound"] = [failed["__name__"], "logging" in failed, "log" in failed]
out["left"] = "routes.free_models" in sys.modules
{undo}
import logging, routes.free_models as m
out["ready"] = [vars(m) is not failed, m.logging is logging, len(m.FREE_MODELS), m.__test__]
"""


@pytest.mark.parametrize("setup, undo, error, entries, bound", [
    ('sys.modules["logging"] = None', 'del sys.modules["logging"]',
     ["ModuleNotFoundError", "import of logging halted; None in sys.modules"], [[INIT, AT["import_logging"]]],
     [NAME, False, False]),
    ("import logging\nreal = logging.getLogger\n"
     "def broken(name):\n    raise LookupError('no loggers today')\nlogging.getLogger = broken",
     "logging.getLogger = real", ["LookupError", "no loggers today"], [[INIT, AT["log"]]],
     [NAME, True, False]),
    ("import warnings\nreal = sys.version_info\nsys.version_info = (3, 12, 0, 'final', 0)\n"
     "warnings.simplefilter('error')", "sys.version_info = real\nwarnings.resetwarnings()",
     ["RuntimeWarning", VERSION_WARNING.format("3.12")], [], None),
])
def test_failed_import_leaves_nothing_and_can_be_retried(setup, undo, error, entries, bound):
    out = scenario(FAILED_IMPORT.format(setup=setup, undo=undo))
    assert out.pop("bound", None) == bound
    assert out == {"error": error, "entries": entries, "left": False,
                   "ready": [True, True, len(CATALOGUE_IDS), {}]}


# Each name the module's statements bind, and the line of the statement that binds it.
BOUND = [("log", AT["log"]), ("FREE_MODEL_BASE", AT["model_base"]),
         ("FREE_PROVIDER_TYPE", AT["provider_type"]), ("FREE_API_BASE", AT["api_base"]),
         ("FREE_KEYLESS_PLACEHOLDER", AT["keyless_placeholder"]),
         ("FREE_ATTRIBUTION_HEADERS", AT["attribution_bind"]), ("FREE_MODELS", AT["models"]),
         ("FREE_MODEL_OPTIMAL_PARAMS", AT["optimal_bind"]),
         ("_FREE_MODEL_FAMILY_PARAMS", AT["family_bind"]),
         ("_FREE_PARAMS_FALLBACK", AT["params_fallback"]),
         ("_FREE_MAX_TOKENS_FALLBACK", AT["max_tokens_fallback"]),
         *[(name, LINES[name]["def"]) for name in FUNCTIONS], ("__test__", AT["registration"])]


def test_each_binding_statement_fails_at_its_line():
    """A logging stand-in plants a key in the namespace, hashed like one of the names still to
    be bound, that refuses every comparison: the statement binding that name fails, the import
    reports it at that statement's line, and a later import succeeds."""
    out = scenario(f"""
        import traceback, types

        class Refuses:
            def __init__(self, name):
                self.name = name

            def __hash__(self):
                return hash(self.name)

            def __eq__(self, other):
                raise LookupError(self.name)

        out["failed"] = []
        for name in {[name for name, _ in BOUND]!r}:
            def getLogger(logger_name, name=name):
                vars(sys.modules["routes.free_models"])[Refuses(name)] = None
                return types.SimpleNamespace(info=None)
            sys.modules["logging"] = types.SimpleNamespace(getLogger=getLogger)
            try:
                import routes.free_models
            except LookupError as exc:
                out["failed"].append([str(exc)] + [
                    [frame.f_code.co_name, line] for frame, line in traceback.walk_tb(
                        exc.__traceback__) if frame.f_code.co_filename == "routes/free_models"])
            out["left"] = out.get("left", False) or "routes.free_models" in sys.modules
            del sys.modules["logging"]
        import routes.free_models as m
        out["ready"] = len(m.FREE_MODELS)
    """)
    assert out == {"failed": [[name, [INIT, line]] for name, line in BOUND], "left": False,
                   "ready": len(CATALOGUE_IDS)}


@pytest.mark.parametrize("version, runtime", [((2, 13, 0, "final", 0), "2.13"),
                                              ((3, 13, 99, "beta", 1), None)])
def test_version_check_warns_and_imports(version, runtime):
    out = scenario(f"""
        import warnings
        sys.version_info = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import routes.free_models as m
        out["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
        out["ready"] = [len(m.FREE_MODELS), m.__test__]
    """)
    expected = [["RuntimeWarning", VERSION_WARNING.format(runtime)]] if runtime else []
    assert out == {"warnings": expected, "ready": [len(CATALOGUE_IDS), {}]}


def run_fresh_import(setup):
    return run_python(textwrap.dedent(setup) + "\nimport routes.free_models\nprint('imported')\n")


def test_error_reading_version_info_reaches_the_importer():
    done = run_python(textwrap.dedent("""
        import sys
        class Collides:
            def __hash__(self): return hash("version_info")
            def __eq__(self, other): raise MemoryError("while reading version_info")
        saved = sys.version_info
        del sys.version_info
        sys.__dict__[Collides()] = None
        try:
            import routes.free_models
        except MemoryError as e:
            print("MemoryError", e)
    """))
    assert "MemoryError while reading version_info" in done.stdout, done.stderr


def test_version_info_replaced_while_it_is_read():
    done = run_fresh_import("""
        import sys
        class Vanishing(tuple):
            def __getitem__(self, i):
                del sys.version_info
                sys.version_info = tuple(range(1000))  # fresh objects in the freed memory
                return tuple.__getitem__(self, i)
        sys.version_info = Vanishing((3, 13, 0, "final", 0))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("imported")
