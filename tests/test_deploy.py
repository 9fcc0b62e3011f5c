"""How a host gets the module: a wheel that pip builds and installs into a fresh environment
beside the host's own `routes` package, `make install` over a running host, the build's refusal of
a wrong interpreter, the README's host snippet beside examples/host.py, and the relay stand-in
started on its own."""
import json
import os
import pathlib
import re
import select
import signal
import socket
import subprocess
import sys
import sysconfig
import tomllib
import urllib.error
import urllib.request
import zipfile

import pytest

from conftest import optimal

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
MODULE_FILE = "free_models" + sysconfig.get_config_var("EXT_SUFFIX")
MADE = ROOT / "build" / "lib" / "routes" / MODULE_FILE  # what `make install` installs
sys.path.insert(0, str(ROOT / "examples"))

import host as example_host  # noqa: E402
from relay import BASE_PATH  # noqa: E402
from routes import free_models as fm  # noqa: E402


def clean_env(**extra):
    """The environment of a program started by hand: not the test run's module path, nor the
    outer make's flags (a make started by the tests reads its own arguments, and the outer
    make's variables, WERROR and PYTHON among them, from the environment, where make exported
    them), nor the sanitizer runtimes of `make check-asan` (these programs load no instrumented
    build)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MAKEFLAGS", "MFLAGS", "MAKELEVEL", "HOST", "LD_PRELOAD")}
    env.update(extra)
    return env


def run(args, cwd=ROOT, env=None, timeout=600):
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env or clean_env(),
                          capture_output=True, text=True, timeout=timeout)


# make check-asan and check-valgrind run the suite again to watch the module's memory. The
# wheel and `make install` build and install release copies in other processes, which those
# checks do not watch: they run in `make test` alone.
RELEASE_COPIES = pytest.mark.skipif(os.environ.get("FREE_MODELS_MEMORY_CHECK") == "1",
                                    reason="release copies in other processes: make test runs it")


def read_line(stream, timeout=30):
    """The next line of a child's output, or "" when none comes within timeout seconds."""
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else ""


# ---------------------------------------------------------------------------------------------
# The wheel

EXTEND_PATH = next(line.strip() for line in README.splitlines() if "extend_path(" in line)
HOST_APP = '''\
"""A host's own module: the road of a chat request through the installed module."""
import json
from importlib.metadata import version

import routes
from routes import chat
from routes.free_models import (FREE_MODEL_BASE, apply_optimal_params, build_endpoint,
                                resolve_free_model)


def road(index: int) -> dict[str, object]:
    llm_config = apply_optimal_params(resolve_free_model(index, {"system_prompt": "Be brief."}))
    if llm_config is None:
        raise LookupError(index)
    url, headers = build_endpoint(llm_config["api_base"], chat.HEADERS)
    return {"url": url, "headers": headers, "model": llm_config["model"],
            "sampling": [llm_config["temperature"], llm_config["_free_top_p"],
                         llm_config["max_tokens"]]}


if __name__ == "__main__":
    print(json.dumps({"version": version(%r), "routes": routes.__file__,
                      "module": routes.free_models.__file__, "road": road(FREE_MODEL_BASE + 2)}))
''' % PROJECT["name"]
HOST_CHAT = 'HEADERS = {"Authorization": "Bearer host-key", "Accept": "application/json"}\n'
# What the stub must refuse: apply_optimal_params writes into its argument.
HOST_MISTAKE = '''\
from types import MappingProxyType

from routes.free_models import apply_optimal_params

apply_optimal_params(MappingProxyType({"model": "hy3-free"}))
'''


def host_tree(folder, init):
    (folder / "routes").mkdir(parents=True)
    (folder / "routes" / "__init__.py").write_text(init)
    (folder / "routes" / "chat.py").write_text(HOST_CHAT)
    (folder / "app.py").write_text(HOST_APP)
    (folder / "mistake.py").write_text(HOST_MISTAKE)
    return folder


