"""How a host gets the module and the tools around it: the relay stand-in started on its own."""
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

from conftest import OPTIMAL

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
MODULE_FILE = "free_models" + sysconfig.get_config_var("EXT_SUFFIX")
MADE = ROOT / "build" / "lib" / "routes" / MODULE_FILE  # what `make install` installs
sys.path.insert(0, str(ROOT / "examples"))

import host as example_host  # noqa: E402
from relay import BASE_PATH  # noqa: E402
from routes import free_models as fm  # noqa: E402


def clean_env(**extra):
    """The environment of a program started by hand: not the test run's module path, nor the
    outer make's flags (a make started by the tests reads only its own arguments), nor the
    sanitizer runtimes of `make check-asan` (these programs load no instrumented build)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MAKEFLAGS", "MFLAGS", "MAKELEVEL", "PYTHON", "HOST",
                        "LD_PRELOAD")}
    env.update(extra)
    return env


def run(args, cwd=ROOT, env=None, timeout=600):
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env or clean_env(),
                          capture_output=True, text=True, timeout=timeout)


def read_line(stream, timeout=30):
    """The next line of a child's output, or "" when none comes within timeout seconds."""
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else ""


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
