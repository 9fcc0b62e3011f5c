"""How a host gets the module: the manylinux wheel of `make wheel` (its name, contents and
metadata, the release notes of its version) installed into a fresh environment beside the host's
own `routes` package, `make install` over a running host and `make uninstall` after it, the
build's refusal of a wrong interpreter, and `make clean`."""
import email.parser
import json
import os
import pathlib
import re
import select
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

import pytest

from conftest import optimal

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
MODULE_FILE = "free_models" + sysconfig.get_config_var("EXT_SUFFIX")
BUILT = ROOT / "build" / "lib"
MADE = BUILT / "routes" / MODULE_FILE  # what `make install` installs
STUB = ROOT / "routes" / "free_models.pyi"

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


# What the wheel is built from: a wheel in dist/ older than any of them is not this checkout's.
SOURCES = [ROOT / "pyproject.toml", ROOT / "CMakeLists.txt", ROOT / "LICENSE",
           *(ROOT / "routes").iterdir()]
DIST_NAME = PROJECT["name"].replace("-", "_")
# auditwheel's tag for a module that needs the C library up to glibc 2.17, under both its names.
WHEEL_TAGS = ["cp313-cp313-manylinux2014_x86_64", "cp313-cp313-manylinux_2_17_x86_64"]
TROUBLESHOOTING = README.split("\n## Troubleshooting\n", 1)[-1].split("\n## ", 1)[0]


def tree(folder):
    """The paths under folder, but for what Python and mypy cache there."""
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*")
                  if not {"__pycache__", ".mypy_cache"} & set(p.relative_to(folder).parts))


def repaired_wheel():
    """The one wheel that `make wheel` left in dist/ (make test makes it before the tests)."""
    wheels = sorted((ROOT / "dist").glob("*.whl"))
    assert len(wheels) == 1, f"dist/ holds {[w.name for w in wheels]}: run make wheel"
    wheel, = wheels
    stale = [p.name for p in SOURCES if p.stat().st_mtime > wheel.stat().st_mtime]
    assert not stale, f"{wheel.name} is older than {stale}: run make wheel"
    return wheel


