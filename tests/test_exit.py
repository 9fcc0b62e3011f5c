"""The process must exit cleanly whatever the module's callers are doing when the interpreter
ends."""
import textwrap

from conftest import run_python

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
