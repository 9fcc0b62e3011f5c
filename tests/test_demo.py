"""A chat request's whole road over loopback HTTP (host stand-in, module, relay stand-in), the
demo script, and the relay stand-in run on its own."""
import http.client
import json
import pathlib
import select
import signal
import socket
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import demo  # noqa: E402
from conftest import run_script  # noqa: E402
from host import USER_MODELS, ChatHost  # noqa: E402
from relay import BASE_PATH, RelayStandIn  # noqa: E402
from routes.free_models import (  # noqa: E402
    FREE_ATTRIBUTION_HEADERS, FREE_MODEL_BASE, get_free_model_choices)

CHOICES = get_free_model_choices()
SAMPLING = ("temperature", "top_p", "max_tokens")
CHAT = {"model": "hy3-free", "messages": [{"role": "user", "content": "hi"}]}
OWN_HEADERS = {"authorization": "Bearer host-secret", "Content-Type": "application/json"}


@pytest.fixture
def relay():
    server = RelayStandIn().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def host(relay):
    # the host's default headers carry "Authorization" (the demo script uses them); these carry
    # it in lower case
    with ChatHost(relay.base_url, OWN_HEADERS) as server:
        yield server


def raw_post(base_url, path, body, headers):
    """POST with the headers exactly as given, letter case included; (status, JSON answer)."""
    conn = http.client.HTTPConnection(urllib.parse.urlsplit(base_url).netloc, timeout=30)
    conn.request("POST", path, body, headers)
    with conn.getresponse() as answer:
        return answer.status, json.loads(answer.read())


def test_drop_down_offers_user_models_then_free_models(host):
    config = demo.call(host.base_url + "/api/llm/config")[1]
    assert [(m["index"], m["model"]) for m in config["models"]] == (
        [(i, m["model"]) for i, m in enumerate(USER_MODELS)]
        + [(FREE_MODEL_BASE + i, c["model"]) for i, c in enumerate(CHOICES)])


@pytest.mark.parametrize("route", ["/api/chat/send", "/api/chat/stream"])
@pytest.mark.parametrize("position", range(len(CHOICES)), ids=[c["model"] for c in CHOICES])
def test_every_free_model_answers_with_its_sampling_values(host, relay, route, position):
    entry = CHOICES[position]
    status, answer = demo.call(host.base_url + route,
                               {"model_index": FREE_MODEL_BASE + position, "message": "ping"})
    assert status == 200, answer
    assert answer["reply"].startswith(entry["model"]) and answer["reply"].endswith("said: ping")
    [request] = relay.requests
    assert request["url"] == relay.base_url + "/chat/completions"
    body = request["body"]
    assert (body["model"], body["stream"]) == (entry["model"], route.endswith("stream"))
    assert {key: body[key] for key in SAMPLING} == {key: entry[key] for key in SAMPLING}
    assert body["messages"][0] == {"role": "system",
                                   "content": host.all_config["system_prompt"]}
    seen = {name.lower(): value for name, value in request["headers"]}
    assert "authorization" not in seen
    assert (seen["http-referer"], seen["x-title"], seen["content-type"]) == (
        FREE_ATTRIBUTION_HEADERS["HTTP-Referer"], FREE_ATTRIBUTION_HEADERS["X-Title"],
        "application/json")
    assert host.default_headers == OWN_HEADERS


@pytest.mark.parametrize("headers, body, status", [
    ({"authorization": "Bearer sk-x"}, CHAT, 401),
    ({}, dict(CHAT, model="gpt-unknown"), 400),
    ({}, CHAT, 200),
])
def test_relay_stand_in_is_strict(relay, headers, body, status):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    got, answer = raw_post(relay.base_url, "/zen/v1/chat/completions", data, headers)
    assert got == status
    assert answer["error"]["message"] if status != 200 else answer["choices"]


def read_line(stream, timeout=30):
    """The next line of a child's output, or "" when none comes within timeout seconds."""
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else ""


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


@pytest.mark.parametrize("index", [FREE_MODEL_BASE + len(CHOICES), FREE_MODEL_BASE - 1,
                                   len(USER_MODELS)])
def test_unresolved_index_takes_the_hosts_404(host, relay, index):
    status, answer = demo.call(host.base_url + "/api/chat/stream",
                               {"model_index": index, "message": "hi"})
    assert (status, answer["error"]) == (404, f"no model at index {index}")
    assert relay.requests == []


@pytest.mark.parametrize("body, headers, status, message", [
    (b"{x", {}, 400, "malformed JSON"),
    (b'{"model_index": true, "message": ""}', {}, 400, "model_index must be an integer"),
    (b'{"model_index": 900000, "message": 7}', {}, 400, "message must be a string"),
    (None, {"Transfer-Encoding": "chunked"}, 411, "a Content-Length header is required"),
    (None, {"Content-Length": str(10 ** 9)}, 413, "the body exceeds"),
])
def test_bad_requests_get_a_clear_4xx_and_the_host_keeps_serving(host, body, headers, status,
                                                                 message):
    got, answer = raw_post(host.base_url, "/api/chat/send", body, headers)
    assert (got, answer["error"][:len(message)]) == (status, message)
    assert demo.call(host.base_url + "/api/llm/config")[0] == 200


def test_demo_counts_a_failed_step(relay):
    with ChatHost(relay.base_url + "/nowhere") as host:
        failures = demo.run(host, relay)
    assert "hy3-free answers through /api/chat/send" in failures


def test_demo_script_exits_zero():
    done = run_script(ROOT / "examples" / "demo.py")
    assert done.returncode == 0, done.stdout + done.stderr
    assert all(c["model"] + " received" in done.stdout for c in CHOICES)
