"""The process must exit cleanly whatever the module's callers are doing when the interpreter
ends, and a few corners of the call and import paths where host code runs in between."""
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


class HeaderName:
    """A host's own header-name class: hashes and compares like the str it wraps."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return self.text == other


def test_authorization_removed_in_every_form_a_pop_would_remove(fm):
    name = HeaderName("Authorization")
    _, headers = fm.build_endpoint(None, {name: "Bearer x", "Accept": "a"})
    assert list(headers) == ["Accept", "HTTP-Referer", "X-Title"]
    _, headers = fm.build_endpoint(None, {b"AUTHORIZATION": "x", "authorization": "y",
                                          HeaderName("Accept"): "a"})
    assert [getattr(k, "text", k) for k in headers] == ["Accept", "HTTP-Referer", "X-Title"]


def test_log_info_is_taken_before_model_is_read_again(fm):
    class Recorder:
        def __init__(self):
            self.lines = []

        def info(self, *args):
            self.lines.append(args)

    installed = []

    class RebindsLog:
        """Collides with "model" in the dict, so every read of "model" compares with it."""

        def __hash__(self):
            return hash("model")

        def __eq__(self, other):
            installed.append(Recorder())
            fm.log = installed[-1]
            return False

    cfg = {RebindsLog(): 1}
    assert fm.apply_optimal_params(cfg) is cfg
    logged = [recorder for recorder in installed if recorder.lines]
    assert len(logged) == 1 and logged[0].lines == [(
        "[FREE MODELS] auto-filled optimal params for %s: %s", None,
        {"temperature": 0.7, "top_p": 0.95, "max_tokens": 16384})]
    # `log.info` was taken before "model" was read again, and that read rebound `log` anew.
    assert logged[0] is not fm.log


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