@RELEASE_COPIES
def test_wheel_installs_beside_the_hosts_own_routes_package(tmp_path):
    venv = tmp_path / "venv"
    made = run([sys.executable, "-m", "venv", venv])
    assert made.returncode == 0, made.stderr
    pip = [venv / "bin" / "python", "-m", "pip", "--disable-pip-version-check"]
    probe = run([*pip, "download", "--no-deps", "--retries", "0", "--timeout", "30",
                 "-d", tmp_path / "probe", "scikit-build-core"], timeout=120)
    if probe.returncode:
        reason = (probe.stderr.strip().splitlines() or ["no answer"])[-1]
        pytest.skip(f"the package registry cannot be reached, so pip cannot build: {reason}")

    made = run([*pip, "wheel", "--no-deps", "-w", tmp_path / "dist", ROOT])
    assert made.returncode == 0, made.stdout + made.stderr
    wheel, = (tmp_path / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert sorted(n for n in names if ".dist-info/" not in n) == [
        f"routes/{MODULE_FILE}", "routes/free_models.pyi", "routes/py.typed"]
    made = run([*pip, "install", "-q", wheel, "mypy", "-c", ROOT / "tests" / "requirements.txt"])
    assert made.returncode == 0, made.stdout + made.stderr

    python = venv / "bin" / "python"
    host = host_tree(tmp_path / "host", f'"""The host\'s own route package."""\n{EXTEND_PATH}\n')
    done = run([python, "app.py"], cwd=host)
    assert done.returncode == 0, done.stderr
    found = json.loads(done.stdout)
    assert found["version"] == PROJECT["version"]
    assert found["routes"] == str(host / "routes" / "__init__.py")
    module = pathlib.Path(found["module"])
    assert module.is_relative_to(venv) and module.parent.parent.name == "site-packages"
    road = found["road"]
    assert road["url"] == fm.FREE_API_BASE + "/chat/completions"
    assert road["headers"] == {"Accept": "application/json", **fm.FREE_ATTRIBUTION_HEADERS}
    temperature, top_p, max_tokens = optimal(fm, road["model"])
    assert road["sampling"] == [temperature, top_p, max_tokens]

    # mypy reads the installed stub (py.typed): the host passes, and the mistake is caught
    checked = run([python, "-m", "mypy", "--strict", "--no-error-summary", "app.py",
                   "routes", "mistake.py"], cwd=host)
    assert re.findall(r"^(\S+?):\d+: error: (.*?)  \[", checked.stdout, re.M) == [
        ("mistake.py", 'No overload variant of "apply_optimal_params" matches argument type '
                       '"MappingProxyType[str, str]"')], checked.stdout

    # Without the line, the host's package hides the installed module; with no package of its
    # own, a program imports the installed one.
    bare = host_tree(tmp_path / "bare", "")
    done = run([python, "-c", "import routes.free_models"], cwd=bare)
    assert "ModuleNotFoundError: No module named 'routes.free_models'" in done.stderr
    done = run([python, "-c", "import routes.free_models as m; print(m.FREE_MODEL_BASE)"],
               cwd=tmp_path)
    assert done.stdout == f"{fm.FREE_MODEL_BASE}\n", done.stderr


# ---------------------------------------------------------------------------------------------
# make install

# A host process that calls the module without pause and, when asked on stdin, tells how many
# rounds of calls it has made; it ends at the end of its input.
CALLER = '''\
import select, sys
import routes.free_models as fm
print(fm.__file__, flush=True)
rounds = 0
while True:
    for i in range(300):
        cfg = fm.apply_optimal_params(fm.resolve_free_model(fm.FREE_MODEL_BASE + i % 4))
        url, headers = fm.build_endpoint(cfg["api_base"], {"Authorization": "Bearer k"})
        assert "Authorization" not in headers and cfg["_free_top_p"] > 0, (cfg, headers)
    rounds += 1
    if select.select([sys.stdin], [], [], 0)[0]:
        if not sys.stdin.readline():
            break
        print(rounds, flush=True)
'''


def installed(routes):
    """{name: (inode, content)} of the files in a host's routes folder."""
    return {p.name: (p.stat().st_ino, p.read_bytes()) for p in routes.iterdir()}


@RELEASE_COPIES
def test_make_install_replaces_the_files_under_a_running_host(tmp_path):
    host = tmp_path / "srv tarnwick"  # a path with a space
    routes = host / "routes"
    routes.mkdir(parents=True)
    (routes / "__init__.py").write_text("")
    made = run(["make", "-C", ROOT, "install", f"HOST={host}"])
    assert made.returncode == 0, made.stdout + made.stderr
    expected = {"__init__.py": b"", MODULE_FILE: MADE.read_bytes(),
                "free_models.pyi": (ROOT / "routes" / "free_models.pyi").read_bytes()}
    assert {name: data for name, (_, data) in installed(routes).items()} == expected

    caller = subprocess.Popen([sys.executable, "-c", CALLER], cwd=host, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=clean_env())

    def ask():
        try:
            caller.stdin.write("rounds?\n")
            caller.stdin.flush()
        except BrokenPipeError:  # it has died
            return 0
        return int(read_line(caller.stdout) or 0)

    try:
        assert read_line(caller.stdout) == f"{routes / MODULE_FILE}\n"
        rounds = ask()
        # The same files again, twice, while the caller runs: a relative HOST under -C, taken
        # from the caller's PWD; and one relative to where make runs, whatever PWD says.
        for args, cwd, pwd in [
                (["make", "-C", os.path.relpath(ROOT, tmp_path), "install",
                  "HOST=srv tarnwick"], tmp_path, tmp_path),
                (["make", "install", f"HOST={os.path.relpath(host, ROOT)}"], ROOT, "/")]:
            before = installed(routes)
            made = run(args, cwd=cwd, env=clean_env(PWD=str(pwd)))
            assert made.returncode == 0, made.stdout + made.stderr
            after = installed(routes)
            assert {name: data for name, (_, data) in after.items()} == expected
            for name in (MODULE_FILE, "free_models.pyi"):  # new files, renamed into place
                assert after[name][0] != before[name][0]
            last, rounds = rounds, ask()
            assert rounds > last, f"the host process ended: {caller.poll()}"
        _, err = caller.communicate(timeout=60)  # the end of its input
    finally:
        caller.kill()
    assert caller.returncode == 0, err


@RELEASE_COPIES
@pytest.mark.parametrize("host, pwd, message", [
    (None, ".", "usage: make install HOST=/path/to/host-app"),
    ("no such host", ".", "no such host is not a directory"),
    # make -C from here, with a PWD that names another folder: where make was called is unknown
    ("srv", "elsewhere/deeper", "give HOST as an absolute path"),
])
def test_make_install_refuses_what_it_cannot_place(tmp_path, host, pwd, message):
    args = ["make", "-C", os.path.relpath(ROOT, tmp_path), "install"]
    made = run(args + ([f"HOST={host}"] if host else []), cwd=tmp_path,
               env=clean_env(PWD=os.path.normpath(tmp_path / pwd)))
    assert made.returncode != 0 and message in made.stderr, made.stderr
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------------------------
# The interpreter the build takes

def other_python():
    """A CPython 3.12 interpreter on this machine, or None."""
    pyenv = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    for cand in ["python3.12", "/usr/bin/python3.12", *sorted(
            map(str, pyenv.glob("versions/3.12*/bin/python3.12")))]:
        try:
            done = run([cand, "-c", "import sys; print(sys.version_info[:2] == (3, 12))"],
                       timeout=30)
        except OSError:
            continue
        if done.stdout == "True\n":
            return cand
    return None


def test_a_wrong_interpreter_stops_the_build_and_clean_needs_none(tmp_path):
    python = other_python()
    if python is None:
        pytest.skip("no CPython 3.12 interpreter on this machine")
    version = run([python, "-c", "import platform; print(platform.python_version())"]).stdout
    made = run(["make", "build", f"BUILD={tmp_path / 'build'}"], env=clean_env(PYTHON=python))
    assert made.returncode != 0
    assert (f"PYTHON={python} is CPython {version.strip()}; the build needs CPython 3.13"
            in made.stderr), made.stderr
    assert not (tmp_path / "build").exists()
    made = run(["make", "-n", "clean"], env=clean_env(PYTHON=python))
    assert made.returncode == 0 and made.stdout == "rm -rf build .venv\n", made.stderr


# ---------------------------------------------------------------------------------------------
# The README's host snippet

def readme_snippet():
    """The Python block of the README's section on deploying into a host, as a module."""
    section = README.split("\n## Deploying into a host\n", 1)[1].split("\n## ", 1)[0]
    code, = re.findall(r"```python\n(.*?)```", section, re.S)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    return namespace


def test_readme_snippet_answers_as_the_example_host():
    snippet, host = readme_snippet(), example_host.ChatHost()
    try:
        all_config = host.all_config
        own = len(all_config["models"])
        assert snippet["llm_config_list"](all_config) == host.llm_config_list()["models"]
        indexes = [*range(own), *(fm.FREE_MODEL_BASE + i for i in range(len(fm.FREE_MODELS)))]
        for index in indexes:
            config = snippet["llm_config_for"](index, all_config)
            assert config == host.llm_config_for(index)
            assert (snippet["_get_llm_endpoint"](config, example_host.DEFAULT_HEADERS)
                    == host._get_llm_endpoint(config))
            payload = snippet["chat_payload"](config, [], False)
            if index < own:  # the user's own model, untouched
                model = all_config["models"][index]
                assert (payload["temperature"], payload["max_tokens"]) == (
                    model["temperature"], model["max_tokens"])
                assert "top_p" not in payload and "_free_top_p" not in config
            else:
                assert payload["top_p"] == optimal(fm, config["model"])[1]
        for index in (own, -1, fm.FREE_MODEL_BASE + len(fm.FREE_MODELS)):
            with pytest.raises(LookupError):
                snippet["llm_config_for"](index, all_config)
            with pytest.raises(example_host.HostError):
                host.llm_config_for(index)
    finally:
        host.stop()


# ---------------------------------------------------------------------------------------------
# The relay stand-in on its own

def test_relay_stand_in_runs_on_its_own_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    relay = subprocess.Popen([sys.executable, ROOT / "examples" / "relay.py", "--port", str(port)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = f"http://127.0.0.1:{port}{BASE_PATH}/chat/completions"
        assert url in read_line(relay.stdout)
        body = b'{"model": "hy3-free", "messages": [{"role": "user", "content": "hi"}]}'
        with urllib.request.urlopen(urllib.request.Request(url, body), timeout=30) as answer:
            assert b"hy3-free received" in answer.read()
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(urllib.request.Request(
                url, body, {"Authorization": "Bearer x"}), timeout=30)
        assert refused.value.code == 401
    finally:
        relay.send_signal(signal.SIGINT)
        _, err = relay.communicate(timeout=30)
    assert relay.returncode == 0, err