@RELEASE_COPIES
def test_the_wheel_is_manylinux_and_names_its_licence():
    wheel = repaired_wheel()
    assert wheel.name == (f"{DIST_NAME}-{PROJECT['version']}-cp313-cp313-"
                          "manylinux2014_x86_64.manylinux_2_17_x86_64.whl")
    info = f"{DIST_NAME}-{PROJECT['version']}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        files = [name for name in archive.namelist() if not name.endswith("/")]
        # the module, its stub and the marker, and nothing that auditwheel grafted in: the module
        # needs the C library alone
        assert sorted(name for name in files if not name.startswith(info + "/")) == [
            f"routes/{MODULE_FILE}", "routes/free_models.pyi", "routes/py.typed"]
        assert archive.read("routes/free_models.pyi") == STUB.read_bytes()
        assert archive.read(f"{info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
        tags = email.parser.Parser().parsestr(archive.read(f"{info}/WHEEL").decode())
        metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
    assert sorted(tags.get_all("Tag")) == WHEEL_TAGS
    assert (metadata["Name"], metadata["Version"]) == (PROJECT["name"], PROJECT["version"])
    assert metadata["Metadata-Version"] == "2.4"
    assert (metadata["License-Expression"], metadata.get_all("License-File")) == ("MIT", ["LICENSE"])
    assert (ROOT / "LICENSE").read_text().startswith("MIT License\n\nCopyright (c) 2026 ")
    # the classifiers as pyproject.toml gives them; a licence classifier beside the expression
    # is refused by the metadata's rules
    assert metadata.get_all("Classifier") == PROJECT["classifiers"]
    assert "Typing :: Typed" in PROJECT["classifiers"]
    assert not any(c.startswith("License ::") for c in PROJECT["classifiers"])


def test_release_notes_begin_with_the_version_being_built():
    versions = re.findall(r"^## (\d+)\.(\d+)\.(\d+) ", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert ".".join(versions[0]) == PROJECT["version"]
    numbers = [tuple(map(int, v)) for v in versions]
    assert numbers == sorted(set(numbers), reverse=True)  # newest first, each version once


@RELEASE_COPIES
def test_wheel_installs_beside_the_hosts_own_routes_package(tmp_path):
    wheel = repaired_wheel()
    venv = tmp_path / "venv"
    made = run([sys.executable, "-m", "venv", venv])
    assert made.returncode == 0, made.stderr
    pip = [venv / "bin" / "python", "-m", "pip", "--disable-pip-version-check"]
    # a manylinux wheel installs as it is: no build step, nothing from the registry
    made = run([*pip, "install", "-q", "--no-index", wheel])
    assert made.returncode == 0, made.stdout + made.stderr
    probe = run([*pip, "download", "--no-deps", "--retries", "0", "--timeout", "30",
                 "-d", tmp_path / "probe", "mypy", "-c", ROOT / "tests" / "requirements.txt"],
                timeout=120)
    if probe.returncode:
        reason = (probe.stderr.strip().splitlines() or ["no answer"])[-1]
        pytest.skip(f"the package registry cannot be reached, so pip cannot install mypy: {reason}")
    made = run([*pip, "install", "-q", "mypy", "-c", ROOT / "tests" / "requirements.txt"])
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

    # A copy that `make install` put into the host's tree comes first on the package's path and
    # wins without a word; `make uninstall` leaves the installed wheel's again.
    own = tree(host)
    for target, copy in [("install", host / "routes" / MODULE_FILE), ("uninstall", module)]:
        made = run(["make", "-C", ROOT, target, f"HOST={host}"])
        assert made.returncode == 0, made.stdout + made.stderr
        done = run([python, "app.py"], cwd=host)
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout)["module"] == str(copy)
    assert tree(host) == own

    # Without the line, the host's package hides the installed module, whichever way the host
    # imports it (each message as the README's troubleshooting quotes it); with no package of
    # its own, a program imports the installed one.
    bare = host_tree(tmp_path / "bare", "")
    for statement, message in [
            ("import routes.free_models",
             "ModuleNotFoundError: No module named 'routes.free_models'"),
            ("from routes import free_models",
             "ImportError: cannot import name 'free_models' from 'routes'")]:
        done = run([python, "-c", statement], cwd=bare)
        assert message in done.stderr and message in TROUBLESHOOTING, done.stderr
    done = run([python, "-c", "import routes.free_models as m; print(m.FREE_MODEL_BASE)"],
               cwd=tmp_path)
    assert done.stdout == f"{fm.FREE_MODEL_BASE}\n", done.stderr


# ---------------------------------------------------------------------------------------------
# make install and make uninstall

# A host process that calls the module without pause and, when asked on stdin, tells how many
# rounds of calls it has made; it ends at the end of its input. It first tells where its routes
# package and the module came from, the catalogue it loaded and its module path.
CALLER = '''\
import json, select, sys
import routes, routes.free_models as fm
print(json.dumps([routes.__file__, fm.__file__, [row[1] for row in fm.FREE_MODELS], sys.path]),
      flush=True)
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
                "free_models.pyi": STUB.read_bytes()}
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
        # the host's own package, and the installed module in it, not the build's
        package, module, ids, path = json.loads(read_line(caller.stdout) or "[0, 0, 0, 0]")
        assert (package, module) == (str(routes / "__init__.py"), str(routes / MODULE_FILE))
        assert ids == [choice["model"] for choice in fm.get_free_model_choices()]
        assert str(BUILT) not in path
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
        # Uninstalled under it, the host keeps the module it has loaded until it restarts.
        made = run(["make", "-C", ROOT, "uninstall", f"HOST={host}"])
        assert made.returncode == 0, made.stdout + made.stderr
        assert [p.name for p in routes.iterdir()] == ["__init__.py"]
        last, rounds = rounds, ask()
        assert rounds > last, f"the host process ended: {caller.poll()}"
        _, err = caller.communicate(timeout=60)  # the end of its input
    finally:
        caller.kill()
    assert caller.returncode == 0, err


# A host's own files, some named like the module's, that uninstall must leave.
HOST_FILES = {"app.py": "", "routes/__init__.py": "", "routes/chat.py": "",
              "routes/free_models.py": "", "routes/free_models.pyi.orig": "",
              "routes/.free_models.pyi.tmp": "", "free_models.pyi": ""}


@RELEASE_COPIES
@pytest.mark.parametrize("own", [HOST_FILES, {"app.py": ""}, {}],
                         ids=["routes package", "no routes folder", "empty host"])
def test_make_uninstall_leaves_exactly_the_hosts_own_files(tmp_path, own):
    host = tmp_path / "my host"
    host.mkdir()
    for name, text in own.items():
        (host / name).parent.mkdir(exist_ok=True)
        (host / name).write_text(text)
    before = tree(host)
    made = run(["make", "-C", ROOT, "install", f"HOST={host}"])
    assert made.returncode == 0, made.stdout + made.stderr
    assert {MODULE_FILE, "free_models.pyi"} <= {p.name for p in (host / "routes").iterdir()}
    # what an install leaves when it is killed before its rename: the temporary file
    for name in (MODULE_FILE, "free_models.pyi"):
        (host / "routes" / f".{name}.k2x_9abc.tmp").write_bytes(b"half")

    # a relative HOST, from where make was called under -C, as for install
    made = run(["make", "-C", os.path.relpath(ROOT, tmp_path), "uninstall", "HOST=my host"],
               cwd=tmp_path, env=clean_env(PWD=str(tmp_path)))
    assert made.returncode == 0, made.stdout + made.stderr
    assert f"removed .{MODULE_FILE}.k2x_9abc.tmp, .free_models.pyi.k2x_9abc.tmp" in made.stdout
    assert tree(host) == before  # routes/ too goes when install made it and nothing else is in it
    made = run(["make", "-C", ROOT, "uninstall", f"HOST={host}"])  # once more: nothing to do
    assert made.returncode == 0 and "nothing to remove" in made.stdout, made.stderr
    assert tree(host) == before


@RELEASE_COPIES
@pytest.mark.parametrize("target", ["install", "uninstall"])
@pytest.mark.parametrize("host, pwd, message", [
    (None, ".", "usage: make {target} HOST=/path/to/host-app"),
    ("no such host", ".", "no such host is not a directory"),
    # make -C from here, with a PWD that names another folder: where make was called is unknown
    ("srv", "elsewhere/deeper", "give HOST as an absolute path"),
])
def test_make_install_refuses_what_it_cannot_place(tmp_path, target, host, pwd, message):
    args = ["make", "-C", os.path.relpath(ROOT, tmp_path), target]
    made = run(args + ([f"HOST={host}"] if host else []), cwd=tmp_path,
               env=clean_env(PWD=os.path.normpath(tmp_path / pwd)))
    assert made.returncode != 0 and message.format(target=target) in made.stderr, made.stderr
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
    assert made.returncode == 0 and made.stdout == (
        "rm -rf build build-asan .venv dist .pytest_cache .hypothesis .mypy_cache\n"), made.stderr


# ---------------------------------------------------------------------------------------------
# make clean

def test_make_clean_removes_every_build_and_cache_folder_and_nothing_else(tmp_path):
    shutil.copy(ROOT / "Makefile", tmp_path)
    made = [".venv/bin/python", "build/lib/routes/x.so", "build/wheel/x.whl", "build-asan/lib/x",
            "dist/x.whl", ".pytest_cache/v/x", ".hypothesis/examples/x", ".mypy_cache/3.13/x"]
    kept = ["Makefile", "routes/free_models.pyi", "tests/.mypy_cache.txt", "buildings/x"]
    for name in made + kept[1:]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    # no interpreter is looked for
    done = run(["make", "clean"], cwd=tmp_path, env=clean_env(PYTHON="/nonexistent/python"))
    assert done.returncode == 0, done.stderr
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()) == (
        sorted(kept))
