"""Loading routes.free_models: module attributes, repeated imports and reloads, the one-interpreter
guard, the version check and failures while initialising (in fresh interpreters, `scenario`)."""
import builtins
import importlib
import json
import logging
import sys
import textwrap

import pytest

from conftest import run_python

NAME = "routes.free_models"
INIT = "init routes.free_models"
VERSION_WARNING = ("compile time Python version 3.13 of module 'routes.free_models' "
                   "does not match runtime version {}")

# Every scenario may use `entries(exc)`, the [name, line] traceback entries that point into
# the module (outermost first), and `last_globals(exc)`, the globals of the innermost entry;
# it reports by filling `out`, which comes back as JSON.
PRELUDE = """\
import json, sys
def frames(exc):
    tb = exc.__traceback__
    while tb is not None:
        yield tb.tb_frame, tb.tb_lineno
        tb = tb.tb_next
def entries(exc):
    return [[f.f_code.co_name, line] for f, line in frames(exc)
            if f.f_code.co_filename == "routes/free_models"]
def last_globals(exc):
    return list(frames(exc))[-1][0].f_globals
out = {}
"""


def scenario(code):
    """Runs code after PRELUDE in a fresh interpreter and returns what it put into `out`."""
    proc = run_python(PRELUDE + textwrap.dedent(code) + "\nprint(json.dumps(out))\n")
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
        calls = []
        real_get_logger = logging.getLogger
        def recording(*args, **kwargs):
            calls.append([list(args), kwargs])
            return real_get_logger(*args, **kwargs)
        logging.getLogger = recording
        import routes.free_models as first
        out["log"] = first.log is real_get_logger("tarnwick.free_models")
        first.FREE_MODEL_BASE = 7
        before = {k: v for k, v in vars(first).items() if not k.startswith("__")}
        del sys.modules["routes.free_models"]
        import routes.free_models as second
        out["same"] = second is first and sys.modules["routes.free_models"] is first
        out["kept"] = all(getattr(second, k) is v for k, v in before.items())
        out["base"], out["calls"] = second.FREE_MODEL_BASE, calls
    """)
    assert out == {"log": True, "same": True, "kept": True, "base": 7,
                   "calls": [[["tarnwick.free_models"], {}]]}


def test_reload_runs_nothing_again(fm):
    tables, function = fm.FREE_MODELS, fm.get_optimal_params
    fm.FREE_MODEL_BASE = 5
    assert importlib.reload(fm) is fm
    assert fm.FREE_MODEL_BASE == 5
    assert fm.FREE_MODELS is tables and fm.get_optimal_params is function


def test_second_interpreter_is_refused(tmp_path):
    result = tmp_path / "subinterpreter.txt"
    out = scenario(f"""
        import _testcapi
        import routes.free_models
        code = '''
        try:
            import routes.free_models
            text = "imported"
        except BaseException as exc:
            text = type(exc).__name__ + ": " + str(exc)
        with open({str(result)!r}, "w") as f:
            f.write(text)
        '''
        out["rc"] = _testcapi.run_in_subinterp(code)
    """)
    assert out["rc"] == 0
    assert result.read_text() == ("ImportError: Interpreter change detected - this module can "
                                  "only be loaded into one interpreter per process.")


def test_failed_logging_import_leaves_nothing_and_can_be_retried():
    out = scenario("""
        sys.modules["logging"] = None
        try:
            import logging
        except ImportError as exc:
            out["expected"] = [type(exc).__name__, str(exc)]
        try:
            import routes.free_models
        except ImportError as exc:
            out["got"] = [type(exc).__name__, str(exc)]
            out["entries"] = entries(exc)
            failed = last_globals(exc)
        out["failed"] = [failed["__name__"], "logging" in failed]
        out["left"] = "routes.free_models" in sys.modules
        del sys.modules["logging"]
        import logging
        import routes.free_models as m
        out["new"] = vars(m) is not failed
        out["ready"] = [m.logging is logging, m.log.name, len(m.FREE_MODELS), m.__test__]
    """)
    assert out.pop("got") == out.pop("expected")
    assert out == {"entries": [[INIT, 29]], "failed": [NAME, False], "left": False, "new": True,
                   "ready": [True, "tarnwick.free_models", 4, {}]}


def test_failing_get_logger_reports_line_31():
    out = scenario("""
        import logging
        boom = LookupError("no loggers today")
        def broken(name):
            raise boom
        logging.getLogger = broken
        try:
            import routes.free_models
        except LookupError as exc:
            out["same"] = exc is boom
            out["entries"] = entries(exc)
            failed = last_globals(exc)
            out["bound"] = ["logging" in failed, "log" in failed]
        out["left"] = "routes.free_models" in sys.modules
    """)
    assert out == {"same": True, "entries": [[INIT, 31]], "bound": [True, False],
                   "left": False}


@pytest.mark.parametrize("version, runtime", [
    ((3, 12, 0, "final", 0), "3.12"),
    ((2, 13, 0, "final", 0), "2.13"),
    ((3, 13, 99, "beta", 1), None),
])
def test_version_check_warns_and_imports(version, runtime):
    out = scenario(f"""
        import logging, warnings
        sys.version_info = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import routes.free_models as m
        out["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
        out["ready"] = [len(m.FREE_MODELS), m.__test__]
    """)
    expected = [["RuntimeWarning", VERSION_WARNING.format(runtime)]] if runtime else []
    assert out == {"warnings": expected, "ready": [4, {}]}


def test_version_warning_as_error_fails_the_import_cleanly():
    out = scenario("""
        import logging, warnings
        real_version = sys.version_info
        sys.version_info = (3, 12, 0, "final", 0)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                import routes.free_models
            except BaseException as exc:
                out["got"] = [type(exc).__name__, str(exc)]
                out["entries"] = entries(exc)
        out["left"] = "routes.free_models" in sys.modules
        sys.version_info = real_version
        import routes.free_models as m
        out["retry"] = [len(m.FREE_MODELS), m.__test__]
    """)
    assert out == {"got": ["RuntimeWarning", VERSION_WARNING.format("3.12")], "entries": [],
                   "left": False, "retry": [4, {}]}
