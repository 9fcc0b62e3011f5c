"""The catalogue probe (tools/probe.py) against the relay stand-in, whose models can be put into
the states the real free tier reports: turned paid, region-restricted, refusing tools."""
import json
import socket
import sys
import threading

import pytest

from conftest import CATALOGUE_IDS as IDS
from conftest import ROOT, optimal, run_script

sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "examples"))

import probe  # noqa: E402
from relay import RelayStandIn  # noqa: E402


def run_probe(capsys, *argv):
    """(exit status, parsed JSON) of the probe's command line."""
    status = probe.main([*argv, "--json"])
    return status, json.loads(capsys.readouterr().out)


def by_model(report):
    return {result["model"]: result for result in report["models"]}


@pytest.mark.parametrize("state, chat, tools, accepted, verdict, message", [
    ("paid", 401, 401, None, "paid (401)", "no longer free"),
    ("region", 403, 403, None, "restricted (403)", "not available in your region"),
    ("no-tools", 200, 400, False, "rejects tools (400)", "does not support tools"),
])
def test_a_model_in_a_failing_state_is_reported_as_such(fm, capsys, state, chat, tools, accepted,
                                                        verdict, message):
    failing = "laguna-s-2.1-free"
    with RelayStandIn({failing: state}) as relay:
        status, report = run_probe(capsys, "--base", relay.base_url)
        requests = relay.requests
    results = by_model(report)
    assert (status, report["failed"], list(results)) == (1, [failing], IDS)
    bad = results[failing]
    assert (bad["chat"]["status"], bad["tools"]["status"]) == (chat, tools)
    assert (bad["tools_accepted"], bad["verdict"], bad["ok"]) == (accepted, verdict, False)
    errors = bad["chat"]["error"] + bad["tools"]["error"]
    assert message in errors and failing in errors
    for model_id in IDS:
        if model_id != failing:
            good = results[model_id]
            assert (good["chat"]["status"], good["tools"]["status"], good["tools_accepted"],
                    good["verdict"], good["ok"]) == (200, 200, True, "ok", True)
            assert good["chat"]["error"] == good["tools"]["error"] == ""
    # One plain and one tools request per model, in catalogue order, with the host's sampling
    # values, and never an Authorization header.
    assert [(r["body"]["model"], "tools" in r["body"]) for r in requests] == [
        (model_id, with_tools) for model_id in IDS for with_tools in (False, True)]
    for request in requests:
        assert "authorization" not in {name.lower() for name, _ in request["headers"]}
        assert request["url"] == relay.base_url + "/chat/completions"
        body = request["body"]
        temperature, top_p, max_tokens = optimal(fm, body["model"])
        assert (body["temperature"], body["top_p"], body["max_tokens"], body["stream"]) == (
            temperature, top_p, max_tokens, False)


def test_models_the_host_adds_are_probed_as_the_relay_answers_them(fm, capsys):
    # The stand-in knows the ids last seen paid and region-restricted; the host rebinds its
    # catalogue to offer them, and one id the relay does not know at all.
    first = fm.FREE_MODELS[0][1]
    fm.FREE_MODELS = fm.FREE_MODELS[:1] + [("Preview F", "x-preview-f-free", 128000),
                                           ("Muse", "muse-spark-1.2-contributor-free", 128000),
                                           ("Gone", "gone-free", 8192)]
    with RelayStandIn() as relay:
        status, report = run_probe(capsys, "--base", relay.base_url)
    assert status == 1
    assert [(r["index"], r["model"], r["verdict"]) for r in report["models"]] == [
        (900000, first, "ok"), (900001, "x-preview-f-free", "paid (401)"),
        (900002, "muse-spark-1.2-contributor-free", "restricted (403)"),
        (900003, "gone-free", "chat failed: HTTP 400")]
    assert report["failed"] == ["x-preview-f-free", "muse-spark-1.2-contributor-free",
                                "gone-free"]
    assert "unknown or missing model: 'gone-free'" in report["models"][3]["chat"]["error"]


def test_headers_that_would_carry_authorization_are_not_sent(fm, capsys):
    build_endpoint = fm.build_endpoint
    fm.build_endpoint = lambda api_base, headers: (
        build_endpoint(api_base, headers)[0], dict(headers, authorization="Bearer leaked"))
    with RelayStandIn() as relay:
        status, report = run_probe(capsys, "--base", relay.base_url)
        assert relay.requests == []
    assert status == 1 and report["failed"] == IDS
    assert {r["verdict"] for r in report["models"]} == {
        "not sent: the headers carry Authorization"}


def test_a_relay_that_never_answers_costs_one_timeout_per_model(fm, capsys):
    held = []  # the connections, accepted and never answered

    def accept(listener):
        while True:
            try:
                held.append(listener.accept()[0])
            except OSError:  # closed
                return

    with socket.create_server(("127.0.0.1", 0)) as silent:
        acceptor = threading.Thread(target=accept, args=(silent,), daemon=True)
        acceptor.start()
        status, report = run_probe(capsys, "--base", "http://127.0.0.1:%d/zen/v1"
                                   % silent.getsockname()[1], "--timeout", "0.2")
        silent.shutdown(socket.SHUT_RDWR)
    acceptor.join(10)
    for connection in held:
        connection.close()
    assert status == 1 and report["failed"] == IDS
    for result in report["models"]:
        assert result["chat"]["status"] is None and result["tools"] is None
        assert result["verdict"] == "no answer: timed out"
    assert len(held) == len(IDS)  # one attempt per model: no retry, no tools request after it


def test_an_index_that_does_not_resolve_fails(fm, capsys):
    fm.resolve_free_model = lambda model_index, all_config=None: None
    with RelayStandIn() as relay:
        status, report = run_probe(capsys, "--base", relay.base_url)
        assert relay.requests == []
    assert status == 1 and report["failed"] == [f"index {900000 + i}" for i in range(len(IDS))]


def test_the_table_shows_each_request_and_the_relays_message(fm, capsys):
    with RelayStandIn({"hy3-free": "no-tools"}) as relay:
        status = probe.main(["--base", relay.base_url])
    lines = capsys.readouterr().out.splitlines()
    assert status == 1
    header = next(line.split() for line in lines if line.strip().startswith("model"))
    assert header[:4] == ["model", "chat", "tools", "tools"]
    rows = {line.split()[0]: line.split() for line in lines if line.strip().split()[:1]
            and line.split()[0] in IDS}
    assert rows["hy3-free"][1:4] == ["200", "400", "no"]
    assert rows["hy3-free"][-3:] == ["rejects", "tools", "(400)"]
    assert all(rows[model_id][1:4] == ["200", "200", "yes"]
               for model_id in IDS if model_id != "hy3-free")
    assert "  hy3-free, tools request: HTTP 400: hy3-free does not support tools" in lines
    assert lines[-1] == f"1 of {len(IDS)} model(s) failed: hy3-free"


def test_probe_script_passes_the_catalogue_against_its_own_stand_in():
    done = run_script(ROOT / "tools" / "probe.py")
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("Relay (stand-in): http://127.0.0.1:")
    for model_id in IDS:
        [row] = [line.split() for line in done.stdout.splitlines()
                 if line.split()[:1] == [model_id]]
        assert row[1:4] == ["200", "200", "yes"] and row[-1] == "ok"
    assert done.stdout.rstrip().endswith(f"All {len(IDS)} models passed.")
