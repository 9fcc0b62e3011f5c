"""The module's process-wide state ends with the interpreter: the process exits cleanly whatever
the module's callers are doing when the interpreter ends, and an interpreter started again in the
same process imports the module afresh."""
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import BUILT, CATALOGUE_IDS, run_python

# A daemon thread parked in host code called from inside the module when the main thread
# returns: the interpreter ends that thread by force during finalization.
PARKED_IN_HOST_CODE = textwrap.dedent("""
    import threading, time
    import routes.free_models as fm
    class SlowLog:
        def info(self, *a): time.sleep(0.3)
    fm.log = SlowLog()
    class Cleanup:
        def __del__(self): time.sleep(0.6)
    fm.cleanup = Cleanup()
    threading.Thread(target=fm.resolve_free_model, args=(900000,), daemon=True).start()
""")

# A daemon thread calling every function in a loop, with host code in most of them.
LOOPING = textwrap.dedent("""
    import threading, time
    import routes.free_models as fm
    class Log:
        def info(self, *a): time.sleep(0)
    fm.log = Log()
    def loop():
        while True:
            fm.get_optimal_params("nemotron-x")
            fm.apply_optimal_params({"model": "hy3-free"})
            fm.get_free_model_choices()
            fm.resolve_free_model(900001, {"system_prompt": "s"})
            fm.build_endpoint(None, {"Accept": "a"})
    for _ in range(2):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.02)
""")


def test_exit_with_a_daemon_thread_inside_host_code():
    for _ in range(3):
        done = run_python(PARKED_IN_HOST_CODE)
        assert done.returncode == 0, done.stderr


def test_exit_with_daemon_threads_looping_on_every_function():
    codes = [run_python(LOOPING).returncode for _ in range(20)]
    assert codes == [0] * 20


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
        f"{n} {CATALOGUE_IDS[1]}" for n in (1, 2, 3)]
